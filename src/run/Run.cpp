#include "run/Run.h"

#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>

#include <boost/filesystem.hpp>
#include <boost/timer/timer.hpp>

#include "alignments/BamSort.h"
#include "annotation/AutoGroups.h"
#include "clustering/ProfileTable.h"
#include "output/Fpkm.h"
#include "run/GenePass.h"
#include "run/OutputDirectory.h"
#include "run/References.h"
#include "util/Errors.h"
#include "util/Files.h"
#include "util/Units.h"

namespace {

constexpr int kMmapThresholdBytes = 512 * 1024;
constexpr int kTrimThresholdBytes = 16 * 1024 * 1024;
constexpr int kInitSteps = 4;
// With threads, the whole-file count is cut into about this many parts a thread, of at
// least kLeastRecordsPerPart records: fewer would cost more queries than they share.
constexpr uint64_t kCountPartsPerThread = 4;
constexpr uint64_t kLeastRecordsPerPart = uint64_t{1} << 14;

bool readGenesList(const std::string& path, std::map<std::string, std::string>& genesList)
{
    std::ifstream in;
    boost::system::error_code ec;
    std::string reason = "is a directory";
    if (!boost::filesystem::is_directory(path, ec)) {
        errno = 0;
        in.open(path);
        reason = errno != 0 ? std::strerror(errno) : "cannot be opened";
    }
    if (!in.is_open()) {
        std::cerr << "[initialize] fail to open file > " << path << " (" << reason << ")\n\n";
        return false;
    }
    if (in.peek() == std::ifstream::traits_type::eof()) {
        std::cerr << "List of the genes is empty!\n";
        return false;
    }
    for (std::string line; std::getline(in, line);)
        genesList.emplace(line, line);
    return true;
}

// Zero reads on every gene, or hardly any compatible fragment with a strandedness
// given, point at mismatched inputs or options rather than at the biology.
void warnAboutUnmatchedReads(const RunContext& run, const Annotations& annotations)
{
    uint64_t overlapping = 0;
    for (const auto& entry : annotations.genes)
        overlapping += entry.second.fragsLocus;
    const uint64_t fragments = run.counters.fragsExpt.load();
    const uint64_t compatible = run.counters.compFragsExpt.load();
    if (overlapping == 0) {
        std::cerr << "\nWarning: no read of " << run.paths.bamFile << " overlaps a gene of " << run.paths.gtfFile << "\n";
        return;
    }
    constexpr double kLowCompatibleShare = 0.05;
    if (run.options.strandedness != 0 && static_cast<double>(compatible) < kLowCompatibleShare * static_cast<double>(fragments))
        std::cerr << "\nWarning: only " << compatible << " of the experiment's " << fragments
                  << " fragments are compatible with a transcript; the library strandedness (-D "
                  << (run.options.strandedness == 1 ? "fwd" : "rev") << ") may be wrong\n";
}

// With threads, a reference that holds much of the file is counted in parts, so that one
// large reference does not leave the other threads idle. A reference's fragments are told
// from the sum of its parts, as from one count of the whole reference.
void countExperimentFragments(RunContext& run, const std::vector<std::string>& references)
{
    BamIO& reader = run.countingReader(0);
    uint64_t recordsPerPart = 0;
    if (run.pool.workers() > 1) {
        uint64_t records = 0;
        for (const std::string& reference : references)
            records += reader.indexedRecords(reference);
        recordsPerPart = std::max<uint64_t>(records / (kCountPartsPerThread * run.pool.workers()), kLeastRecordsPerPart);
    }
    std::vector<BamIO::ReferencePart> parts;
    std::vector<std::size_t> firstPart;
    for (const std::string& reference : references) {
        firstPart.push_back(parts.size());
        const std::vector<BamIO::ReferencePart> cut = reader.referenceParts(reference, recordsPerPart);
        parts.insert(parts.end(), cut.begin(), cut.end());
    }
    firstPart.push_back(parts.size());
    const auto wholeReference = [&](std::size_t i) {
        return parts[i].begin == 0 && parts[i].end == HTS_POS_MAX;
    };
    std::vector<BamIO::RecordCounts> counts(parts.size());
    run.pool.forEach(parts.size(), [&](std::size_t i, unsigned slot) {
        BamIO& partReader = run.countingReader(slot);
        counts[i] = partReader.countRecords(parts[i]);
        // A reference counted whole is checked at once, before any later one is read.
        if (wholeReference(i))
            partReader.checkIndexedCount(parts[i].tid, counts[i]);
    });
    for (std::size_t r = 0; r + 1 < firstPart.size(); ++r) {
        if (firstPart[r] == firstPart[r + 1])
            continue;
        BamIO::RecordCounts whole;
        for (std::size_t i = firstPart[r]; i < firstPart[r + 1]; ++i)
            whole += counts[i];
        if (!wholeReference(firstPart[r]))
            reader.checkIndexedCount(parts[firstPart[r]].tid, whole);
        run.alignerFlags.add(whole.stats);
        // Without properly paired records the reference holds single-end reads.
        run.counters.fragsExpt.fetch_add(fragmentCount(whole.stats));
    }
    if (run.pool.workers() > 0) {
        run.releaseWorkerReaders();
        run.releaseMainReader();
    }
}

void runChnPass(RunContext& run, Annotations& annotations)
{
    const uint64_t fragments = run.counters.fragsExpt.load();
    const uint64_t compatible = run.counters.compFragsExpt.load();
    std::vector<Gene*> genes;
    genes.reserve(annotations.genes.size());
    for (auto& entry : annotations.genes)
        genes.push_back(&entry.second);
    run.pool.forEach(genes.size(), [&](std::size_t i, unsigned) {
        calculateCHN(*genes[i], run.options, fragments, compatible);
    });
}

// The annotated genes get their FPKMs from the estimates carried back, as if each had
// been estimated alone with these fragments and abundances.
void carryBackMergedGenes(const RunContext& run, Annotations& annotations)
{
    annotations.mergeAnnotations();
    for (auto& entry : annotations.genes)
        setTotalHitsFpkm(entry.second, run.options, run.counters.fragsExpt.load());
}

// Genes estimated apart count the fragments of their overlap twice.
void hintAtOverlappingGenes(const Annotations& annotations)
{
    const size_t overlapping = annotations.overlappingGenes();
    if (overlapping > 0)
        std::cerr << "Warning: " << overlapping << " genes overlap another gene and were estimated apart; "
                  << "-c (--merge-annot) estimates overlapping genes jointly.\n";
}

void printFinish(const boost::timer::cpu_timer& timer)
{
    const boost::timer::cpu_times elapsed = timer.elapsed();
    const auto cpuSeconds = static_cast<unsigned long>((elapsed.user + elapsed.system) / 1e9);
    const auto wallSeconds = static_cast<unsigned long>(elapsed.wall / 1e9);
    std::cout << "\n\nExperiment finished on " << units::localTime() << "\n\nElapsed time: [CPU "
              << units::secondsToTime(cpuSeconds) << ", Real " << units::secondsToTime(wallSeconds)
              << "]" << std::endl;
}

void printClosingReport(const RunContext& run, size_t nrGenes, const boost::timer::cpu_timer& timer)
{
    if (run.options.quiet)
        return;
    const uint64_t processed = run.counters.nrGenesProcessed.load();
    std::cout << "\n> " << processed << " genes processed.";
    if (nrGenes != processed)
        std::cout << "\n> " << static_cast<int64_t>(nrGenes) - static_cast<int64_t>(processed)
                  << " genes skipped.";
    printFinish(timer);
}

// Clustering after a quantification works on this run's own results.
bool clusterThisRun(const RunContext& run)
{
    if (!run.options.quiet)
        std::cout << "\n\n";
    t_configuration clustering = run.options;
    if (clustering.resultsDir.empty())
        clustering.resultsDir = run.paths.outputDir;
    if (!createClusteringData(clustering))
        return false;
    if (!clusterPDFs(run.paths.outputDir + "/norm_pdfs", clustering)) {
        std::cerr << "\nError: the start-site profiles could not be clustered\n";
        return false;
    }
    return true;
}

// The alignments' references and sample are known, the output directory exists and the
// writer is ready for the genes' rows; false after saying why not.
bool prepareOutputs(RunContext& run, Annotations& annotations, BamIO& reader)
{
    if (!createOutputDirectories(run.options, run.paths.outputDir))
        return false;
    if (run.options.debugMode)
        run.paths.debugDir = run.paths.outputDir + "/debug";
    run.references = reader.getChromosomeList();
    reader.closeBam();
    saveGroupTying(annotations, run.options, run.paths);

    run.progress.setProgressMax(static_cast<int>(annotations.genes.size()));
    run.results.setConfigurations(run.paths, run.options, files::splitFilename(run.paths.bamFile));
    run.results.setExperimentCounts(run.counters.fragsExpt.load(), 0);
    run.results.openFilesForIntermediateResults();
    return true;
}

int runSteps(RunContext& run, const boost::timer::cpu_timer& timer)
{
    if (run.options.quiet) {
        // Steps below (indexing, sorting) announce themselves on standard output too.
        std::cout.setstate(std::ios::badbit);
    } else
        std::cout << "\nExperiment started on " << units::localTime() << "\n\n";

    Annotations annotations;
    BamIO reader(run.paths.bamFile.c_str(), run.skippedFlags(), run.options.sortMemory, &run.readerNotices);
    if (!initialize(run, annotations, reader) || !prepareOutputs(run, annotations, reader))
        return 1;

    runGenePass(run, annotations);
    run.releaseMainReader();
    warnAboutUnmatchedReads(run, annotations);
    std::cerr << unmatedReadsWarning(run.counters);
    if (run.options.mergeAnnot)
        carryBackMergedGenes(run, annotations);
    run.results.closeFilesForIntermediateResults();
    run.progress.updateProgressBar("Saving results..", run.counters.quantificationProgress.load());

    if (run.options.computeChn)
        runChnPass(run, annotations);
    run.results.setExperimentCounts(run.counters.fragsExpt.load(), run.counters.compFragsExpt.load());
    // The writer has already named the file it could not open; the run must not report success.
    if (!run.results.writeFinalResults(annotations))
        return 1;
    run.progress.finish("> Quantification completed");

    if (run.options.clusterPdfs && !clusterThisRun(run))
        return 1;
    printClosingReport(run, annotations.genes.size(), timer);
    if (!run.options.mergeAnnot)
        hintAtOverlappingGenes(annotations);
    return 0;
}

} // namespace

