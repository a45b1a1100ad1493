// End-to-end quantification of simulated experiments: the real executables run on
// data sets that the simulator writes into a temporary directory.

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>
#include <htslib/hts.h>
#include <htslib/sam.h>

#include "TestUtil.h"

using testutil::readText;
using testutil::TempDir;

namespace {

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        result.push_back(field);
    return result;
}

// A summary file as rows of fields; columns are looked up by their header name.
struct Summary {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    size_t column(const std::string& name) const
    {
        const auto at = std::find(header.begin(), header.end(), name);
        if (at == header.end())
            throw std::runtime_error("no column " + name);
        return static_cast<size_t>(at - header.begin());
    }
    std::vector<std::string> values(const std::string& name) const
    {
        const size_t c = column(name);
        std::vector<std::string> result;
        for (const auto& row : rows)
            result.push_back(c < row.size() ? row[c] : std::string());
        return result;
    }
};

Summary readSummary(const std::string& path)
{
    Summary summary;
    const auto all = lines(readText(path));
    if (all.empty())
        return summary;
    summary.header = fields(all[0]);
    for (size_t i = 1; i < all.size(); ++i)
        summary.rows.push_back(fields(all[i]));
    return summary;
}

struct TruthRow {
    std::string transcript;
    std::string gene;
    double length = 0;
    double fragments = 0;
};

std::vector<TruthRow> readTruth(const std::string& path)
{
    std::vector<TruthRow> rows;
    const auto all = lines(readText(path));
    for (size_t i = 1; i < all.size(); ++i) {
        const auto f = fields(all[i]);
        rows.push_back({f.at(0), f.at(1), std::stod(f.at(2)), std::stod(f.at(3))});
    }
    return rows;
}

std::vector<std::string> geneIdsOf(const std::vector<TruthRow>& truth)
{
    std::set<std::string> ids;
    for (const auto& row : truth)
        ids.insert(row.gene);
    return {ids.begin(), ids.end()};
}

double pearson(const std::vector<double>& x, const std::vector<double>& y)
{
    const double n = static_cast<double>(x.size());
    double mx = 0, my = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= n;
    my /= n;
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxy / std::sqrt(sxx * syy);
}

bool hasTwoHardwareThreads() { return boost::thread::hardware_concurrency() >= 2; }

// One simulated data set, sim.gtf / sim.bam / sim.truth.tsv in its own directory.
class Experiment {
public:
    explicit Experiment(const std::string& simulateOptions)
    {
        const auto result = testutil::run(quoted(testutil::toolPath("simulate")) + " " + simulateOptions +
                                          " --out-prefix " + quoted(dir.file("sim")));
        if (result.status != 0)
            throw std::runtime_error("simulate failed: " + result.err);
    }

    std::string path(const std::string& name) const { return dir.file(name); }

    testutil::CommandResult quantify(const std::string& exe, const std::string& output,
                                     const std::string& options = "", const std::string& gtf = "sim.gtf",
                                     const std::string& bam = "sim.bam") const
    {
        return testutil::run("cd " + quoted(dir.path()) + " && " + quoted(exe) + " -G " + gtf + " -B " + bam +
                             " -o " + output + " " + options);
    }

    Summary genes(const std::string& output, const std::string& sample = "sim") const
    {
        return readSummary(dir.file(output + "/genes_summary_" + sample + ".dat"));
    }
    Summary transcripts(const std::string& output, const std::string& sample = "sim") const
    {
        return readSummary(dir.file(output + "/transcripts_summary_" + sample + ".dat"));
    }
    std::vector<TruthRow> truth() const { return readTruth(dir.file("sim.truth.tsv")); }

private:
    TempDir dir;
};

double totalFragments(const std::vector<TruthRow>& truth)
{
    double total = 0;
    for (const auto& row : truth)
        total += row.fragments;
    return total;
}

