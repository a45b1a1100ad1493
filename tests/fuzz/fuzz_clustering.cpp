#include <cstdio>
#include <cstdlib>

#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string problem = fuzzing::clusteringTarget(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_clustering: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
