// Times the steps of the clustering of a "norm_pdfs" table and checks that the
// nearest-neighbour linkage gives the tree of the full scan.
//   linkage TABLE [--no-scan]

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "clustering/HierarchicalClustering.h"
#include "clustering/TableStore.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: linkage TABLE [--no-scan]\n");
        return 1;
    }
    const bool scan = !(argc > 2 && std::strcmp(argv[2], "--no-scan") == 0);
    std::FILE* file = std::fopen(argv[1], "r");
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    TableStore table;
    const auto loaded = table.load(file);
    std::fclose(file);
    if (!loaded || *loaded != "ok") {
        std::fprintf(stderr, "load failed: %s\n", loaded ? loaded->c_str() : "out of memory");
        return 1;
    }
    const int32_t n = table.rows();
    std::printf("rows %d columns %d load %.2f s\n", n, table.columns(), secondsSince(start));

    start = std::chrono::steady_clock::now();
    auto d = cityBlockDistances(n, table.columns(), table.values().data(), table.mask().data(),
                                table.columnWeights().data());
    std::printf("cityBlockDistances %.2f s\n", secondsSince(start));
    std::vector<double> copy = *d;

    start = std::chrono::steady_clock::now();
    const std::vector<Node> fast = averageLinkage(n, *d, nullptr);
    std::printf("averageLinkage (nearest-neighbour cache) %.2f s\n", secondsSince(start));
    if (!scan)
        return 0;

    start = std::chrono::steady_clock::now();
    const std::vector<Node> direct = averageLinkageByScan(n, copy, nullptr);
    std::printf("averageLinkageByScan (full scan) %.2f s\n", secondsSince(start));

    bool same = fast.size() == direct.size();
    for (size_t s = 0; same && s < fast.size(); ++s)
        same = fast[s].left == direct[s].left && fast[s].right == direct[s].right
            && std::memcmp(&fast[s].distance, &direct[s].distance, sizeof(double)) == 0;
    same = same && cutTree(n, fast, 5) == cutTree(n, direct, 5);
    std::printf("trees and 5-cluster cut identical: %s\n", same ? "yes" : "NO");
    return same ? 0 : 2;
}
