#include "run/Run.h"

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <unordered_map>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>
#include <boost/timer/timer.hpp>

#include "alignments/BamSort.h"
#include "output/DebugLog.h"
#include "util/Errors.h"
#include "model/Training.h"
#include "util/TaskPool.h"

std::vector<std::string> chrList;
boost::thread_specific_ptr<BamIO> threadLocalStorage;
ReaderNotices readerNotices;
ProgressBar progressBar;
WriteResults results;
Helper helperObject;
t_configuration conf;
t_directories dirs;

std::atomic<uint64_t> fragsExpt{0};
std::atomic<uint64_t> compFragsExpt{0};
std::atomic<uint64_t> nrGenesProcessed{0};
std::atomic<int32_t> quantificationProgress{0};
std::atomic<uint64_t> unmatedReadsExpt{0};
std::atomic<uint64_t> pairedReadsExpt{0};
std::atomic<bool> unmatedNamesCarryMateSuffix{false};

namespace {

// The experiment's aligner-flagged records, summed over the references by whichever
// threads count them.
std::mutex alignerFlagsMutex;
t_flagStats alignerFlagRecords;

uint16_t skippedFlags()
{
    return conf.primaryOnly ? kNonPrimaryFlags : 0;
}

constexpr int kMmapThresholdBytes = 512 * 1024;
constexpr int kTrimThresholdBytes = 16 * 1024 * 1024;
constexpr int kInitSteps = 4;
const char* const kWholeReference = ":0-999999999";

std::string localTime()
{
    return boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time());
}

void setTotalHitsFpkm(Gene& gene);

// Nothing reads through the main thread's slot after this point, so its reader is closed
// rather than leaked.
void releaseMainReader()
{
    std::unique_ptr<BamIO> reader(threadLocalStorage.release());
}

