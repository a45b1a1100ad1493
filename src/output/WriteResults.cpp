#include "output/WriteResults.h"
#include "util/DirectoryLock.h"
#include "util/WorkingFiles.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <iterator>

#include "output/Fpkm.h"
#include "util/Files.h"
#include "util/Errors.h"

namespace {

const char* const kRuntimeTranscriptHeader =
    "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\t"
    "frags_locus\tfrags_expt\tFPKM_THN\n";
const char* const kFinalTranscriptHeader =
    "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\t"
    "frags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN";
const char* const kGeneHeader =
    "gene_ID\tgene_name\tlocus\tfrags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\t"
    "comp_frags_expt\tFPKM_CHN\tstatus\n";

double coverage(const Gene& gene, size_t t)
{
    if (gene.compFragsLocus == 0)
        return 0.0;
    return valueAt(gene.compFragsTrans, t) / static_cast<double>(gene.compFragsLocus);
}

void reportFailure(const char* operation, const char* what, const std::string& path, int error)
{
    std::cerr << "[" << operation << "] fail to " << what << " file > " << path << describeErrno(error) << "\n\n";
}

// The files an interruption must not leave under a summary's final name, kept
// where a signal handler can reach them: fixed buffers and flags, nothing that
// allocates or locks. Paths too long for the buffers are not tracked.
constexpr size_t kPathCapacity = 4096;
char intermediateName[kPathCapacity];
char partialName[kPathCapacity];
char transcriptsTempName[kPathCapacity];
char genesTempName[kPathCapacity];
char mixturesTempName[kPathCapacity];
char recordTempName[kPathCapacity];
volatile std::sig_atomic_t intermediateInPlace = 0;
volatile std::sig_atomic_t temporariesInPlace = 0;

bool track(char (&target)[kPathCapacity], const std::string& path)
{
    if (path.size() >= kPathCapacity)
        return false;
    std::memcpy(target, path.c_str(), path.size() + 1);
    return true;
}

// The final renames either all happen or, if the run is interrupted, none has
// begun: an interruption between them would leave a new transcript summary
// beside the gene summary of an earlier run.
class InterruptionsHeld {
public:
    InterruptionsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGINT);
        sigaddset(&held, SIGTERM);
        sigaddset(&held, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &held, &saved);
    }
    ~InterruptionsHeld() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
    InterruptionsHeld(const InterruptionsHeld&) = delete;
    InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;

private:
    sigset_t saved;
};

// Names of the mixture columns: those the clustering reader takes from field 14
// of a summary on, or from field 3 of the mixtures file.
std::string mixtureHeader(int16_t nrBlocks)
{
    std::string text = "\tnr_components";
    for (int k = 1; k <= nrBlocks; ++k)
        text += "\tmean_" + std::to_string(k);
    for (int k = 1; k <= nrBlocks; ++k)
        text += "\tweight_" + std::to_string(k);
    return text;
}

void writeMixtureZeros(std::ostream& out, int16_t nrBlocks)
{
    out << '\t' << nrBlocks;
    for (int i = 0; i < 2 * nrBlocks; ++i)
        out << "\t0";
}

// Means are already in bases along the transcript; the weights are those of the
// transcript's tied group. Anything missing reads 0.
void writeMixture(std::ostream& out, const Gene& gene, size_t t, const std::vector<uint64_t>& trans2group,
                  int16_t nrBlocks)
{
    const std::vector<double>& means = gene.transcripts[t].componentMeans;
    out << '\t' << nrBlocks;
    for (int k = 0; k < nrBlocks; ++k)
        out << '\t' << valueAt(means, static_cast<size_t>(k));
    const std::vector<double>* betas = nullptr;
    if (t < trans2group.size() && trans2group[t] < gene.groupBetas.size())
        betas = &gene.groupBetas[trans2group[t]];
    for (int k = 0; k < nrBlocks; ++k)
        out << '\t' << (betas ? valueAt(*betas, static_cast<size_t>(k)) : 0.0);
}

// A gene written FAIL without a reason (one never reached in the gene pass, or
// one carried back from a merged gene that did not fail) is classed by its counts.
FailReason failReason(const Gene& gene, const t_configuration& conf)
{
    if (gene.failReason != FailReason::none)
        return gene.failReason;
    const auto count = static_cast<int64_t>(gene.compFragsLocus);
    if (count == 0)
        return FailReason::noFragments;
    if (count < conf.minCompFrags)
        return FailReason::tooFew;
    return count > conf.maxCompFrags ? FailReason::tooMany : FailReason::notConverged;
}