// The checks every completed run of a simulated experiment must pass: each gene and
// transcript of the annotation exactly once, genes in id order, the experiment's
// fragments counted once, every gene estimated.
void expectCompleteSummaries(const Experiment& data, const std::string& output, const std::string& sample)
{
    const auto truth = data.truth();
    const Summary genes = data.genes(output, sample);
    const Summary transcripts = data.transcripts(output, sample);

    EXPECT_EQ(genes.values("gene_ID"), geneIdsOf(truth));
    std::vector<std::string> expectedTranscripts;
    for (const auto& row : truth)
        expectedTranscripts.push_back(row.transcript);
    EXPECT_EQ(transcripts.values("tracking_ID"), expectedTranscripts);

    const std::string total = std::to_string(static_cast<uint64_t>(totalFragments(truth)));
    uint64_t locusSum = 0;
    for (const auto& row : genes.rows) {
        EXPECT_EQ(row[genes.column("frags_expt")], total);
        EXPECT_EQ(row[genes.column("status")], "OK") << row[0];
        locusSum += std::stoull(row[genes.column("frags_locus")]);
    }
    // Genes do not overlap, so each fragment lies in exactly one locus.
    EXPECT_EQ(std::to_string(locusSum), total);

    std::map<std::string, double> abundanceSum;
    for (const auto& row : transcripts.rows)
        abundanceSum[row[transcripts.column("gene_ID")]] += std::stod(row[transcripts.column("abundance")]);
    // Each abundance is printed to five decimals; a gene has at most four isoforms.
    for (const auto& [gene, sum] : abundanceSum)
        EXPECT_NEAR(sum, 1.0, 4 * 0.5e-5 + 1e-12) << gene;
}

// Keeps the first (full-length) transcript of every gene, with only its reads, so
// that each gene has a single isoform whose true fragment count is known.
std::vector<TruthRow> restrictToFirstIsoforms(const Experiment& data, const std::string& gtf, const std::string& bam)
{
    std::vector<TruthRow> kept;
    std::set<std::string> keptIds, seenGenes;
    for (const auto& row : data.truth()) {
        if (seenGenes.insert(row.gene).second) {
            kept.push_back(row);
            keptIds.insert(row.transcript);
        }
    }

    std::ofstream out(data.path(gtf));
    const std::string key = "transcript_id \"";
    for (const auto& line : lines(readText(data.path("sim.gtf")))) {
        const auto at = line.find(key);
        if (at == std::string::npos)
            continue;
        const auto begin = at + key.size();
        if (keptIds.count(line.substr(begin, line.find('"', begin) - begin)))
            out << line << "\n";
    }
    out.close();

    using File = std::unique_ptr<htsFile, int (*)(htsFile*)>;
    File in(hts_open(data.path("sim.bam").c_str(), "r"), hts_close);
    std::unique_ptr<sam_hdr_t, void (*)(sam_hdr_t*)> header(sam_hdr_read(in.get()), sam_hdr_destroy);
    {
        File filtered(hts_open(data.path(bam).c_str(), "wb"), hts_close);
        if (!header || !filtered || sam_hdr_write(filtered.get(), header.get()) < 0)
            throw std::runtime_error("cannot filter the simulated BAM");
        std::unique_ptr<bam1_t, void (*)(bam1_t*)> record(bam_init1(), bam_destroy1);
        while (sam_read1(in.get(), header.get(), record.get()) >= 0) {
            // Simulated read names end in "_" and the transcript of origin.
            const std::string name = bam_get_qname(record.get());
            if (keptIds.count(name.substr(name.rfind('_') + 1)) && sam_write1(filtered.get(), header.get(), record.get()) < 0)
                throw std::runtime_error("cannot write the filtered BAM");
        }
    }
    if (sam_index_build(data.path(bam).c_str(), 0) != 0)
        throw std::runtime_error("cannot index the filtered BAM");
    return kept;
}

} // namespace

// Whole runs on simulated experiments.

TEST(SimulatedRun, PairedEndExperimentReportsEveryGeneAndTranscriptOnce)
{
    Experiment data("--genes 20 --fragments 3000 --seed 11");
    const auto result = data.quantify(testutil::kestroveExe(), "out");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("\n> 20 genes processed.\n\nExperiment finished on "), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("genes skipped"), std::string::npos);
    expectCompleteSummaries(data, "out", "sim");
}

TEST(SimulatedRun, SingleEndExperimentCountsEachReadAsAFragment)
{
    Experiment data("--genes 20 --fragments 3000 --seed 12 --single-end");
    const auto result = data.quantify(testutil::kestroveExe(), "out");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n> 20 genes processed.\n"), std::string::npos) << result.out;
    expectCompleteSummaries(data, "out", "sim");
}