bool readGenesList(std::map<std::string, std::string>& genesList)
{
    std::ifstream in;
    boost::system::error_code ec;
    std::string reason = "is a directory";
    if (!boost::filesystem::is_directory(dirs.genesListFile, ec)) {
        errno = 0;
        in.open(dirs.genesListFile);
        reason = errno != 0 ? std::strerror(errno) : "cannot be opened";
    }
    if (!in.is_open()) {
        std::cerr << "[initialize] fail to open file > " << dirs.genesListFile << " (" << reason << ")\n\n";
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

// The reference of the BAM header that holds `chromosome`, tried as written and
// under the usual prefixes; empty when there is none.
std::string headerReference(const std::string& chromosome, const std::vector<std::string>& references)
{
    for (const char* prefix : {"", "chr", "Chr", "CHR"}) {
        if (std::find(references.begin(), references.end(), prefix + chromosome) != references.end())
            return prefix + chromosome;
    }
    return {};
}

std::string firstNames(const std::vector<std::string>& names)
{
    constexpr size_t kNamed = 3;
    std::string text;
    for (size_t i = 0; i < names.size() && i < kNamed; ++i)
        text += (i > 0 ? ", " : "") + names[i];
    if (names.size() > kNamed)
        text += " and " + std::to_string(names.size() - kNamed) + " more";
    return text;
}

// The references of the BAM header; none when the header cannot be read, which
// opening the alignments then reports.
struct HeaderReferences {
    std::vector<std::string> names;
    std::vector<int64_t> lengths;
};

std::optional<HeaderReferences> bamReferences(const std::string& path)
{
    // Opening a FIFO would wait for a writer; the reader's open says what is wrong.
    if (!Helper::inputFileProblem(path).empty())
        return std::nullopt;
    HtsLogSilencer quiet;
    std::unique_ptr<htsFile, HtsFileCloser> file(hts_open(path.c_str(), "r"));
    if (!file)
        return std::nullopt;
    std::unique_ptr<sam_hdr_t, HtsHeaderFree> header(sam_hdr_read(file.get()));
    if (!header)
        return std::nullopt;
    HeaderReferences references;
    for (int i = 0; i < sam_hdr_nref(header.get()); ++i) {
        references.names.emplace_back(sam_hdr_tid2name(header.get(), i));
        references.lengths.push_back(sam_hdr_tid2len(header.get(), i));
    }
    return references;
}

// A GTF and a BAM from different naming conventions (chr1 against 1) would give every
// gene zero reads and a run that looks successful.
bool referencesMatch(const Annotations& annotations, const std::vector<std::string>& references)
{
    std::map<std::string, bool> found;
    std::vector<std::string> absent;
    size_t genesAbsent = 0;
    for (const auto& entry : annotations.genes) {
        const std::string& chromosome = entry.second.chromosome;
        auto [it, inserted] = found.try_emplace(chromosome, false);
        if (inserted) {
            it->second = !headerReference(chromosome, references).empty();
            if (!it->second)
                absent.push_back(chromosome);
        }
        genesAbsent += it->second ? 0 : 1;
    }
    if (genesAbsent == annotations.genes.size()) {
        std::cerr << "Error: no reference of " << dirs.gtfFile << " (" << firstNames(absent) << ") is in "
                  << dirs.bamFile << " (" << (references.empty() ? "none" : firstNames(references)) << ")\n";
        return false;
    }
    if (genesAbsent > 0)
        std::cerr << "Warning: " << genesAbsent << " gene(s) lie on " << absent.size()
                  << " reference(s) absent from " << dirs.bamFile << " (" << firstNames(absent)
                  << "); they get no reads\n";
    return true;
}

// Zero reads on every gene, or hardly any compatible fragment with a strandedness
// given, point at mismatched inputs or options rather than at the biology.
void warnAboutUnmatchedReads(const Annotations& annotations)
{
    uint64_t overlapping = 0;
    for (const auto& entry : annotations.genes)
        overlapping += entry.second.fragsLocus;
    const uint64_t fragments = fragsExpt.load();
    const uint64_t compatible = compFragsExpt.load();
    if (overlapping == 0) {
        std::cerr << "\nWarning: no read of " << dirs.bamFile << " overlaps a gene of " << dirs.gtfFile << "\n";
        return;
    }
    constexpr double kLowCompatibleShare = 0.05;
    if (conf.strandedness != 0 && static_cast<double>(compatible) < kLowCompatibleShare * static_cast<double>(fragments))
        std::cerr << "\nWarning: only " << compatible << " of the experiment's " << fragments
                  << " fragments are compatible with a transcript; the library strandedness (-D "
                  << (conf.strandedness == 1 ? "fwd" : "rev") << ") may be wrong\n";
}

void countExperimentFragments(const std::vector<std::string>& references)
{
    if (conf.nrThreads <= 1) {
        for (const std::string& name : references)
            fragsExperiment(name + kWholeReference);
        return;
    }
    TaskPool pool;
    for (const std::string& name : references)
        pool.post([region = name + kWholeReference] { fragsExperiment(region); });
    pool.run(conf.nrThreads);
    releaseMainReader();
}

void runDeferredPass(Annotations& annotations)
{
    std::vector<std::string>& deferred = helperObject.getHighlyAbundantGenes();
    if (deferred.empty())
        return;
    conf.deferredPass = true;
    for (size_t i = 0; i < deferred.size(); ++i) {
        auto gene = annotations.genes.find(deferred[i]);
        if (gene != annotations.genes.end())
            processGene(gene);
    }
}

// A region query starts at the index's entry for the 16 kb window its start lies in, so
// loci closer than that would decode each other's records anyway.
constexpr int64_t kGroupGap = 16 * 1024;
// Dense annotations would chain whole references into one group by that rule alone,
// and a group is one task of the pool.
constexpr std::size_t kMaxGroupGenes = 32;

// The genes by reference, in the BAM's order, and by start; genes whose loci overlap
// form one group, read in one pass, and so do genes within kGroupGap of each other up to
// kMaxGroupGenes. A gene on no reference of the BAM is a group alone.
std::vector<std::vector<GeneMap::iterator>> overlapGroups(GeneMap& genes)
{
    std::unordered_map<std::string, std::size_t> referenceIndex;
    for (std::size_t i = 0; i < chrList.size(); ++i)
        referenceIndex.emplace(chrList[i], i);
    struct Placed {
        std::size_t reference;
        GeneMap::iterator gene;
    };
    std::vector<Placed> placed;
    std::vector<std::vector<GeneMap::iterator>> groups;
    for (auto gene = genes.begin(); gene != genes.end(); ++gene) {
        const std::string reference = headerReference(gene->second.chromosome, chrList);
        if (reference.empty())
            groups.push_back({gene});
        else
            placed.push_back({referenceIndex.at(reference), gene});
    }
    std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        return a.reference != b.reference ? a.reference < b.reference : a.gene->second.start < b.gene->second.start;
    });
    int64_t groupEnd = 0;
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const Gene& g = placed[i].gene->second;
        if (i == 0 || placed[i].reference != placed[i - 1].reference || g.start > groupEnd + kGroupGap
            || (g.start > groupEnd && groups.back().size() >= kMaxGroupGenes)) {
            groups.emplace_back();
            groupEnd = g.end;
        }
        groups.back().push_back(placed[i].gene);
        groupEnd = std::max<int64_t>(groupEnd, g.end);
    }
    return groups;
}

