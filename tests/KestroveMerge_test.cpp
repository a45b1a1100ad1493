#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "output/Provenance.h"
#include "TestUtil.h"

namespace {

using testutil::readText;
using testutil::TempDir;
using testutil::writeText;

const std::string kTranscriptHeader =
    "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\tfrags_locus\t"
    "frags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN\n";
const std::string kGeneHeader =
    "gene_ID\tgene_name\tlocus\tfrags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN\tstatus\n";

// One run's summaries. G1 appears on two references, as one gene per
// reference does; G2 failed and its row carries the mixture fields of a
// failed row. chn[i] is the FPKM_CHN text of transcript i.
struct Result {
    std::string sample;
    std::vector<std::string> chn;
    std::string abundanceT1;

    std::string transcripts() const
    {
        return kTranscriptHeader +
               "T1\tG1\tN1\t1:1-900\t1000\t0.80\t" + abundanceT1 + "\t40\t5000\t1.50000\t40\t4000\t" + chn[0] + "\n" +
               "T2\tG1\tN1\t1:1-900\t800\t0.60\t0.75000\t40\t5000\t2.25000\t40\t4000\t" + chn[1] + "\n" +
               "T3\tG1\tN1\t2:5-95\t300\t1.00\t1.00000\t7\t5000\t3.10000\t7\t4000\t" + chn[2] + "\n" +
               "T4\tG2\tN2\t3:1-50\t50\t0\t0\t0\t5000\t0\t0\t4000\t0\t3\t0\t0\t0\t0\t0\t0\n";
    }
    std::string genes() const
    {
        return kGeneHeader + "G1\tN1\t1:1-900\t40\t5000\t3.750000\t40\t4000\t9.000001\tOK\n" +
               "G1\tN1\t2:5-95\t7\t5000\t3.100000\t7\t4000\t1.500000\tOK\n" + "G2\tN2\t3:1-50\t0\t5000\t0\t0\t4000\t0\tFAIL\n";
    }
    void write(const std::string& dir) const
    {
        std::filesystem::create_directories(dir);
        writeText(dir + "/transcripts_summary_" + sample + ".dat", transcripts());
        writeText(dir + "/genes_summary_" + sample + ".dat", genes());
    }
    // The record a run on `gtf` with `options` leaves beside these summaries.
    provenance::Record record(const std::vector<std::pair<std::string, std::string>>& options, const provenance::Input& gtf) const
    {
        provenance::Record r;
        r.program = "kestrove";
        r.version = KESTROVE_VERSION;
        r.options = options;
        r.sample = sample;
        r.inputs = {gtf, {"BAM", "/data/" + sample + ".bam", 10, "2026-01-01T00:00:00Z"}};
        for (const auto& [file, text] : {std::pair{"transcripts_summary_" + sample + ".dat", transcripts()},
                                         std::pair{"genes_summary_" + sample + ".dat", genes()}})
            r.outputs.push_back({file, text.size(), provenance::md5Hex(text)});
        return r;
    }
};

void writeRecord(const std::string& dir, const provenance::Record& record)
{
    writeText(dir + "/" + provenance::fileName(record.sample), provenance::toJson(record));
}

testutil::CommandResult merge(const TempDir& tmp, const std::string& arguments)
{
    return testutil::run("cd " + tmp.path() + " && " + testutil::toolPath("kestrove-merge") + " -o out " + arguments);
}

TEST(KestroveMerge, CopiesValuesAndDerivesTpmAndCounts)
{
    TempDir tmp;
    // FPKM_CHN of a sums to 1000 and of b to 500; a's text keeps a trailing zero
    // and more digits than a re-rounding would.
    Result{"a", {"100.00000", "300.10000", "599.90000"}, "0.25000"}.write(tmp.file("ra"));
    Result{"b", {"50.00000", "0.00000", "450.00000"}, "0.12345"}.write(tmp.file("rb"));
    const auto result = merge(tmp, "ra second=rb");
    ASSERT_EQ(result.status, 0) << result.err;

    const std::string keys = "tracking_ID\tgene_ID\tlength\ta\tsecond\n";
    const std::string geneKeys = "gene_ID\tgene_name\tlocus\ta\tsecond\n";
    const struct { std::string file; std::string expected; } cases[] = {
        {"transcripts.FPKM_CHN.tsv", keys + "T1\tG1\t1000\t100.00000\t50.00000\nT2\tG1\t800\t300.10000\t0.00000\n"
                                            "T3\tG1\t300\t599.90000\t450.00000\nT4\tG2\t50\t0\t0\n"},
        {"transcripts.FPKM_THN.tsv", keys + "T1\tG1\t1000\t1.50000\t1.50000\nT2\tG1\t800\t2.25000\t2.25000\n"
                                            "T3\tG1\t300\t3.10000\t3.10000\nT4\tG2\t50\t0\t0\n"},
        // value / sample sum x 1e6
        {"transcripts.TPM.tsv", keys + "T1\tG1\t1000\t100000.00000\t100000.00000\nT2\tG1\t800\t300100.00000\t0.00000\n"
                                       "T3\tG1\t300\t599900.00000\t900000.00000\nT4\tG2\t50\t0.00000\t0.00000\n"},
        // abundance x comp_frags_locus: 0.25 x 40, 0.12345 x 40, 0.75 x 40, 1 x 7
        {"transcripts.counts.tsv", keys + "T1\tG1\t1000\t10.00000\t4.93800\nT2\tG1\t800\t30.00000\t30.00000\n"
                                          "T3\tG1\t300\t7.00000\t7.00000\nT4\tG2\t50\t0.00000\t0.00000\n"},
        {"genes.FPKM_CHN.tsv", geneKeys + "G1\tN1\t1:1-900\t9.000001\t9.000001\nG1\tN1\t2:5-95\t1.500000\t1.500000\n"
                                          "G2\tN2\t3:1-50\t0\t0\n"},
        {"genes.FPKM_THN.tsv", geneKeys + "G1\tN1\t1:1-900\t3.750000\t3.750000\nG1\tN1\t2:5-95\t3.100000\t3.100000\n"
                                          "G2\tN2\t3:1-50\t0\t0\n"},
        {"genes.counts.tsv", geneKeys + "G1\tN1\t1:1-900\t40\t40\nG1\tN1\t2:5-95\t7\t7\nG2\tN2\t3:1-50\t0\t0\n"},
        {"genes.status.tsv", geneKeys + "G1\tN1\t1:1-900\tOK\tOK\nG1\tN1\t2:5-95\tOK\tOK\nG2\tN2\t3:1-50\tFAIL\tFAIL\n"},
        {"samples.tsv", "sample\tdirectory\tfrags_expt\tcomp_frags_expt\tgenes_OK\tgenes_FAIL\na\t" +
                            tmp.file("ra") + "\t5000\t4000\t2\t1\nsecond\t" + tmp.file("rb") + "\t5000\t4000\t2\t1\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(readText(tmp.file("out/" + c.file)), c.expected) << c.file;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    return text.replace(text.find(from), from.size(), to);
}

// Refused merges write nothing, not even temporaries. Runs that left their records are
// compared by them: only the sample's own files, the display and the GTF's path may differ.
TEST(KestroveMerge, RefusesWhatCannotBeMergedAndWritesNothing)
{
    using Options = std::vector<std::pair<std::string, std::string>>;
    const Options options{{"BAM", "a.bam"}, {"output-dir", "ra"}, {"blocks", "3"}, {"quiet", "false"}};
    const provenance::Input gtf{"GTF", "/data/g.gtf", 500, "2026-01-01T00:00:00Z"};
    const Result a{"a", {"1.00000", "2.00000", "3.00000"}, "0.25000"};
    const Result b{"b", {"4.00000", "5.00000", "6.00000"}, "0.50000"};
    const std::string bTranscripts = "/rb/transcripts_summary_b.dat", bGenes = "/rb/genes_summary_b.dat";
    const auto recordB = [&](const Options& o, const provenance::Input& g) {
        return [=](const TempDir& t) { writeRecord(t.file("rb"), b.record(o, g)); };
    };
    const auto none = [](const TempDir&) {};
    const struct {
        const char* name;
        bool recorded;
        std::string arguments;
        std::function<void(const TempDir&)> spoil;
        std::vector<std::string> message;  // empty: the merge succeeds
    } cases[] = {
        {"other annotation", false, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + bTranscripts, replaced(b.transcripts(), "T3", "T9")); },
         {"sample b", "row 3", "same annotation"}},
        {"fewer transcripts", false, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + bTranscripts, b.transcripts().substr(0, b.transcripts().find("T4\t"))); },
         {"sample b", "3 transcript rows", "row 4"}},
        {"other gene order", false, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + bGenes, replaced(b.genes(), "G2", "G3")); },
         {"sample b", "genes_summary_b.dat row 3"}},
        {"same name twice", false, "x=ra x=rb", none, {"two results are named x"}},
        {"unfinished run", false, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + bTranscripts + ".partial", kTranscriptHeader); },
         {"transcripts_summary_b.dat.partial"}},
        {"missing gene summary", false, "ra rb", [&](const TempDir& t) { std::filesystem::remove(t.path() + bGenes); },
         {"rb holds 0 genes_summary_"}},
        {"two transcript summaries", false, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + "/rb/transcripts_summary_c.dat", b.transcripts()); },
         {"rb holds 2 transcripts_summary_"}},
        {"last row cut short", false, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + bTranscripts, b.transcripts().substr(0, b.transcripts().size() - 9)); },
         {"transcripts_summary_b.dat row 4", "truncated"}},
        {"row missing fields", false, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + bTranscripts, replaced(b.transcripts(), "\t40\t4000\t5.00000\n", "\n")); },
         {"transcripts_summary_b.dat row 2", "10 fields"}},
        {"recorded pairs", true, "ra rb", none, {}},
        {"own files and display differ", true, "ra rb",
         recordB({{"BAM", "b.bam"}, {"output-dir", "rb"}, {"blocks", "3"}, {"quiet", "true"}, {"sort-memory", "64M"}},
                 {"GTF", "/elsewhere/g.gtf", 500, "2026-01-01T00:00:00Z"}),
         {}},
        {"same folder twice", true, "x=ra y=ra/.", none, {"samples x and y are the same folder"}},
        {"other option value", true, "ra rb",
         recordB({{"BAM", "b.bam"}, {"output-dir", "rb"}, {"blocks", "4"}, {"quiet", "false"}}, gtf),
         {"samples a and b", "--blocks 3 in a, 4 in b"}},
        {"option of another build", true, "ra rb",
         recordB([&] { Options more = options; more.emplace_back("primary-only", "false"); return more; }(), gtf),
         {"samples a and b", "--primary-only (no such option) in a, false in b"}},
        {"other annotation file", true, "ra rb", recordB(options, {"GTF", "/data/g.gtf", 501, "2026-01-01T00:00:00Z"}),
         {"samples a and b", "--GTF /data/g.gtf (500 bytes", "(501 bytes"}},
        // A run killed between its two renames leaves its transcripts beside the genes of the run before.
        {"pair from two runs", true, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + bGenes, replaced(b.genes(), "\tOK\n", "\tFAIL\n")); },
         {"sample b", "genes_summary_b.dat (size " + std::to_string(b.genes().size() + 2),
          "(size " + std::to_string(b.genes().size()), "another run"}},
        {"summary changed after the run", true, "ra rb",
         [&](const TempDir& t) { writeText(t.path() + bTranscripts, replaced(b.transcripts(), "4.00000", "4.00001")); },
         {"sample b", "transcripts_summary_b.dat", "changed after the run"}},
        {"record of another sample", true, "ra rb",
         [&](const TempDir& t) { writeText(t.file("rb/provenance_b.json"), provenance::toJson(a.record(options, gtf))); },
         {"sample b", "records no transcripts_summary_b.dat"}},
        {"record cut short", true, "ra rb",
         [&](const TempDir& t) {
             writeText(t.file("rb/provenance_b.json"), provenance::toJson(b.record(options, gtf)).substr(0, 200));
         },
         {"sample b", "rb/provenance_b.json is not a provenance record"}},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        a.write(tmp.file("ra"));
        b.write(tmp.file("rb"));
        if (c.recorded) {
            writeRecord(tmp.file("ra"), a.record(options, gtf));
            writeRecord(tmp.file("rb"), b.record(options, gtf));
        }
        c.spoil(tmp);
        const auto result = merge(tmp, c.arguments);
        EXPECT_EQ(result.status, c.message.empty() ? 0 : 1) << c.name << ": " << result.err;
        for (const std::string& part : c.message)
            EXPECT_TRUE(testutil::contains(result.err, part)) << c.name << ": " << result.err;
        EXPECT_EQ(testutil::filesIn(tmp.path()), (std::set<std::string>{"ra", "rb", c.message.empty() ? "out" : "ra"}))
            << c.name << ": temporaries left behind";
    }
}

