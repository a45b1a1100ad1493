#include "run/GenePass.h"

#include <algorithm>
#include <ctime>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "alignments/Compatibility.h"
#include "model/TranscriptMixture.h"
#include "output/DebugLog.h"
#include "output/Fpkm.h"
#include "run/References.h"
#include "util/Files.h"
#include "util/Units.h"

namespace {

// A region query starts at the index's entry for the 16 kb window its start lies in, so
// loci closer than that would decode each other's records anyway.
constexpr int64_t kGroupGap = 16 * 1024;
// Dense annotations would chain whole references into one group by that rule alone,
// and a group is one task of the pool.
constexpr std::size_t kMaxGroupGenes = 32;

// The genes by reference, in the BAM's order, and by start; genes whose loci overlap
// form one group, read in one pass, and so do genes within kGroupGap of each other up to
// kMaxGroupGenes. A gene on no reference of the BAM is a group alone.
std::vector<std::vector<GeneMap::iterator>> overlapGroups(GeneMap& genes, const std::vector<std::string>& references)
{
    std::unordered_map<std::string, std::size_t> referenceIndex;
    for (std::size_t i = 0; i < references.size(); ++i)
        referenceIndex.emplace(references[i], i);
    struct Placed {
        std::size_t reference;
        GeneMap::iterator gene;
    };
    std::vector<Placed> placed;
    std::vector<std::vector<GeneMap::iterator>> groups;
    for (auto gene = genes.begin(); gene != genes.end(); ++gene) {
        const std::string reference = headerReference(gene->second.chromosome, references);
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

// The deferred genes were counted and written when they were put off; each now gets
// every thread.
void runDeferredPass(RunContext& run, Annotations& annotations)
{
    const std::vector<std::string>& deferred = run.deferredGenes.all();
    if (deferred.empty())
        return;
    GenePass pass(run, true);
    for (const std::string& key : deferred) {
        auto gene = annotations.genes.find(key);
        if (gene != annotations.genes.end())
            pass.processGene(gene);
    }
}

// Region of the locus under the reference name the BAM header uses; empty when the
// header has the chromosome under none of the usual prefixes.
std::string regionInHeader(const Gene& gene, const std::string& locusText, const std::vector<std::string>& references)
{
    const std::string reference = headerReference(gene.chromosome, references);
    return reference.empty() ? std::string() : reference.substr(0, reference.size() - gene.chromosome.size()) + locusText;
}

// The model's invariants hold for every gene of a well-formed annotation. A malformed
// one (a transcript without positive length, a gene left without a tied group) is
// skipped with status FAIL rather than stopping the run.
bool modelPreconditionsHold(const Gene& gene, const t_initValues& values, const t_configuration& conf)
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


} // namespace

void runGenePass(RunContext& run, Annotations& annotations)
{
    std::vector<std::vector<GeneMap::iterator>> groups = overlapGroups(annotations.genes, run.references);
    GenePass pass(run, false);
    run.pool.forEach(groups.size(), [&](std::size_t i, unsigned slot) { pass.processLoci(groups[i], slot); });
    run.releaseWorkerReaders();
    runDeferredPass(run, annotations);
}

// Reads of a locus are kept from the counting pass only up to a bound, so a locus
// beyond max-total-frags (or deferred) never has more than that much of it in memory;
// larger loci are read in a second pass once they are known to be within the limits.
uint64_t GenePass::recordBudget() const
{
    constexpr uint64_t kMaxRecordsKept = uint64_t{1} << 19;
    uint64_t budget = std::min<uint64_t>(kMaxRecordsKept, 2 * static_cast<uint64_t>(std::max(conf.maxTotalFrags, 0)));
    if (conf.nrThreads > 1)
        budget = std::min<uint64_t>(budget, 2 * static_cast<uint64_t>(std::max(conf.fragsThreshold, 0)));
    return budget;
}

// A gene of a group read together, from the start of its reading to its estimates.
struct GenePass::LocusTask {
    GeneMap::iterator gene;
    std::string region;
    std::size_t buffer = 0;
    std::unique_ptr<LocusCompatibility> compatibility;
};

// Everything after the count (and, within the budget, the reading) of the locus.
void GenePass::completeGene(LocusTask& task, BamIO& reader, uint64_t count, bool fragmentsRead)
{
    GeneMap::iterator& gene = task.gene;
    Gene& g = gene->second;
    // A locus read with others has its own time from here on.
    const std::string startTime = units::localTime();
    const std::time_t startClock = std::time(nullptr);
    std::string message = "Processing gene " + (g.geneName.size() > 34 ? g.geneId : g.geneName);
    if (deferred)
        message += " on " + std::to_string(conf.nrThreads) + " threads";
    else if (conf.nrThreads > 1)
        message = "Processing with " + std::to_string(conf.nrThreads) + " threads..";
    // A deferred gene was counted when it was put off.
    run.progress.updateProgressBar(message, deferred ? run.counters.quantificationProgress.load()
                                                             : run.counters.quantificationProgress.fetch_add(1));
    if (g.geneName.empty())
        g.geneName = g.geneId;

    LocusFragments& fragments = reader.fragmentBuffer(task.buffer);
    const LocusBufferRelease releaseAtEnd{fragments, task.buffer};
    LocusCompatibility& compatibility = *task.compatibility;
    if (!deferred) {
        g.locus = task.region;
        g.fragsLocus = count;
        if (conf.nrThreads > 1 && g.fragsLocus >= static_cast<uint64_t>(std::max<int32_t>(conf.fragsThreshold, 0))) {
            run.deferredGenes.add(g.mapKey());
            run.results.writeIntermediateResults(gene);
            return;
        }
    }

    if (g.fragsLocus > static_cast<uint64_t>(std::max<int32_t>(conf.maxTotalFrags, 0))) {
        g.failReason = FailReason::tooMany;
        run.results.writeIntermediateResults(gene);
        return;
    }

    if (!fragmentsRead) {
        compatibility.clear();
        // A gene put off has the threads to itself: they test its fragments as they come.
        compatibility.takeReads(deferred ? &run.pool : nullptr, [&](LocusFragments::Consumer& consumer) {
            reader.readBam(task.region, fragments, consumer, g.fragsLocus);
        });
    }
    noteUnmatedReads(run.counters, fragments);
    CompatibleFragments compatible;
    compatibility.finish(fragments, compatible, deferred ? &run.pool : nullptr);
    g.compFragsLocus = compatible.size();

    const bool tooMany = g.compFragsLocus > static_cast<uint64_t>(std::max<int32_t>(conf.maxCompFrags, 0));
    if (g.compFragsLocus < static_cast<uint64_t>(std::max<int16_t>(conf.minCompFrags, 0)) || tooMany) {
        if (g.compFragsLocus == 0)
            run.counters.nrGenesProcessed.fetch_add(1);
        g.failReason = g.compFragsLocus == 0 ? FailReason::noFragments
                       : tooMany             ? FailReason::tooMany
                                             : FailReason::tooFew;
        run.results.writeIntermediateResults(gene);
        return;
    }

    if (conf.debugMode)
        writeValidities(gene, reader, task.region);

    const t_initValues values =
        initialValues(g, {.automatic = conf.autoGroupTying, .global = conf.globalTying}, conf.nrBlocks);
    if (modelPreconditionsHold(g, values, conf))
        estimateGene(gene, compatible, values, task.region, startTime, startClock);
    // A gene the model could not take counts with those whose training did not settle.
    if (g.status != "OK")
        g.failReason = FailReason::notConverged;

    run.results.writeIntermediateResults(gene);
}

// Estimation of a gene whose fragments are read and within the limits.
void GenePass::estimateGene(GeneMap::iterator& gene, CompatibleFragments& fragments, const t_initValues& values,
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
    TranscriptMixture model(values.alphas, values.nus, values.lambdas, values.trans2group, groupMixtures);
    TrainingOptions training = trainingOptions(conf, deferred);
    // The genes put off have the run's threads to themselves.
    training.blockPool = deferred ? &run.pool : nullptr;
    model.train(fragments, gene, alphas, training, log, run.paths.outputDir);

    run.counters.compFragsExpt.fetch_add(g.compFragsLocus);
    g.alphas = alphas;
    g.groupBetas.clear();
    for (uint64_t group = 0; group < values.nrGroups && group < model._tiedGroupPDFs.size(); ++group)
        g.groupBetas.push_back(model._tiedGroupPDFs[group]._weights);

    if (conf.logFiles) {
        debugLog.printFinalWeights(g.alphas, g.groupBetas, log);
        const std::time_t endClock = std::time(nullptr);
        log << "\n\nExperiment finished on " << units::localTime() << "\n"
            << "Total elapsed time: " << units::secondsToTime(static_cast<unsigned long>(endClock - startClock))
            << "\n";
        debugLog.writeLogFile(run.paths.outputDir, g, log.str());
    }

    setTotalHitsFpkm(g, conf, run.counters.fragsExpt.load());
    if (alphasSumToOne(g.alphas))
        g.status = "OK";
    run.counters.nrGenesProcessed.fetch_add(1);
}

// The debug dump shows fragments by name with a row per transcript, as the map form
// holds them; it reads the locus again so that the run's own path stays flat.
void GenePass::writeValidities(GeneMap::iterator& gene, BamIO& reader, const std::string& region)
{
    Gene& g = gene->second;
    const std::vector<double> counts = g.compFragsTrans;
    FragmentMap fragments;
    reader.readBam(region, fragments);
    keepCompatibleFragments(gene, fragments, conf.strandedness);
    placeOnTranscripts(gene, fragments);
    DebugLog debugLog;
    debugLog.validitiesToFile(fragments, gene, run.paths.debugDir + "/" + files::fileSafeName(g.geneName) + "_validities.dat");
    g.compFragsTrans = counts;
    std::vector<std::vector<bool>>().swap(g.validities);
}

void GenePass::processLoci(std::vector<GeneMap::iterator>& genes, unsigned slot)
{
    BamIO& reader = run.locusReader(slot);
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
        if (!deferred) {
            const std::string inHeader = regionInHeader(g, locusText, run.references);
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
                // A locus the index shows well beyond the budget would be dropped part of
                // the way in and read again: it is only counted.
                if (reader.estimatedRecords(locusTid, read.begin, read.end) > 2 * read.recordBudget)
                    read.recordBudget = 0;
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
        processGene(gene, slot);
}

void GenePass::processGene(GeneMap::iterator& gene, unsigned slot)
{
    std::vector<GeneMap::iterator> genes{gene};
    processLoci(genes, slot);
}

void noteUnmatedReads(RunCounters& counters, const LocusFragments& fragments)
{
    const uint64_t unmated = fragments.unmatedReads();
    if (unmated == 0)
        return;
    counters.unmatedReadsExpt.fetch_add(unmated);
    counters.pairedReadsExpt.fetch_add(fragments.pairedReads());
    if (fragments.unmatedNamesCarryMateSuffix())
        counters.unmatedNamesCarryMateSuffix.store(true);
}

std::string unmatedReadsWarning(const RunCounters& counters)
{
    // A locus edge cuts off some mates in any library; only when most paired reads of
    // the loci stay alone do the mates of the file not share their names.
    constexpr uint64_t kMinUnmatedReads = 20;
    const uint64_t unmated = counters.unmatedReadsExpt.load();
    if (unmated < kMinUnmatedReads || 2 * unmated <= counters.pairedReadsExpt.load())
        return {};
    std::ostringstream text;
    text << "Warning: " << unmated << " of the " << counters.pairedReadsExpt.load()
         << " paired reads read for the genes have no mate under the same name; each of them counts as a "
            "fragment of its own.\n";
    if (counters.unmatedNamesCarryMateSuffix.load())
        text << "Their names end in .1/.2 or /1/2 as the first/second-in-pair flags do: both mates of a pair must "
                "have the same name. Drop the suffix from the read names, for example with\n"
                "  samtools view -h IN.bam | awk 'BEGIN {OFS = \"\\t\"} /^@/ {print; next} {sub(/[./][12]$/, \"\", $1); "
                "print}' | samtools view -b -o FIXED.bam -\n"
                "and run kestrove on FIXED.bam.\n";
    return text.str();
}

uint64_t fragmentCount(const t_flagStats& stats)
{
    return stats.properlyPaired != 0 ? stats.properlyPaired / 2 + stats.singletons : stats.mapped;
}