void runGenePass(Annotations& annotations)
{
    std::vector<std::vector<GeneMap::iterator>> groups = overlapGroups(annotations.genes);
    if (conf.nrThreads <= 1) {
        for (std::vector<GeneMap::iterator>& group : groups)
            processLoci(group);
        return;
    }
    TaskPool pool;
    for (std::vector<GeneMap::iterator>& group : groups)
        pool.post([&group] { processLoci(group); });
    pool.run(conf.nrThreads);
    runDeferredPass(annotations);
}

void runChnPass(Annotations& annotations)
{
    const size_t nrGenes = annotations.genes.size();
    if (conf.nrThreads <= 1 || nrGenes < static_cast<size_t>(conf.nrThreads)) {
        for (auto gene = annotations.genes.begin(); gene != annotations.genes.end(); ++gene)
            calculateCHN(gene);
        return;
    }
    TaskPool pool;
    for (auto gene = annotations.genes.begin(); gene != annotations.genes.end(); ++gene)
        pool.post([gene]() mutable { calculateCHN(gene); });
    pool.run(conf.nrThreads);
}

// The annotated genes get their FPKMs from the estimates carried back, as if each had
// been estimated alone with these fragments and abundances.
void carryBackMergedGenes(Annotations& annotations)
{
    annotations.mergeAnnotations();
    for (auto& entry : annotations.genes)
        setTotalHitsFpkm(entry.second);
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
    std::cout << "\n\nExperiment finished on " << localTime() << "\n\nElapsed time: [CPU "
              << Helper::secondsToTime(cpuSeconds) << ", Real " << Helper::secondsToTime(wallSeconds)
              << "]" << std::endl;
}

void printClosingReport(size_t nrGenes, const boost::timer::cpu_timer& timer)
{
    if (conf.quiet)
        return;
    const uint64_t processed = nrGenesProcessed.load();
    std::cout << "\n> " << processed << " genes processed.";
    if (nrGenes != processed)
        std::cout << "\n> " << static_cast<int64_t>(nrGenes) - static_cast<int64_t>(processed)
                  << " genes skipped.";
    printFinish(timer);
}

bool clusterEarlierResults()
{
    progressBar.setProgressMax(1);
    progressBar.updateProgressBar("Preparing the data to cluster", 0);
    helperObject.createClusteringData(conf);
    return helperObject.clusterPDFs(conf.resultsDir + "/norm_pdfs", conf);
}

void writeToStderr(const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, text, left);
        if (written <= 0)
            return;
        text += written;
        left -= static_cast<size_t>(written);
    }
}

// Async-signal-safe: only write, rename, unlink and _exit happen here.
extern "C" void onInterruption(int signal)
{
    removeSortTemporaries();
    writeToStderr(signal == SIGINT    ? "\nInterrupted (SIGINT): the run did not finish.\n"
                  : signal == SIGTERM ? "\nTerminated (SIGTERM): the run did not finish.\n"
                                      : "\nHung up (SIGHUP): the run did not finish.\n");
    if (const char* kept = setAsideUnfinishedSummaries()) {
        writeToStderr("The transcript summary written so far is kept as ");
        writeToStderr(kept);
        writeToStderr("\n");
    }
    ::_exit(1);
}

// An interrupted run must not leave a summary under its final name that looks complete.
// A signal ignored on entry (nohup, a background job of a script) stays ignored. A
// file-size limit (ulimit -f) would otherwise kill the process without a word; ignored,
// it makes writes fail, and the writers report that.
void installSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = onInterruption;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, signal);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    // A closed standard output (kestrove ... | head) only ends the progress shown there:
    // the run goes on to write its results.
    std::signal(SIGPIPE, SIG_IGN);
}

