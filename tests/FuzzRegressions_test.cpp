// Replays the inputs the fuzz targets found (tests/fuzz/regressions/<target>/)
// and their seeds (tests/fuzz/corpus/<target>/) through the same target bodies,
// so that every build, sanitized or not, checks them again. The cases after the
// replays pin down the faults those inputs exposed.

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "fuzz/FuzzTargets.h"

namespace fs = boost::filesystem;

namespace {

using Target = std::string (*)(const uint8_t*, size_t);

std::vector<std::string> filesIn(const std::string& directory)
{
    std::vector<std::string> files;
    if (!fs::is_directory(directory))
        return files;
    for (const auto& entry : fs::directory_iterator(directory))
        if (fs::is_regular_file(entry.path()))
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Every kept input of the target: none may fail a check (a crash or a sanitizer
// report fails the test executable itself). Returns how many were replayed.
size_t replay(const std::string& target, Target body)
{
    size_t replayed = 0;
    for (const char* kind : {"regressions", "corpus"}) {
        for (const std::string& path : filesIn(std::string(KESTROVE_FUZZ_DIR) + "/" + kind + "/" + target)) {
            std::ifstream in(path, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "") << path;
            ++replayed;
        }
    }
    return replayed;
}

} // namespace

TEST(FuzzRegressions, GtfReaderInputs)
{
    EXPECT_GT(replay("gtf", fuzzing::gtfTarget), 1u);
}

TEST(FuzzRegressions, FragmentExtractionAndCompatibilityInputs)
{
    EXPECT_GT(replay("fragments", fuzzing::fragmentsTarget), 1u);
}

TEST(FuzzRegressions, ClusteringInputs)
{
    EXPECT_GT(replay("clustering", fuzzing::clusteringTarget), 1u);
}

// ---------------------------------------------------------------------------
// The faults behind the kept inputs.

namespace {

struct RecordFree {
    void operator()(bam1_t* record) const { bam_destroy1(record); }
};

std::unique_ptr<bam1_t, RecordFree> record(const char* name, uint16_t flag, int64_t pos,
                                           const std::vector<uint32_t>& cigar)
{
    std::unique_ptr<bam1_t, RecordFree> r(bam_init1());
    EXPECT_GE(bam_set1(r.get(), std::strlen(name), name, flag, 0, pos, 60, cigar.size(), cigar.data(), 0, -1, 0, 0,
                       nullptr, nullptr, 0),
              0);
    return r;
}

uint32_t op(uint32_t length, uint32_t code) { return length << BAM_CIGAR_SHIFT | code; }

} // namespace

TEST(FuzzRegressions, ReadAligningNoReferenceBaseIsNoFragment)
{
    LocusFragments fragments;
    fetch_func(record("clipped", 0, 99, {op(20, BAM_CSOFT_CLIP)}).get(), &fragments);
    fetch_func(record("gaps", 0, 99, {op(5, BAM_CREF_SKIP), op(0, BAM_CMATCH), op(5, BAM_CREF_SKIP)}).get(),
               &fragments);
    EXPECT_TRUE(fragments.empty());
}

TEST(FuzzRegressions, CigarGapsLeaveNoEmptyBlock)
{
    LocusFragments locus;
    // Two gaps in a row are one intron; a gap at the start moves the first block.
    fetch_func(record("double", 0, 99, {op(10, BAM_CMATCH), op(5, BAM_CREF_SKIP), op(5, BAM_CREF_SKIP),
                                        op(10, BAM_CMATCH)})
                   .get(),
               &locus);
    fetch_func(record("leading", 0, 199, {op(50, BAM_CREF_SKIP), op(10, BAM_CMATCH), op(3, BAM_CREF_SKIP)}).get(),
               &locus);
    FragmentMap fragments;
    appendTo(locus, fragments);
    ASSERT_EQ(fragments.size(), 2u);
    const std::vector<t_exon>& doubled = fragments.at("double").front().blocks;
    ASSERT_EQ(doubled.size(), 2u);
    EXPECT_EQ(doubled[0].start, 100);
    EXPECT_EQ(doubled[0].end, 109);
    EXPECT_EQ(doubled[1].start, 120);
    EXPECT_EQ(doubled[1].end, 129);
    const std::vector<t_exon>& leading = fragments.at("leading").front().blocks;
    ASSERT_EQ(leading.size(), 1u);
    EXPECT_EQ(leading[0].start, 250);
    EXPECT_EQ(leading[0].end, 259);
}

TEST(FuzzRegressions, TranscriptCoordinatesOfExonsFarApartAreExact)
{
    Gene gene;
    gene.geneId = "G";
    gene.addExon("T", {-2000000000, -1999999990}, true);
    gene.addExon("T", {2000000000, 2000000100}, true);
    GeneMap genes{{"G", gene}};
    auto it = genes.begin();
    it->second.validities = {{true}};
    FragmentMap fragments;
    t_read read;
    read.start = 2000000050;
    read.end = 2000000060;
    read.blocks = {{2000000050, 2000000060}};
    fragments["r"].push_back(read);
    Kestrove().convertCoords(it, fragments);
    ASSERT_EQ(fragments["r"].front().transStarts.size(), 1u);
    // Position 62 of the joined exons: 11 bases in the first, 51 in the second.
    EXPECT_EQ(fragments["r"].front().transStarts[0], 62);
}

TEST(FuzzRegressions, NegativeComponentWeightLeavesTheTranscriptOutOfTheProfiles)
{
    testutil::TempDir dir;
    const std::string header = "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\t"
                               "abundance\tfrags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\t"
                               "FPKM_CHN\n";
    testutil::writeText(dir.file("transcripts_summary_s.dat"),
                        header + "T1\tG\tG\tc:1-9\t300\t1\t1\t900\t900\t1\t900\t900\t1\t2\t50\t200\t1.3\t-0.3\n"
                                 "T2\tG\tG\tc:1-9\t300\t1\t1\t900\t900\t1\t900\t900\t1\t2\t50\t200\t0.7\t0.3\n");
    t_configuration conf;
    conf.resultsDir = dir.path();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(buildClusteringData(conf).has_value());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("line 2: transcript T1 left out of the clustering data: its component weights are not a "
                       "mixture"),
              std::string::npos)
        << err;
    const std::string table = testutil::readText(dir.file("norm_pdfs"));
    EXPECT_EQ(table.find("\nT1\t"), std::string::npos);
    EXPECT_NE(table.find("\nT2\t"), std::string::npos);
}