void countFailure(provenance::Statistics& statistics, FailReason reason)
{
    ++statistics.genesFail;
    switch (reason) {
    case FailReason::none:  // not returned by failReason
    case FailReason::notConverged:
        ++statistics.genesFailNotConverged;
        break;
    case FailReason::noFragments:
        ++statistics.genesFailNoFragments;
        break;
    case FailReason::tooFew:
        ++statistics.genesFailTooFew;
        break;
    case FailReason::tooMany:
        ++statistics.genesFailTooMany;
        break;
    }
}

} // namespace

void WriteResults::setConfigurations(const t_directories& directories, const t_configuration& configuration,
                                     const std::string& sample)
{
    dirs = directories;
    conf = configuration;
    sampleName = sample;
}

void WriteResults::startRecord(int argc, char** argv,
                               const std::vector<std::pair<std::string, std::string>>& options,
                               const t_directories& inputs)
{
    record = {};
    record.program = "kestrove";
    record.version = KESTROVE_VERSION;
    record.commandLine.assign(argv, argv + argc);
    record.options = options;
    record.inputs.push_back(provenance::describeInput("GTF", inputs.gtfFile));
    record.inputs.push_back(provenance::describeInput("BAM", inputs.bamFile));
    if (!inputs.genesListFile.empty())
        record.inputs.push_back(provenance::describeInput("genes-list", inputs.genesListFile));
    record.start = provenance::utcTime(std::time(nullptr));
}

// The record describes the summaries as written, read back from their temporary
// files, so that it and they can be renamed into place together.
bool WriteResults::writeRecord(const std::string& temporary, const std::string& transcriptsTemp,
                               const std::string& genesTemp, const std::string& mixturesTemp)
{
    record.sample = sampleName;
    record.end = provenance::utcTime(std::time(nullptr));
    record.outputs.clear();
    for (const auto& [prefix, path] : {std::pair{"transcripts_summary_", &transcriptsTemp},
                                       std::pair{"genes_summary_", &genesTemp},
                                       std::pair{"mixtures_", &mixturesTemp}}) {
        std::ifstream in(*path, std::ios::binary);
        const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad()) {
            reportFailure("writeFinalResults", "read", *path, errno);
            return false;
        }
        record.outputs.push_back({prefix + sampleName + ".dat", content.size(), provenance::md5Hex(content)});
    }
    std::ofstream out(temporary, std::ios::out | std::ios::trunc);
    out << provenance::toJson(record);
    int error = 0;
    if (!completeFile(out, temporary, error)) {
        reportFailure("writeFinalResults", "write", temporary, error);
        return false;
    }
    return true;
}

void WriteResults::setExperimentCounts(uint64_t fragsExperiment, uint64_t compFragsExperiment)
{
    fragsExpt = fragsExperiment;
    compFragsExpt = compFragsExperiment;
}

std::string WriteResults::summaryPath(const std::string& prefix) const
{
    return dirs.outputDir + "/" + prefix + sampleName + ".dat";
}

bool WriteResults::withinLimits(const Gene& gene) const
{
    return countWithinLimits(gene.compFragsLocus, conf);
}

void WriteResults::openFilesForIntermediateResults()
{
    const std::string finalPath = summaryPath("transcripts_summary_");
    {
        // Working files are locked while their run lives, except the earlier summary's
        // second name, which exists only while its run holds the directory.
        DirectoryLock lock(dirs.outputDir);
        for (const std::string& path : {finalPath, summaryPath("genes_summary_"), summaryPath("mixtures_"),
                                        dirs.outputDir + "/" + provenance::fileName(sampleName)})
            files::removeUnlockedFiles(dirs.outputDir, workingPrefix(path));
    }
    intermediatePath = workingPath(finalPath, ".running");
    intermediateFailureReported = false;
    intermediateLock = WorkingFileLock(intermediatePath);
    transcriptsStream.clear();
    if (intermediateLock.held())
        transcriptsStream.open(intermediatePath, std::ios::out | std::ios::trunc);
    if (!transcriptsStream.is_open()) {
        std::cerr << "[openFilesForIntermediateResults] fail to open file > " << intermediatePath << "\n\n";
        throw RunAborted{};
    }
    if (track(intermediateName, intermediatePath) && track(partialName, finalPath + ".partial"))
        intermediateInPlace = 1;
    transcriptsStream << kRuntimeTranscriptHeader;
    transcriptsStream.flush();
    if (!transcriptsStream.good())
        reportIntermediateFailure();
}