int runSteps(int argc, char** argv)
{
    ProgramParameters parameters;
    boost::timer::cpu_timer timer;
    if (!parameters.validateParameters(argc, argv, dirs, conf))
        return parameters.exitStatus();
    results.startRecord(argc, argv, parameters.optionValues(), dirs);
    if (conf.quiet) {
        ProgressBar::silence();
        // Steps below (indexing, sorting) announce themselves on standard output too.
        std::cout.setstate(std::ios::badbit);
    } else
        std::cout << "\nExperiment started on " << localTime() << "\n\n";

    if (conf.clusterPdfs && !conf.resultsDir.empty()) {
        const bool clustered = clusterEarlierResults();
        printFinish(timer);
        return clustered ? 0 : 1;
    }

    Annotations annotations;
    BamIO reader(dirs.bamFile.c_str(), skippedFlags(), conf.sortMemory, &readerNotices);
    if (!initialize(annotations, reader))
        return 1;
    if (!helperObject.createDirectories(conf, dirs))
        return 1;
    for (const std::string& name : reader.getChromosomeList())
        chrList.push_back(name);
    reader.closeBam();
    saveGroupTying(annotations, conf, dirs);

    const size_t nrGenes = annotations.genes.size();
    const int geneSteps = static_cast<int>(nrGenes);
    progressBar.setProgressMax(geneSteps);
    conf.sampleName = Helper::splitFilename(dirs.bamFile);
    results.setConfigurations(dirs, conf);
    results.setExperimentCounts(fragsExpt.load(), 0);
    results.openFilesForIntermediateResults();

    runGenePass(annotations);
    releaseMainReader();
    warnAboutUnmatchedReads(annotations);
    std::cerr << unmatedReadsWarning();
    if (conf.mergeAnnot)
        carryBackMergedGenes(annotations);
    results.closeFilesForIntermediateResults();
    progressBar.updateProgressBar("Saving results..", quantificationProgress.load());

    if (conf.computeChn)
        runChnPass(annotations);
    results.setExperimentCounts(fragsExpt.load(), compFragsExpt.load());
    // The writer has already named the file it could not open; the run must not report success.
    if (!results.writeFinalResults(annotations))
        return 1;
    progressBar.finish("> Quantification completed");

    if (conf.clusterPdfs) {
        if (!conf.quiet)
            std::cout << "\n\n";
        // Clustering after a quantification works on this run's own results.
        if (conf.resultsDir.empty())
            conf.resultsDir = dirs.outputDir;
        helperObject.createClusteringData(conf);
        if (!helperObject.clusterPDFs(dirs.outputDir + "/norm_pdfs", conf)) {
            std::cerr << "\nError: the start-site profiles could not be clustered\n";
            return 1;
        }
    }
    printClosingReport(nrGenes, timer);
    if (!conf.mergeAnnot)
        hintAtOverlappingGenes(annotations);
    return 0;
}

} // namespace

