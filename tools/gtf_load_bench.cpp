// Loads a GTF file the way a run does and prints the gene count, so that the
// load can be timed on its own: gtf_load_bench <file.gtf[.gz]> [--merge]
#include <cstring>
#include <iostream>
#include <map>
#include <string>

#include "kestrove.h"

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "--merge") != 0)) {
        std::cerr << "usage: gtf_load_bench <file.gtf[.gz]> [--merge]\n";
        return 1;
    }
    GeneSelection selection;
    selection.mergeOverlapping = argc == 3;
    const std::map<std::string, std::string> noGenesList;
    Annotations annotations;
    try {
        annotations.parseGTF(argv[1], noGenesList, selection);
    } catch (const KestroveException& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    size_t transcripts = 0;
    for (const auto& entry : annotations.genes)
        transcripts += entry.second.transcripts.size();
    std::cout << annotations.genes.size() << " genes, " << transcripts << " transcripts\n";
    return 0;
}