void WriteResults::writeIntermediateResults(GeneMap::iterator& geneIt)
{
    const Gene& gene = geneIt->second;
    std::stringstream rows;
    rows << std::fixed;
    if (withinLimits(gene)) {
        for (size_t t = 0; t < gene.transcripts.size(); ++t) {
            const t_transcript& tr = gene.transcripts[t];
            rows << tr.transcriptId << '\t' << gene.geneId << '\t' << gene.geneName << '\t' << gene.locus << '\t'
                 << tr.length << '\t' << std::setprecision(2) << coverage(gene, t) << '\t' << std::setprecision(5)
                 << valueAt(gene.alphas, t) << '\t' << gene.fragsLocus << '\t' << fragsExpt << '\t' << tr.fpkmTHN
                 << '\n';
        }
    } else if (gene.compFragsLocus == 0) {
        for (const t_transcript& tr : gene.transcripts) {
            rows << tr.transcriptId << '\t' << gene.geneId << '\t' << gene.geneName << '\t' << gene.locus << '\t'
                 << tr.length << "\t0\t0\t" << gene.fragsLocus << '\t' << fragsExpt << "\t0\n";
        }
    }
    logTrans(rows);
}

void WriteResults::logTrans(std::stringstream& text)
{
    std::unique_lock<std::mutex> lock(appendMutex);
    appendCondition.wait(lock, [this] { return !busy; });
    busy = true;
    // Inserting an empty buffer would set failbit, so the text goes in as a string.
    const std::string content = text.str();
    if (transcriptsStream.is_open() && !content.empty()) {
        transcriptsStream.write(content.data(), static_cast<std::streamsize>(content.size()));
        // Flushed per gene so that the file holds every finished gene during a long run.
        transcriptsStream.flush();
        if (!transcriptsStream.good())
            reportIntermediateFailure();
    }
    busy = false;
    lock.unlock();
    appendCondition.notify_one();
}

void WriteResults::reportIntermediateFailure()
{
    if (intermediateFailureReported)
        return;
    intermediateFailureReported = true;
    reportFailure("logTrans", "write", intermediatePath, errno);
}

void WriteResults::closeFilesForIntermediateResults()
{
    if (!transcriptsStream.is_open())
        return;
    transcriptsStream.close();
    if (transcriptsStream.fail())
        reportIntermediateFailure();
    transcriptsStream.clear();
}

void WriteResults::writeFinalTranscriptRows(const Gene& gene)
{
    const int16_t nrBlocks = conf.nrBlocks > 0 ? conf.nrBlocks : 0;
    std::ostream& out = transcriptsStream;
    if (!withinLimits(gene)) {
        for (const t_transcript& tr : gene.transcripts) {
            out << tr.transcriptId << '\t' << gene.geneId << '\t' << gene.geneName << '\t' << gene.locus << '\t'
                << tr.length << "\t0\t0\t0\t" << fragsExpt << "\t0\t0\t" << compFragsExpt << "\t0";
            // Every row has the header's fields, so that table readers do not misread the file.
            if (conf.clusterPdfs)
                writeMixtureZeros(out, nrBlocks);
            out << '\n';
            mixturesStream << tr.transcriptId << '\t' << gene.geneId;
            writeMixtureZeros(mixturesStream, nrBlocks);
            mixturesStream << '\n';
        }
        return;
    }
    uint64_t nrGroups = 0;
    const std::vector<uint64_t> trans2group =
        transcriptGroups(gene, {.automatic = conf.autoGroupTying, .global = conf.globalTying}, nrGroups);
    for (size_t t = 0; t < gene.transcripts.size(); ++t) {
        const t_transcript& tr = gene.transcripts[t];
        out << tr.transcriptId << '\t' << gene.geneId << '\t' << gene.geneName << '\t' << gene.locus << '\t'
            << tr.length << '\t' << std::setprecision(2) << coverage(gene, t) << '\t' << std::setprecision(5)
            << valueAt(gene.alphas, t) << '\t' << gene.fragsLocus << '\t' << fragsExpt << '\t' << tr.fpkmTHN
            << '\t' << gene.compFragsLocus << '\t' << compFragsExpt << '\t' << tr.fpkmCHN;
        if (conf.clusterPdfs)
            writeMixture(out, gene, t, trans2group, nrBlocks);
        out << '\n';
        mixturesStream << tr.transcriptId << '\t' << gene.geneId;
        writeMixture(mixturesStream, gene, t, trans2group, nrBlocks);
        mixturesStream << '\n';
    }
}