bool initialize(Annotations& annotations, BamIO& reader)
{
    ProgressBar display;
    display.setProgressMax(kInitSteps);

    std::map<std::string, std::string> genesList;
    if (!conf.processAllGenes && !readGenesList(genesList))
        return false;
    // Every input is checked before the alignments, which may have to be sorted first.
    if (!Helper::checkOutputDirectory(conf, dirs))
        return false;

    const std::optional<HeaderReferences> references = bamReferences(dirs.bamFile);
    if (references) {
        annotations.referenceLength = [references = *references](const std::string& chromosome) -> int64_t {
            const std::string name = headerReference(chromosome, references.names);
            const auto at = std::find(references.names.begin(), references.names.end(), name);
            return at == references.names.end() ? -1 : references.lengths[at - references.names.begin()];
        };
    }
    try {
        display.updateProgressBar("Loading the annotations", 1);
        annotations.parseGTF(dirs.gtfFile.c_str(), genesList,
                             {.allGenes = conf.processAllGenes, .excludeListed = conf.excludeGenes,
                              .mergeOverlapping = conf.mergeAnnot});
    } catch (const KestroveException& e) {
        std::cerr << e.what() << std::endl;
        return false;
    }
    if (!annotations.genes.empty() && references && !referencesMatch(annotations, references->names))
        return false;

    display.updateProgressBar("Loading the alignments", 2);
    try {
        const int sorted = reader.openBam();
        reader.createChromosomeList();
        // The reader points into bamFile, so the name changes only once the reader is done with it.
        if (sorted != 0)
            dirs.bamFile = sortedCopyName(dirs.bamFile);
    } catch (const KestroveException& e) {
        std::cerr << e.what() << std::endl;
        return false;
    }

    try {
        display.updateProgressBar("Initializing parameters", 3);
        countExperimentFragments(reader.getChromosomeList());
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
    std::cerr << alignerFlagsNote(dirs.bamFile, alignerFlagRecords, conf.primaryOnly);

    if (annotations.genes.empty()) {
        std::cout << "\nThere are no genes to process." << std::endl;
        return false;
    }
    return true;
}

void fragsExperiment(std::string region)
{
    if (!threadLocalStorage.get()) {
        threadLocalStorage.reset(
            std::make_unique<BamIO>(dirs.bamFile.c_str(), skippedFlags(), 0, &readerNotices).release());
        threadLocalStorage->openBam();
    }
    const t_flagStats stats = threadLocalStorage->nrProperlyPairedFrags(region.c_str());
    {
        const std::lock_guard<std::mutex> lock(alignerFlagsMutex);
        alignerFlagRecords.secondary += stats.secondary;
        alignerFlagRecords.qcFailed += stats.qcFailed;
        alignerFlagRecords.duplicates += stats.duplicates;
        alignerFlagRecords.supplementary += stats.supplementary;
    }
    // Without properly paired records the reference holds single-end reads.
    const uint64_t fragments =
        stats.properlyPaired > 0 ? stats.properlyPaired / 2 + stats.singletons : stats.mapped;
    fragsExpt.fetch_add(fragments);
}

bool calculateCHN(GeneMap::iterator& gene)
{
    return calculateCHN(gene->second, conf, fragsExpt.load(), compFragsExpt.load());
}

void noteUnmatedReads(const LocusFragments& fragments)
{
    const uint64_t unmated = fragments.unmatedReads();
    if (unmated == 0)
        return;
    unmatedReadsExpt.fetch_add(unmated);
    pairedReadsExpt.fetch_add(fragments.pairedReads());
    if (fragments.unmatedNamesCarryMateSuffix())
        unmatedNamesCarryMateSuffix.store(true);
}

std::string unmatedReadsWarning()
{
    // A locus edge cuts off some mates in any library; only when most paired reads of
    // the loci stay alone do the mates of the file not share their names.
    constexpr uint64_t kMinUnmatedReads = 20;
    const uint64_t unmated = unmatedReadsExpt.load();
    if (unmated < kMinUnmatedReads || 2 * unmated <= pairedReadsExpt.load())
        return {};
    std::ostringstream text;
    text << "Warning: " << unmated << " of the " << pairedReadsExpt.load()
         << " paired reads read for the genes have no mate under the same name; each of them counts as a "
            "fragment of its own.\n";
    if (unmatedNamesCarryMateSuffix.load())
        text << "Their names end in .1/.2 or /1/2 as the first/second-in-pair flags do: both mates of a pair must "
                "have the same name. Drop the suffix from the read names, for example with\n"
                "  samtools view -h IN.bam | awk 'BEGIN {OFS = \"\\t\"} /^@/ {print; next} {sub(/[./][12]$/, \"\", $1); "
                "print}' | samtools view -b -o FIXED.bam -\n"
                "and run kestrove on FIXED.bam.\n";
    return text.str();
}

int runKestrove(int argc, char** argv)
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
    installSignalHandlers();
    try {
        return runSteps(argc, argv);
    } catch (...) {
        removeSortTemporaries();
        reportFailure(std::current_exception());
        if (const char* kept = setAsideUnfinishedSummaries())
            std::cerr << "The run did not finish; the transcript summary written so far is kept as " << kept
                      << std::endl;
        return 1;
    }
}

// ---------------------------------------------------------------------------
// Gene processing: one gene from its locus to its estimates, handed to the writer.