// A merge killed at any point leaves a folder beside the output; the next merge
// clears it, and the matrices it replaces go as a whole set.
TEST(KestroveMerge, ReplacesTheOutputFolderAsAWhole)
{
    TempDir tmp;
    Result{"a", {"1.00000", "2.00000", "3.00000"}, "0.25000"}.write(tmp.file("ra"));
    const std::string killed = tmp.file(".out.4194304.new");
    std::filesystem::create_directories(killed);
    writeText(killed + "/transcripts.TPM.tsv", "half");
    std::filesystem::create_directories(tmp.file(".out.77.old"));
    std::filesystem::create_directories(tmp.file("out"));
    writeText(tmp.file("out/genes.status.tsv"), "earlier\n");
    writeText(tmp.file("out/samples.tsv"), "earlier\n");

    auto result = merge(tmp, "ra");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(testutil::filesIn(tmp.path()), (std::set<std::string>{"ra", "out"}));
    EXPECT_EQ(testutil::filesIn(tmp.file("out")).size(), 9u);
    EXPECT_TRUE(testutil::contains(readText(tmp.file("out/genes.status.tsv")), "G2\tN2\t3:1-50\tFAIL\n"));

    // A folder holding anything but matrices is not the merge's to replace.
    writeText(tmp.file("out/notes.txt"), "mine");
    result = merge(tmp, "ra");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(testutil::contains(result.err, "holds notes.txt")) << result.err;
    EXPECT_EQ(readText(tmp.file("out/notes.txt")), "mine");
    EXPECT_EQ(testutil::filesIn(tmp.path()), (std::set<std::string>{"ra", "out"}));
}