TEST(SimulatedRun, UnsortedBamIsQuantifiedFromASortedCopyNamedAfterIt)
{
    // The same seed gives the same fragments; only the record order differs.
    Experiment sorted("--genes 15 --fragments 2000 --seed 13");
    Experiment unsorted("--genes 15 --fragments 2000 --seed 13 --unsorted");
    const std::string inputBefore = readText(unsorted.path("sim.bam"));

    ASSERT_EQ(sorted.quantify(testutil::kestroveExe(), "out").status, 0);
    const auto result = unsorted.quantify(testutil::kestroveExe(), "out");
    ASSERT_EQ(result.status, 0) << result.err;

    EXPECT_EQ(readText(unsorted.path("sim.bam")), inputBefore);
    EXPECT_FALSE(testutil::exists(unsorted.path("sim.bam.bai")));
    EXPECT_TRUE(testutil::exists(unsorted.path("sim.sorted.bam")));
    EXPECT_TRUE(testutil::exists(unsorted.path("sim.sorted.bam.bai")));
    EXPECT_FALSE(testutil::exists(unsorted.path("out/genes_summary_sim.dat")));
    expectCompleteSummaries(unsorted, "out", "sim.sorted");
    EXPECT_EQ(readText(unsorted.path("out/genes_summary_sim.sorted.dat")),
              readText(sorted.path("out/genes_summary_sim.dat")));
    EXPECT_EQ(readText(unsorted.path("out/transcripts_summary_sim.sorted.dat")),
              readText(sorted.path("out/transcripts_summary_sim.dat")));
}

TEST(SimulatedRun, ChromosomeNamedWithoutPrefixIsFoundUnderChrInTheBam)
{
    // Seven chromosomes named 1..7 in the annotation; the prefixed BAM calls them chr1..chr7.
    Experiment plain("--genes 14 --fragments 2000 --seed 14 --chromosomes 7");
    Experiment prefixed("--genes 14 --fragments 2000 --seed 14 --chromosomes 7 --chr-prefix");
    ASSERT_EQ(plain.quantify(testutil::kestroveExe(), "out").status, 0);
    const auto result = prefixed.quantify(testutil::kestroveExe(), "out");
    ASSERT_EQ(result.status, 0) << result.err;

    for (const std::string kind : {"genes", "transcripts"}) {
        const Summary expected = kind == "genes" ? plain.genes("out") : plain.transcripts("out");
        const Summary actual = kind == "genes" ? prefixed.genes("out") : prefixed.transcripts("out");
        ASSERT_EQ(actual.rows.size(), expected.rows.size());
        const size_t locus = expected.column("locus");
        bool sawChr7 = false;
        for (size_t i = 0; i < expected.rows.size(); ++i) {
            std::vector<std::string> row = expected.rows[i];
            row[locus] = "chr" + row[locus];
            EXPECT_EQ(actual.rows[i], row);
            sawChr7 = sawChr7 || row[locus].rfind("chr7:", 0) == 0;
        }
        EXPECT_TRUE(sawChr7) << kind;
    }
}

// Accuracy against the simulated truth.

TEST(Accuracy, SingleIsoformFpkmFollowsTheTrueFragmentsPerLength)
{
    Experiment data("--genes 30 --fragments 5000 --seed 21");
    const auto kept = restrictToFirstIsoforms(data, "single.gtf", "single.bam");
    const auto result = data.quantify(testutil::kestroveExe(), "out", "", "single.gtf", "single.bam");
    ASSERT_EQ(result.status, 0) << result.err;

    const double total = totalFragments(kept);
    const Summary transcripts = data.transcripts("out", "single");
    ASSERT_EQ(transcripts.rows.size(), kept.size());
    std::vector<double> truthFpkm, reported;
    for (size_t i = 0; i < kept.size(); ++i) {
        const auto& row = transcripts.rows[i];
        ASSERT_EQ(row[transcripts.column("tracking_ID")], kept[i].transcript);
        EXPECT_EQ(row[transcripts.column("frags_expt")], std::to_string(static_cast<uint64_t>(total)));
        truthFpkm.push_back(1e9 * kept[i].fragments / (kept[i].length * total));
        reported.push_back(std::stod(row[transcripts.column("FPKM_THN")]));
    }
    EXPECT_GT(pearson(truthFpkm, reported), 0.98);
    // A lone isoform takes all of its locus's fragments, so the match is close for every gene.
    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_NEAR(reported[i], truthFpkm[i], 0.01 * truthFpkm[i]) << kept[i].transcript;
}