namespace {

// The thread's own reader, opened by its first task and kept for the thread's life.
BamIO& threadReader()
{
    if (!threadLocalStorage.get()) {
        threadLocalStorage.reset(
            std::make_unique<BamIO>(dirs.bamFile.c_str(), skippedFlags(), 0, &readerNotices).release());
        threadLocalStorage->openBam();
        threadLocalStorage->createChromosomeList();
    }
    return *threadLocalStorage;
}

// Region of the locus under the reference name the BAM header uses; empty when the
// header has the chromosome under none of the usual prefixes.
std::string regionInHeader(const Gene& gene, const std::string& locusText)
{
    const std::string reference = headerReference(gene.chromosome, chrList);
    return reference.empty() ? std::string() : reference.substr(0, reference.size() - gene.chromosome.size()) + locusText;
}

// The model's invariants hold for every gene of a well-formed annotation. A malformed
// one (a transcript without positive length, a gene left without a tied group) is
// skipped with status FAIL rather than stopping the run.
bool modelPreconditionsHold(const Gene& gene, const t_initValues& values)
{
    const size_t T = gene.transcripts.size();
    const size_t K = conf.nrBlocks > 0 ? static_cast<size_t>(conf.nrBlocks) : 0;
    if (T == 0 || K == 0 || values.nrGroups == 0)
        return false;
    if (values.alphas.size() != T || values.nus.size() != T || values.lambdas.size() != T ||
        values.trans2group.size() != T || values.mus.size() != K || values.sigmas.size() != K)
        return false;
    uint64_t groups = 0;
    for (uint64_t group : values.trans2group)
        groups = std::max(groups, group + 1);
    if (groups > values.betas.size() || groups > T)
        return false;
    for (uint64_t g = 0; g < groups; ++g) {
        if (values.betas[g].size() != K)
            return false;
    }
    for (size_t t = 0; t < T; ++t) {
        if (gene.transcripts[t].length <= 0 || values.lambdas[t].empty() || !(values.lambdas[t][0] > 0.0) ||
            values.nus[t].empty())
            return false;
    }
    for (size_t k = 0; k < K; ++k) {
        if (values.mus[k].empty() || values.sigmas[k].empty() || !(values.sigmas[k][0] > 0.0))
            return false;
    }
    return true;
}

// What the loci beside the first of a pass may hold together: a few typical loci's
// worth, so that overlapping loci decode their shared records once without the reads
// of a large one being held beside those of another.
constexpr uint64_t kSharedRecordBudget = uint64_t{1} << 15;

// Reads of a locus are kept from the counting pass only up to a bound, so a locus
// beyond max-total-frags (or deferred) never has more than that much of it in memory;
// larger loci are read in a second pass once they are known to be within the limits.
uint64_t recordBudget()
{
    constexpr uint64_t kMaxRecordsKept = uint64_t{1} << 19;
    uint64_t budget = std::min<uint64_t>(kMaxRecordsKept, 2 * static_cast<uint64_t>(std::max(conf.maxTotalFrags, 0)));
    if (conf.nrThreads > 1)
        budget = std::min<uint64_t>(budget, 2 * static_cast<uint64_t>(std::max(conf.fragsThreshold, 0)));
    return budget;
}

double roundedCount(double x)
{
    return conf.roundCounts ? std::round(x) : x;
}

void setTotalHitsFpkm(Gene& gene)
{
    const uint64_t fragsExperiment = fragsExpt.load();
    double geneFpkm = 0.0;
    for (size_t t = 0; t < gene.transcripts.size(); ++t) {
        t_transcript& transcript = gene.transcripts[t];
        const double x = roundedCount(static_cast<double>(gene.fragsLocus) * gene.alphas[t]);
        const int64_t length = x >= conf.normLengthMinCount && conf.normalizeLengths ? transcript.normLength
                                                                                   : transcript.length;
        const double denominator = static_cast<double>(length * static_cast<int64_t>(fragsExperiment));
        transcript.fpkmTHN = denominator > 0.0 ? 1e9 * x / denominator : 0.0;
        geneFpkm += transcript.fpkmTHN;
    }
    gene.fpkmTHN = geneFpkm;
}

bool alphasSumToOne(const std::vector<double>& alphas)
{
    double sum = 0.0;
    for (double alpha : alphas)
        sum += alpha;
    return !alphas.empty() && std::fabs(sum - 1.0) < 1e-10;
}

// Estimation of a gene whose fragments are read and within the limits.
void estimateGene(GeneMap::iterator& gene, CompatibleFragments& fragments, const t_initValues& values,
                  const std::string& region, const std::string& startTime, std::time_t startClock)
{
    Gene& g = gene->second;
    DebugLog debugLog;

    const uint64_t nrGroups = 1 + *std::max_element(values.trans2group.begin(), values.trans2group.end());
    std::vector<GaussMixture> groupMixtures(nrGroups);
    for (uint64_t group = 0; group < nrGroups; ++group)
        groupMixtures[group].setAllParams(values.mus, values.sigmas, values.betas[group]);

    std::stringstream log;
    if (conf.logFiles) {
        log << "Experiment started on " << startTime << "\n";
        debugLog.printConfiguration(conf, log);
        debugLog.printInitialValues(values, log);
        debugLog.printGeneInformation(g, region, values, log);
    }

    std::vector<double> alphas = values.alphas;
    KestroveModel model(values.alphas, values.nus, values.lambdas, values.trans2group, groupMixtures);
    model.train(fragments, gene, alphas, conf, log, dirs.outputDir);

    compFragsExpt.fetch_add(g.compFragsLocus);
    g.alphas = alphas;
    g.groupBetas.clear();
    for (uint64_t group = 0; group < values.nrGroups && group < model._tiedGroupPDFs.size(); ++group)
        g.groupBetas.push_back(model._tiedGroupPDFs[group]._weights);

    if (conf.logFiles) {
        debugLog.printFinalWeights(g.alphas, g.groupBetas, log);
        const std::time_t endClock = std::time(nullptr);
        log << "\n\nExperiment finished on " << localTime() << "\n"
            << "Total elapsed time: " << Helper::secondsToTime(static_cast<unsigned long>(endClock - startClock))
            << "\n";
        debugLog.writeLogFile(dirs.outputDir, g, log.str());
    }

    setTotalHitsFpkm(g);
    if (alphasSumToOne(g.alphas))
        g.status = "OK";
    nrGenesProcessed.fetch_add(1);
}

// Keeps the first buffer's room for the next group of loci unless its locus was far
// larger than most. The others serve only groups of several loci, which are fewer.
class LocusBufferRelease {
public:
    LocusBufferRelease(LocusFragments& fragments, std::size_t index) : fragments(fragments), index(index) {}
    LocusBufferRelease(const LocusBufferRelease&) = delete;
    LocusBufferRelease& operator=(const LocusBufferRelease&) = delete;

