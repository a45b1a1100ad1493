// The text outputs: the annotation as GTF and the table of true fragment counts.

#include <fstream>
#include <iostream>

#include "Simulation.h"

namespace simulation {

bool writeGtf(const Options& opt, const Model& model)
{
    std::ofstream out(opt.gtfPath);
    if (!out) {
        std::cerr << "simulate: cannot write " << opt.gtfPath << "\n";
        return false;
    }
    out << "#!genome-build simulated\n#!generated-by " << opt.commandLine << "\n";
    for (const SimGene& gene : model.genes) {
        const std::string& chrom = model.chromosomeNames[static_cast<size_t>(gene.chromosome)];
        const char strand = gene.forward ? '+' : '-';
        const std::string prefix = chrom + "\tsimulate\t";
        out << prefix << "gene\t" << gene.start << '\t' << gene.end << "\t.\t" << strand << "\t.\tgene_id \""
            << gene.id << "\"; gene_name \"" << gene.name << "\"; gene_biotype \"protein_coding\";\n";
        for (size_t t : gene.transcripts) {
            const Transcript& tr = model.transcripts[t];
            const std::string ids = "gene_id \"" + gene.id + "\"; transcript_id \"" + tr.id + "\";";
            out << prefix << "transcript\t" << tr.exons.front().start << '\t' << tr.exons.back().end << "\t.\t"
                << strand << "\t.\t" << ids << " gene_name \"" << gene.name
                << "\"; transcript_biotype \"protein_coding\";\n";
            // Exons in transcript order, numbered from the 5' end.
            const size_t n = tr.exons.size();
            for (size_t k = 0; k < n; ++k) {
                const Exon& e = tr.exons[gene.forward ? k : n - 1 - k];
                out << prefix << "exon\t" << e.start << '\t' << e.end << "\t.\t" << strand << "\t.\t" << ids
                    << " exon_number \"" << k + 1 << "\"; gene_name \"" << gene.name << "\";\n";
            }
        }
    }
    out.close();
    if (out.fail()) {
        std::cerr << "simulate: cannot write " << opt.gtfPath << "\n";
        return false;
    }
    return true;
}

bool writeTruth(const Options& opt, const Model& model)
{
    std::ofstream out(opt.truthPath);
    if (!out) {
        std::cerr << "simulate: cannot write " << opt.truthPath << "\n";
        return false;
    }
    out << "transcript_id\tgene_id\tlength\tfragments\n";
    for (const SimGene& gene : model.genes) {
        for (size_t t : gene.transcripts) {
            const Transcript& tr = model.transcripts[t];
            out << tr.id << '\t' << gene.id << '\t' << tr.length << '\t' << tr.fragments << '\n';
        }
    }
    out.close();
    if (out.fail()) {
        std::cerr << "simulate: cannot write " << opt.truthPath << "\n";
        return false;
    }
    return true;
}

} // namespace simulation
