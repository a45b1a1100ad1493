// Replays the inputs the fuzz targets found (tests/fuzz/regressions/<target>/)
// and their seeds (tests/fuzz/corpus/<target>/) through the same target bodies,
// so that every build, sanitized or not, checks them again.

#include <string>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "fuzz/FuzzTargets.h"

namespace {

using Target = std::string (*)(const uint8_t*, size_t);

// Every kept input of the target: none may fail a check (a crash or a sanitizer
// report fails the test executable itself). Returns how many were replayed.
size_t replay(const std::string& target, Target body)
{
    size_t replayed = 0;
    for (const char* kind : {"regressions", "corpus"}) {
        const std::string directory = std::string(KESTROVE_FUZZ_DIR) + "/" + kind + "/" + target;
        for (const std::string& name : testutil::filesIn(directory)) {
            const std::string bytes = testutil::readText(directory + "/" + name);
            EXPECT_EQ(body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "") << directory << "/" << name;
            ++replayed;
        }
    }
    return replayed;
}

} // namespace

TEST(FuzzRegressions, KeptInputsPassEveryCheckOfTheirTarget)
{
    for (const auto& [target, body] : {std::pair<std::string, Target>{"gtf", fuzzing::gtfTarget},
                                       {"fragments", fuzzing::fragmentsTarget}, {"clustering", fuzzing::clusteringTarget}})
        EXPECT_GT(replay(target, body), 1u) << target;
}