    ~LocusBufferRelease()
    {
        constexpr std::size_t kKeptBytes = std::size_t{8} << 20;
        if (index > 0 || fragments.capacityBytes() > kKeptBytes)
            fragments.release();
        else
            fragments.clear();
    }

private:
    LocusFragments& fragments;
    std::size_t index;
};

// The debug dump shows fragments by name with a row per transcript, as the map form
// holds them; it reads the locus again so that the run's own path stays flat.
void writeValidities(GeneMap::iterator& gene, BamIO& reader, const std::string& region)
{
    Gene& g = gene->second;
    const std::vector<double> counts = g.compFragsTrans;
    FragmentMap fragments;
    reader.readBam(region, fragments);
    Kestrove compatibility;
    compatibility.checkFragmentsValidity(gene, fragments, conf);
    compatibility.convertCoords(gene, fragments);
    DebugLog debugLog;
    debugLog.validitiesToFile(fragments, gene, dirs.debugDir + "/" + Helper::fileSafeName(g.geneName) + "_validities.dat");
    g.compFragsTrans = counts;
    std::vector<std::vector<bool>>().swap(g.validities);
}

} // namespace

namespace {

// A gene of a group read together, from the start of its reading to its estimates.
struct LocusTask {
    GeneMap::iterator gene;
    std::string region;
    std::size_t buffer = 0;
    std::unique_ptr<LocusCompatibility> compatibility;
};

// Everything after the count (and, within the budget, the reading) of the locus.
void completeGene(LocusTask& task, BamIO& reader, uint64_t count, bool fragmentsRead)
{
    GeneMap::iterator& gene = task.gene;
    Gene& g = gene->second;
    // A locus read with others has its own time from here on.
    const std::string startTime = localTime();
    const std::time_t startClock = std::time(nullptr);
    std::string message = "Processing gene " + (g.geneName.size() > 34 ? g.geneId : g.geneName);
    if (conf.deferredPass)
        message += " on " + std::to_string(conf.nrThreads) + " threads";
    else if (conf.nrThreads > 1)
        message = "Processing with " + std::to_string(conf.nrThreads) + " threads..";
    // A deferred gene was counted when it was put off.
    progressBar.updateProgressBar(message, conf.deferredPass ? quantificationProgress.load()
                                                             : quantificationProgress.fetch_add(1));
    if (g.geneName.empty())
        g.geneName = g.geneId;

    LocusFragments& fragments = reader.fragmentBuffer(task.buffer);
    const LocusBufferRelease releaseAtEnd{fragments, task.buffer};
    LocusCompatibility& compatibility = *task.compatibility;
    if (!conf.deferredPass) {
        g.locus = task.region;
        g.fragsLocus = count;
        if (conf.nrThreads > 1 && g.fragsLocus >= static_cast<uint64_t>(std::max<int32_t>(conf.fragsThreshold, 0))) {
            helperObject.addToGenesList(g.mapKey());
            results.writeIntermediateResults(gene);
            return;
        }
    }

    if (g.fragsLocus > static_cast<uint64_t>(std::max<int32_t>(conf.maxTotalFrags, 0))) {
        g.failReason = FailReason::tooMany;
        results.writeIntermediateResults(gene);
        return;
    }

    if (!fragmentsRead) {
        compatibility.clear();
        reader.readBam(task.region, fragments, compatibility);
    }
    noteUnmatedReads(fragments);
    CompatibleFragments compatible;
    compatibility.finish(fragments, compatible);
    g.compFragsLocus = compatible.size();

    const bool tooMany = g.compFragsLocus > static_cast<uint64_t>(std::max<int32_t>(conf.maxCompFrags, 0));
    if (g.compFragsLocus < static_cast<uint64_t>(std::max<int16_t>(conf.minCompFrags, 0)) || tooMany) {
        if (g.compFragsLocus == 0)
            nrGenesProcessed.fetch_add(1);
        g.failReason = g.compFragsLocus == 0 ? FailReason::noFragments
                       : tooMany             ? FailReason::tooMany
                                             : FailReason::tooFew;
        results.writeIntermediateResults(gene);
        return;
    }

    if (conf.debugMode)
        writeValidities(gene, reader, task.region);

    const t_initValues values =
        initialValues(g, {.automatic = conf.autoGroupTying, .global = conf.globalTying}, conf.nrBlocks);
    if (modelPreconditionsHold(g, values))
        estimateGene(gene, compatible, values, task.region, startTime, startClock);
    // A gene the model could not take counts with those whose training did not settle.
    if (g.status != "OK")
        g.failReason = FailReason::notConverged;

    results.writeIntermediateResults(gene);
}

uint64_t fragmentCount(const t_flagStats& stats)
{
    return stats.properlyPaired != 0 ? stats.properlyPaired / 2 + stats.singletons : stats.mapped;
}

} // namespace