TEST(KestroveMerge, RealRunRecordsItselfAndMergeComparesRuns)
{
    TempDir tmp;
    testutil::simulate(tmp.file("s"), "--genes 4 --fragments 400 --seed 5");
    std::filesystem::copy_file(tmp.file("s.bam"), tmp.file("t.bam"));
    std::filesystem::copy_file(tmp.file("s.bam.bai"), tmp.file("t.bam.bai"));
    ASSERT_EQ(testutil::kestroveIn(tmp.path(), "-G s.gtf -B s.bam -o rs -i 50 --quiet").status, 0);
    ASSERT_EQ(testutil::kestroveIn(tmp.path(), "-G s.gtf -B t.bam -o rt --nr-iterations 50").status, 0);

    const provenance::Record r = provenance::parse(readText(tmp.file("rs/provenance_s.json")));
    EXPECT_EQ(r.version, KESTROVE_VERSION);
    EXPECT_EQ(r.sample, "s");
    EXPECT_EQ(r.commandLine.back(), "--quiet");
    const std::map<std::string, std::string> recorded(r.options.begin(), r.options.end());
    for (const auto& [option, value] : std::map<std::string, std::string>{
             {"nr-iterations", "50"}, {"blocks", "3"}, {"min-param-diff", "1e-05"}, {"quiet", "true"},
             {"global-tying", "false"}, {"library-strandedness", "none"}, {"BAM", "s.bam"}})
        EXPECT_EQ(recorded.count(option) ? recorded.at(option) : "(none)", value) << option;
    ASSERT_NE(r.input("GTF"), nullptr);
    EXPECT_EQ(r.input("GTF")->path, tmp.file("s.gtf"));
    EXPECT_EQ(r.input("GTF")->size, std::filesystem::file_size(tmp.file("s.gtf")));
    ASSERT_EQ(r.outputs.size(), 3u);
    for (const provenance::Output& o : r.outputs) {
        const std::string path = tmp.file("rs/" + o.file);
        EXPECT_EQ(o.size, std::filesystem::file_size(path)) << o.file;
        const auto md5sum = testutil::run("md5sum " + testutil::quoted(path));
        EXPECT_EQ(md5sum.out.substr(0, 32), o.md5) << o.file;
    }
    EXPECT_EQ(r.statistics.genesOk + r.statistics.genesFail, 4u);

    // Equal options written differently, and a different display, merge; another value does not.
    auto result = merge(tmp, "rs rt");
    EXPECT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(testutil::kestroveIn(tmp.path(), "-G s.gtf -B t.bam -o rt -q 0.001 -i 50").status, 0);
    result = merge(tmp, "rs rt");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(testutil::contains(result.err, "--min-param-diff 1e-05 in s, 0.001 in t")) << result.err;
}

