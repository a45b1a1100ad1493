// The libFuzzer entry point of every target; CMake names the target's body.
#include <cstdio>
#include <cstdlib>

#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string problem = fuzzing::FUZZ_BODY(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", FUZZ_NAME, problem.c_str());
        std::abort();
    }
    return 0;
}