void processLoci(std::vector<GeneMap::iterator>& genes)
{
    BamIO& reader = threadReader();
    std::vector<LocusTask> tasks(genes.size());
    std::vector<LocusRead> reads;
    std::vector<std::size_t> readTask;
    // Loci completed after the pass, with their reading (null: not part of the pass).
    std::vector<std::pair<std::size_t, const LocusRead*>> after;
    // Loci read in passes of their own.
    std::vector<GeneMap::iterator> alone;
    int tid = -1;
    for (std::size_t i = 0; i < genes.size(); ++i) {
        LocusTask& task = tasks[i];
        Gene& g = genes[i]->second;
        task.gene = genes[i];
        task.buffer = i;
        task.compatibility = std::make_unique<LocusCompatibility>(g, conf.strandedness);
        const std::string locusText = g.chromosome + ":" + std::to_string(g.start) + "-" + std::to_string(g.end);
        task.region = locusText;
        LocusRead read;
        int locusTid = -1;
        if (!conf.deferredPass) {
            const std::string inHeader = regionInHeader(g, locusText);
            if (!inHeader.empty())
                task.region = inHeader;
            if (!inHeader.empty() && reader.locate(inHeader, locusTid, read.begin, read.end)) {
                if (tid != -1 && locusTid != tid) {
                    alone.push_back(genes[i]);
                    continue;
                }
                tid = locusTid;
                read.fragments = &reader.fragmentBuffer(i);
                read.consumer = task.compatibility.get();
                read.recordBudget = recordBudget();
                reads.push_back(read);
                readTask.push_back(i);
                continue;
            }
        }
        after.emplace_back(i, nullptr);
    }

    if (!reads.empty()) {
        reader.countAndReadLoci(tid, reads, kSharedRecordBudget, [&](std::size_t r) {
            const LocusRead& read = reads[r];
            LocusTask& task = tasks[readTask[r]];
            if (read.left)
                alone.push_back(task.gene);
            // Reading the locus again or dumping it would move the reader off the pass.
            else if (read.complete && !conf.debugMode)
                completeGene(task, reader, fragmentCount(read.stats), true);
            else
                after.emplace_back(readTask[r], &read);
        });
    }
    for (const auto& [task, read] : after)
        completeGene(tasks[task], reader, read ? fragmentCount(read->stats) : 0, read && read->complete);
    for (GeneMap::iterator& gene : alone)
        processGene(gene);
}

void processGene(GeneMap::iterator& gene)
{
    std::vector<GeneMap::iterator> genes{gene};
    processLoci(genes);
}