TEST(KestroveMerge, RecordKeepsAwkwardTextsAndRefusesDamage)
{
    provenance::Record r;
    r.commandLine = {"kestrove", "-o", "a \"quoted\" dir", "back\\slash", "tab\there", "line\nend", "\x01", "gr\xc3\xbcn"};
    r.options = {{"output-dir", "a \"quoted\" dir"}};
    r.outputs = {{"genes_summary_x.dat", 18446744073709551615u, "0123"}};
    const provenance::Record back = provenance::parse(provenance::toJson(r));
    EXPECT_EQ(back.commandLine, r.commandLine);
    EXPECT_EQ(back.options, r.options);
    ASSERT_EQ(back.outputs.size(), 1u);
    EXPECT_EQ(back.outputs[0].size, r.outputs[0].size);

    const std::string json = provenance::toJson(r);
    const struct { const char* name; std::string text; const char* message; } damaged[] = {
        {"cut", json.substr(0, json.find("back") + 4), "unterminated string"},
        {"no outputs", replaced(json, "\"outputs\"", "\"output\""), "no \"outputs\""},
        {"size as text", replaced(json, "18446744073709551615", "\"1\""), "\"size\" has the wrong type"},
        {"negative size", replaced(json, "18446744073709551615", "-1"), "not a count"},
        {"trailing text", json + "x", "text after the end"},
    };
    for (const auto& d : damaged) {
        try {
            provenance::parse(d.text);
            ADD_FAILURE() << d.name << " was accepted";
        } catch (const provenance::FormatError& e) {
            EXPECT_TRUE(testutil::contains(e.what(), d.message)) << d.name << ": " << e.what();
        }
    }
}

TEST(KestroveMerge, ToolsPrintTheirVersion)
{
    for (const char* tool : {"kestrove-merge", "kestrove-cluster", "simulate"}) {
        const auto result = testutil::run(testutil::toolPath(tool) + " --version");
        EXPECT_EQ(result.status, 0) << tool;
        EXPECT_EQ(result.out, std::string(tool) + " " + KESTROVE_VERSION + "\n") << tool;
    }
}

} // namespace