bool initialize(RunContext& run, Annotations& annotations, BamIO& reader)
{
    const t_configuration& conf = run.options;
    t_directories& paths = run.paths;
    ProgressBar display(conf.quiet);
    display.setProgressMax(kInitSteps);

    std::map<std::string, std::string> genesList;
    if (!conf.processAllGenes && !readGenesList(paths.genesListFile, genesList))
        return false;
    // Every input is checked before the alignments, which may have to be sorted first.
    const std::optional<std::string> outputDir = resolveOutputDirectory(conf, paths);
    if (!outputDir)
        return false;
    paths.outputDir = *outputDir;

    const std::optional<HeaderReferences> references = bamReferences(paths.bamFile);
    if (references) {
        annotations.referenceLength = [references = *references](const std::string& chromosome) -> int64_t {
            const std::string name = headerReference(chromosome, references.names);
            const auto at = std::find(references.names.begin(), references.names.end(), name);
            return at == references.names.end() ? -1 : references.lengths[at - references.names.begin()];
        };
    }
    try {
        display.updateProgressBar("Loading the annotations", 1);
        annotations.parseGTF(paths.gtfFile.c_str(), genesList,
                             {.allGenes = conf.processAllGenes, .excludeListed = conf.excludeGenes,
                              .mergeOverlapping = conf.mergeAnnot});
    } catch (const KestroveException& e) {
        std::cerr << e.what() << std::endl;
        return false;
    }
    if (!annotations.genes.empty() && references && !referencesMatch(annotations, references->names, paths))
        return false;

    display.updateProgressBar("Loading the alignments", 2);
    try {
        const int sorted = reader.openBam();
        reader.createChromosomeList();
        // The reader points into bamFile, so the name changes only once the reader is done with it.
        if (sorted != 0)
            paths.bamFile = sortedCopyName(paths.bamFile);
    } catch (const KestroveException& e) {
        std::cerr << e.what() << std::endl;
        return false;
    }

    try {
        display.updateProgressBar("Initializing parameters", 3);
        countExperimentFragments(run, reader.getChromosomeList());
    } catch (const KestroveException& e) {
        std::cerr << e.what() << std::endl;
        return false;
    }

    display.finish("Initialization completed");
    if (!conf.quiet) {
        std::cout << "> Alignments are loaded.\n> Annotations are loaded (" << annotations.genes.size()
                  << " genes).\n"
                  << "> Parameters are initialized.\n"
                  << std::endl;
    }
    std::cerr << alignerFlagsNote(paths.bamFile, run.alignerFlags.sum(), conf.primaryOnly);

    if (annotations.genes.empty()) {
        std::cout << "\nThere are no genes to process." << std::endl;
        return false;
    }
    return true;
}

int runKestrove(const t_configuration& options, const t_directories& inputs, const RunInvocation& invocation)
{
    // Every gene allocates and frees its tables, and a page first written costs a fault:
    // a few microseconds each in a virtual machine, a tenth of a run when every table
    // comes and goes with its own mapping. Buffers up to half a megabyte (those of most
    // loci) come from the heap and are used again by the next gene, and the heap keeps
    // some free room at its top. Larger ones (a big locus's) still get their own
    // mapping, returned when freed, so the few big loci do not leave a heap behind that
    // no later locus fills; the threshold is fixed because glibc would otherwise raise
    // it after the first such free.
    mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
    mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);
    boost::timer::cpu_timer timer;
    RunContext run(options, inputs);
    run.results.startRecord(invocation.argc, invocation.argv, invocation.optionValues, inputs);
    return runSteps(run, timer);
}