void WriteResults::writeFinalGeneRow(const Gene& gene)
{
    std::ostream& out = genesStream;
    out << gene.geneId << '\t' << gene.geneName << '\t' << gene.locus << '\t';
    if (!withinLimits(gene)) {
        out << "0\t" << fragsExpt << "\t0\t0\t" << compFragsExpt << "\t0\tFAIL\n";
        countFailure(record.statistics, failReason(gene, conf));
        return;
    }
    if (gene.status == "OK")
        ++record.statistics.genesOk;
    else
        countFailure(record.statistics, failReason(gene, conf));
    out << gene.fragsLocus << '\t' << fragsExpt << '\t' << std::setprecision(6) << gene.fpkmTHN << '\t'
        << gene.compFragsLocus << '\t' << compFragsExpt << '\t' << gene.fpkmCHN << '\t' << gene.status << '\n';
}

WriteResults::FinalFiles WriteResults::finalFiles() const
{
    FinalFiles files;
    files.transcripts = summaryPath("transcripts_summary_");
    files.genes = summaryPath("genes_summary_");
    files.mixtures = summaryPath("mixtures_");
    files.record = dirs.outputDir + "/" + provenance::fileName(sampleName);
    files.transcriptsTemp = workingPath(files.transcripts, ".tmp");
    files.genesTemp = workingPath(files.genes, ".tmp");
    files.mixturesTemp = workingPath(files.mixtures, ".tmp");
    files.recordTemp = temporaryPath(files.record);
    return files;
}

void WriteResults::discardTemporaries(const FinalFiles& targets)
{
    if (transcriptsStream.is_open())
        transcriptsStream.close();
    if (genesStream.is_open())
        genesStream.close();
    if (mixturesStream.is_open())
        mixturesStream.close();
    transcriptsStream.clear();
    genesStream.clear();
    mixturesStream.clear();
    std::remove(targets.transcriptsTemp.c_str());
    std::remove(targets.genesTemp.c_str());
    std::remove(targets.mixturesTemp.c_str());
    std::remove(targets.recordTemp.c_str());
    temporariesInPlace = 0;
    // What this run appended during the gene pass is incomplete without the final write.
    if (const char* kept = setAsideUnfinishedSummaries())
        std::cerr << "The transcript summary written during the run is kept as " << kept << "\n";
}

bool WriteResults::openFinalFiles(const FinalFiles& targets)
{
    errno = 0;
    const std::pair<std::ofstream*, const std::string*> streams[] = {
        {&transcriptsStream, &targets.transcriptsTemp},
        {&genesStream, &targets.genesTemp},
        {&mixturesStream, &targets.mixturesTemp}};
    const std::string* named[] = {&targets.transcripts, &targets.genes, &targets.mixtures};
    for (std::size_t i = 0; i < 3; ++i) {
        streams[i].first->clear();
        streams[i].first->open(*streams[i].second, std::ios::out | std::ios::trunc);
        if (!streams[i].first->is_open()) {
            reportFailure("writeFinalResults", "open", *named[i], 0);
            discardTemporaries(targets);
            return false;
        }
    }
    transcriptsStream << std::fixed << kFinalTranscriptHeader;
    if (conf.clusterPdfs)
        transcriptsStream << mixtureHeader(conf.nrBlocks > 0 ? conf.nrBlocks : 0);
    transcriptsStream << '\n';
    genesStream << std::fixed << kGeneHeader;
    // The precision of the summary's columns before the mixture.
    mixturesStream << std::fixed << std::setprecision(5) << "tracking_ID\tgene_ID"
                   << mixtureHeader(conf.nrBlocks > 0 ? conf.nrBlocks : 0) << '\n';
    return true;
}

bool WriteResults::completeFinalFiles(const FinalFiles& targets)
{
    int error = 0;
    if (!completeFile(transcriptsStream, targets.transcriptsTemp, error)) {
        reportFailure("writeFinalResults", "write", targets.transcripts, error);
        discardTemporaries(targets);
        return false;
    }
    if (!completeFile(genesStream, targets.genesTemp, error)) {
        reportFailure("writeFinalResults", "write", targets.genes, error);
        discardTemporaries(targets);
        return false;
    }
    if (!completeFile(mixturesStream, targets.mixturesTemp, error)) {
        reportFailure("writeFinalResults", "write", targets.mixtures, error);
        discardTemporaries(targets);
        return false;
    }
    if (!writeRecord(targets.recordTemp, targets.transcriptsTemp, targets.genesTemp, targets.mixturesTemp)) {
        discardTemporaries(targets);
        return false;
    }
    return true;
}