TEST(Accuracy, IsoformAbundancesFollowTheTrueProportions)
{
    // Isoforms differ only by skipped exons, so a fragment inside shared exons fits
    // several of them and proportions are only partly identifiable; besides, a gene of
    // 300 fragments has a sampling spread of about 0.03 in each true proportion. Runs
    // on nine seeds gave correlations of 0.93 to 0.97; 0.85 leaves room for that
    // spread, while uniform abundances reach only about 0.35 and abundances
    // proportional to length about 0.45.
    Experiment data("--genes 40 --fragments 20000 --seed 22");
    const auto result = data.quantify(testutil::kestroveExe(), "out");
    ASSERT_EQ(result.status, 0) << result.err;

    const auto truth = data.truth();
    std::map<std::string, double> geneFragments;
    for (const auto& row : truth)
        geneFragments[row.gene] += row.fragments;
    const Summary transcripts = data.transcripts("out");
    ASSERT_EQ(transcripts.rows.size(), truth.size());

    std::vector<double> proportion, abundance;
    for (size_t i = 0; i < truth.size(); ++i) {
        ASSERT_EQ(transcripts.rows[i][0], truth[i].transcript);
        if (geneFragments[truth[i].gene] < 300)
            continue;
        proportion.push_back(truth[i].fragments / geneFragments[truth[i].gene]);
        abundance.push_back(std::stod(transcripts.rows[i][transcripts.column("abundance")]));
    }
    ASSERT_GE(proportion.size(), 40u);
    EXPECT_GT(pearson(proportion, abundance), 0.85);
}

// Development build: worker threads and the deferred pass.

TEST(Threads, TwoThreadsWriteTheSameSummariesAsOne)
{
    if (!hasTwoHardwareThreads())
        GTEST_SKIP() << "needs two hardware threads";
    // Unsorted, so that every worker has to open the sorted copy rather than the input.
    Experiment data("--genes 40 --fragments 8000 --seed 31 --unsorted");
    const auto single = data.quantify(testutil::kestroveDevExe(), "one");
    ASSERT_EQ(single.status, 0) << single.err;
    const auto pooled = data.quantify(testutil::kestroveDevExe(), "two", "--threads 2");
    ASSERT_EQ(pooled.status, 0) << pooled.err;
    EXPECT_NE(pooled.out.find("Processing with 2 threads.."), std::string::npos);
    expectCompleteSummaries(data, "two", "sim.sorted");
    EXPECT_EQ(readText(data.path("two/genes_summary_sim.sorted.dat")),
              readText(data.path("one/genes_summary_sim.sorted.dat")));
    EXPECT_EQ(readText(data.path("two/transcripts_summary_sim.sorted.dat")),
              readText(data.path("one/transcripts_summary_sim.sorted.dat")));
}

TEST(Threads, DeferredGenesAreEstimatedOnceWithTheSingleThreadValues)
{
    if (!hasTwoHardwareThreads())
        GTEST_SKIP() << "needs two hardware threads";
    // The deferred pass reads the locus under the annotation's name ("1"), which only
    // the BAM's "chr1" matches.
    Experiment data("--genes 40 --fragments 8000 --seed 32 --chr-prefix");
    const int threshold = 250;
    const auto single = data.quantify(testutil::kestroveDevExe(), "one");
    ASSERT_EQ(single.status, 0) << single.err;
    const auto deferred =
        data.quantify(testutil::kestroveDevExe(), "two", "--threads 2 --frags-threshold " + std::to_string(threshold));
    ASSERT_EQ(deferred.status, 0) << deferred.err;

    const Summary expectedGenes = data.genes("one");
    int nrDeferred = 0;
    for (const auto& locus : expectedGenes.values("frags_locus"))
        nrDeferred += std::stoi(locus) >= threshold ? 1 : 0;
    ASSERT_GT(nrDeferred, 0);
    ASSERT_LT(nrDeferred, 40);
    // A deferred gene is counted once when deferred and once when estimated, so the
    // display passes 100 % by exactly the deferred genes.
    std::string saving = "Saving results..";
    saving.resize(50, ' ');
    const std::string stars(static_cast<size_t>((40 + nrDeferred) * 25 / 40), '*');
    const int percent = (40 + nrDeferred) * 100 / 40;
    EXPECT_NE(deferred.out.find(saving + "[" + stars + "]   " + std::to_string(percent) + "%\r"),
              std::string::npos)
        << deferred.out.substr(deferred.out.find("Saving results"), 100);
    EXPECT_NE(deferred.out.find("\n> 40 genes processed.\n"), std::string::npos);

    const Summary actualGenes = data.genes("two");
    EXPECT_EQ(actualGenes.values("gene_ID"), expectedGenes.values("gene_ID"));
    ASSERT_EQ(actualGenes.rows.size(), expectedGenes.rows.size());
    for (size_t i = 0; i < expectedGenes.rows.size(); ++i)
        EXPECT_EQ(actualGenes.rows[i], expectedGenes.rows[i]);
    const Summary expectedTranscripts = data.transcripts("one");
    const Summary actualTranscripts = data.transcripts("two");
    ASSERT_EQ(actualTranscripts.rows.size(), expectedTranscripts.rows.size());
    for (size_t i = 0; i < expectedTranscripts.rows.size(); ++i)
        EXPECT_EQ(actualTranscripts.rows[i], expectedTranscripts.rows[i]);
}
