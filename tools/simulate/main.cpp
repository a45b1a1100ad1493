// Deterministic RNA-seq simulator: a GTF of multi-isoform genes, a BAM of the
// true spliced alignments of fragments sampled from its transcripts, and a
// table of the true fragment counts. The same options and seed always give
// the same files.
//
// Libraries are stranded with read 1 on the transcript's strand: on a
// forward-strand transcript read 1 is the leftmost mate, on a reverse-strand
// transcript the rightmost one. Single-end reads are read 1.

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "Simulation.h"

namespace po = boost::program_options;
using namespace simulation;

namespace {

// 0: run, 1: error, 2: help or version printed.
int parseOptions(int argc, char** argv, Options& opt)
{
    po::options_description desc("Usage: simulate [options]\nOptions");
    desc.add_options()
        ("help,h", "print this help")
        ("version", "print the version")
        ("genes", po::value<uint64_t>(&opt.genes)->default_value(opt.genes), "number of genes")
        ("fragments", po::value<uint64_t>(&opt.fragments)->default_value(opt.fragments), "number of fragments")
        ("seed", po::value<uint64_t>(&opt.seed)->default_value(opt.seed), "random seed")
        ("sample-seed", po::value<uint64_t>(&opt.sampleSeed),
         "draw the fragments with this seed; the annotation still comes from --seed (replicates)")
        ("scale", po::value<std::string>(&opt.scalePath),
         "file of lines 'gene_id<TAB>factor': multiplies the abundance of those genes' transcripts")
        ("single-end", po::bool_switch(&opt.singleEnd), "one read per fragment")
        ("unsorted", po::bool_switch(&opt.unsorted), "keep the BAM in fragment order, without an index")
        ("read-length", po::value<int>(&opt.readLength)->default_value(opt.readLength), "read length")
        ("chromosomes", po::value<int>(&opt.chromosomes)->default_value(opt.chromosomes), "number of chromosomes")
        ("chr-prefix", po::bool_switch(&opt.chrPrefix), "name the BAM references chr1, chr2, ... (the GTF keeps 1, 2, ...)")
        ("overlapping", po::bool_switch(&opt.overlapping), "let every second gene start inside the gene before it")
        ("realistic", po::bool_switch(&opt.realistic),
         "genes shaped like a real annotation: many exons and isoforms, loci that overlap, skewed expression")
        ("wide-gene", po::value<int>(&opt.wideGene)->default_value(opt.wideGene),
         "with --realistic: give the first gene 24 exons and about this many isoforms (2 to 40; 0: no such gene)")
        ("frag-mean", po::value<double>(&opt.fragMean)->default_value(opt.fragMean), "mean fragment length")
        ("frag-sd", po::value<double>(&opt.fragSd)->default_value(opt.fragSd), "standard deviation of fragment lengths")
        ("threads", po::value<int>(&opt.threads)->default_value(opt.threads), "compression threads for the BAM")
        ("out-prefix", po::value<std::string>(&opt.outPrefix)->default_value(opt.outPrefix),
         "writes PREFIX.gtf, PREFIX.bam and PREFIX.truth.tsv")
        ("gtf", po::value<std::string>(&opt.gtfPath), "GTF path (overrides the prefix)")
        ("bam", po::value<std::string>(&opt.bamPath), "BAM path (overrides the prefix)")
        ("truth", po::value<std::string>(&opt.truthPath), "truth table path (overrides the prefix)");
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, desc), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        std::cerr << "simulate: " << e.what() << "\n";
        return 1;
    }
    opt.hasSampleSeed = vm.count("sample-seed") > 0;
    if (vm.count("help")) {
        std::cout << desc << "\n";
        return 2;
    }
    if (vm.count("version")) {
        std::cout << "simulate " << KESTROVE_VERSION << "\n";
        return 2;
    }
    if (opt.genes < 1 || opt.fragments < 1 || opt.chromosomes < 1 || opt.readLength < 1 ||
        opt.readLength > 100000 || opt.fragMean < 1.0 || opt.fragSd < 0.0 || opt.threads < 1) {
        std::cerr << "simulate: genes, fragments, chromosomes, read-length, frag-mean and threads must be "
                     "positive and frag-sd not negative\n";
        return 1;
    }
    if (opt.wideGene != 0 && (!opt.realistic || opt.wideGene < 2 || opt.wideGene > 40)) {
        std::cerr << "simulate: --wide-gene takes 2 to 40 isoforms and needs --realistic\n";
        return 1;
    }
    if (opt.fragments > UINT32_MAX - 1) {
        std::cerr << "simulate: at most " << UINT32_MAX - 1 << " fragments\n";
        return 1;
    }
    if (opt.gtfPath.empty())
        opt.gtfPath = opt.outPrefix + ".gtf";
    if (opt.bamPath.empty())
        opt.bamPath = opt.outPrefix + ".bam";
    if (opt.truthPath.empty())
        opt.truthPath = opt.outPrefix + ".truth.tsv";
    // The program's own name without its directory, so outputs do not depend on the build location.
    opt.commandLine = "simulate";
    for (int i = 1; i < argc; ++i)
        opt.commandLine += " " + std::string(argv[i]);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    const int parsed = parseOptions(argc, argv, opt);
    if (parsed != 0)
        return parsed == 2 ? 0 : 1;

    Random rng(opt.seed);
    Model model = buildModel(opt, rng);
    if (!opt.scalePath.empty() && !applyScale(opt, model))
        return 1;
    if (opt.hasSampleSeed)
        rng = Random(opt.sampleSeed);
    const std::vector<Fragment> fragments = sampleFragments(opt, model, rng);
    if (!writeGtf(opt, model) || !writeTruth(opt, model) || !writeBam(opt, model, fragments))
        return 1;
    return 0;
}