bool WriteResults::placeFinalFiles(const FinalFiles& targets)
{
    InterruptionsHeld held;
    DirectoryLock lock(dirs.outputDir);
    // The earlier transcript summary is kept under a second name until the gene
    // summary is in place too, so a failed second rename can restore the pair.
    const std::string previous = workingPath(targets.transcripts, ".previous");
    const bool hadPrevious = ::link(targets.transcripts.c_str(), previous.c_str()) == 0;
    const bool restorable = hadPrevious || errno == ENOENT;
    if (std::rename(targets.transcriptsTemp.c_str(), targets.transcripts.c_str()) != 0) {
        reportFailure("writeFinalResults", "write", targets.transcripts, errno);
        if (hadPrevious)
            ::unlink(previous.c_str());
        discardTemporaries(targets);
        return false;
    }
    if (std::rename(targets.genesTemp.c_str(), targets.genes.c_str()) != 0) {
        reportFailure("writeFinalResults", "write", targets.genes, errno);
        if (hadPrevious)
            std::rename(previous.c_str(), targets.transcripts.c_str());
        else if (restorable)
            ::unlink(targets.transcripts.c_str());
        discardTemporaries(targets);
        return false;
    }
    if (hadPrevious)
        ::unlink(previous.c_str());
    // Until these renames an earlier run's mixtures and record, if any, stand
    // beside the new pair and no longer match it, so a reader refuses the
    // folder; if one fails, the earlier files go, as they describe other
    // summaries, and no record is written for a folder without its mixtures.
    bool recorded = true;
    const bool mixturesPlaced = std::rename(targets.mixturesTemp.c_str(), targets.mixtures.c_str()) == 0;
    if (!mixturesPlaced) {
        reportFailure("writeFinalResults", "write", targets.mixtures, errno);
        ::unlink(targets.mixturesTemp.c_str());
        ::unlink(targets.mixtures.c_str());
    }
    if (!mixturesPlaced || std::rename(targets.recordTemp.c_str(), targets.record.c_str()) != 0) {
        if (mixturesPlaced)
            reportFailure("writeFinalResults", "write", targets.record, errno);
        ::unlink(targets.recordTemp.c_str());
        ::unlink(targets.record.c_str());
        recorded = false;
    }
    temporariesInPlace = 0;
    // The complete pair supersedes the rows appended during this run and the
    // rows an earlier failed run set aside, which would otherwise make the
    // directory look unfinished to kestrove-merge.
    intermediateInPlace = 0;
    ::unlink(intermediatePath.c_str());
    intermediateLock.release();
    ::unlink((targets.transcripts + ".partial").c_str());
    return recorded;
}

bool WriteResults::writeFinalResults(Annotations& annotations)
{
    closeFilesForIntermediateResults();

    // Both summaries are written under temporary names and renamed into place
    // only once complete, so a failed write never leaves a truncated summary.
    const FinalFiles targets = finalFiles();
    if (track(transcriptsTempName, targets.transcriptsTemp) && track(genesTempName, targets.genesTemp) &&
        track(mixturesTempName, targets.mixturesTemp) && track(recordTempName, targets.recordTemp))
        temporariesInPlace = 1;
    WorkingFileLock transcriptsTempLock(targets.transcriptsTemp);
    WorkingFileLock genesTempLock(targets.genesTemp);
    WorkingFileLock mixturesTempLock(targets.mixturesTemp);
    WorkingFileLock recordTempLock(targets.recordTemp);
    if (!transcriptsTempLock.held() || !genesTempLock.held() || !mixturesTempLock.held() || !recordTempLock.held()) {
        reportFailure("writeFinalResults", "open", targets.transcripts, errno);
        discardTemporaries(targets);
        return false;
    }
    if (!openFinalFiles(targets))
        return false;
    record.statistics = {};
    record.statistics.fragments = fragsExpt;
    record.statistics.compatibleFragments = compFragsExpt;
    for (const auto& entry : annotations.genes) {
        writeFinalTranscriptRows(entry.second);
        writeFinalGeneRow(entry.second);
    }
    if (!completeFinalFiles(targets))
        return false;
    const bool recorded = placeFinalFiles(targets);
    transcriptsStream.clear();
    genesStream.clear();
    mixturesStream.clear();
    return recorded;
}

const char* setAsideUnfinishedSummaries() noexcept
{
    if (temporariesInPlace) {
        temporariesInPlace = 0;
        ::unlink(transcriptsTempName);
        ::unlink(genesTempName);
        ::unlink(mixturesTempName);
        ::unlink(recordTempName);
    }
    if (!intermediateInPlace)
        return nullptr;
    intermediateInPlace = 0;
    return ::rename(intermediateName, partialName) == 0 ? partialName : nullptr;
}
