// Writes a results directory for the clustering benchmark.
//   generate profiles N DIR   N random profiles of 100 columns in DIR/norm_pdfs,
//                             and a transcript summary with no transcripts
//   generate summary N DIR    a transcript summary of N transcripts with
//                             three-component start-site mixtures
// The same N always gives the same files.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

namespace {

const char* const kSummaryHeader = "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\t"
                                   "abundance\tfrags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\t"
                                   "comp_frags_expt\tFPKM_CHN\n";

void writeProfiles(long n, const std::string& dir)
{
    std::mt19937_64 rng(static_cast<unsigned long>(n));
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::ofstream out(dir + "/norm_pdfs");
    out << "NAME";
    for (int c = 1; c <= 100; ++c)
        out << "\tcoord_" << c;
    out << '\n';
    double values[100];
    for (long row = 0; row < n; ++row) {
        double sum = 0;
        for (double& v : values) {
            v = uniform(rng);
            sum += v;
        }
        out << "T" << row;
        for (double v : values)
            out << '\t' << v / sum;
        out << '\n';
    }
    std::ofstream(dir + "/transcripts_summary_bench.dat") << kSummaryHeader;
}

void writeSummary(long n, const std::string& dir)
{
    std::mt19937_64 rng(static_cast<unsigned long>(n));
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::uniform_int_distribution<int> length(400, 6000);
    std::ofstream out(dir + "/transcripts_summary_bench.dat");
    out << kSummaryHeader;
    for (long t = 0; t < n; ++t) {
        const int l = length(rng);
        double w[3];
        double sum = 0;
        for (double& v : w) {
            v = uniform(rng);
            sum += v;
        }
        out << "T" << t << "\tG" << t << "\tg" << t << "\tchr1:1-" << l << '\t' << l << "\t1.00\t" << 0.2 + 0.8 * uniform(rng)
            << "\t2000\t1000000\t10.0\t2000\t900000\t11.0\t3";
        for (int k = 0; k < 3; ++k)
            out << '\t' << l * (2 * k + 1) / 6.0;
        for (double v : w)
            out << '\t' << v / sum;
        out << '\n';
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: generate profiles|summary N DIR\n";
        return 1;
    }
    const std::string mode = argv[1];
    const long n = std::atol(argv[2]);
    if (mode == "profiles")
        writeProfiles(n, argv[3]);
    else if (mode == "summary")
        writeSummary(n, argv[3]);
    else {
        std::cerr << "usage: generate profiles|summary N DIR\n";
        return 1;
    }
    return 0;
}
