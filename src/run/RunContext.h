#pragma once

// The state of one run: created in main's call path once the options are parsed, and
// handed by reference to the stages that need it. The options in it never change.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "alignments/BamIO.h"
#include "config/Configuration.h"
#include "output/WriteResults.h"
#include "util/ProgressBar.h"
#include "util/ThreadPool.h"

// Counted by whichever workers read or estimate; read once the pass is over.
struct RunCounters {
    std::atomic<uint64_t> fragsExpt{0};
    std::atomic<uint64_t> compFragsExpt{0};
    std::atomic<uint64_t> nrGenesProcessed{0};
    std::atomic<int32_t> quantificationProgress{0};
    // Paired reads of the loci read and those of them left without a mate; a read of
    // overlapping loci counts once per locus.
    std::atomic<uint64_t> pairedReadsExpt{0};
    std::atomic<uint64_t> unmatedReadsExpt{0};
    std::atomic<bool> unmatedNamesCarryMateSuffix{false};
};

// Genes whose loci are too large for one worker, put off by the workers and estimated
// after the pool with every thread.
class DeferredGenes {
public:
    void add(std::string geneKey)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        keys.push_back(std::move(geneKey));
    }
    // Read once the workers that add are done.
    const std::vector<std::string>& all() const { return keys; }

private:
    std::mutex mutex;
    std::vector<std::string> keys;
};

// The experiment's aligner-flagged records, summed over the references by whichever
// threads count them.
class AlignerFlagTotals {
public:
    void add(const t_flagStats& stats)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        totals.secondary += stats.secondary;
        totals.qcFailed += stats.qcFailed;
        totals.duplicates += stats.duplicates;
        totals.supplementary += stats.supplementary;
    }
    const t_flagStats& sum() const { return totals; }

private:
    std::mutex mutex;
    t_flagStats totals;
};

class RunContext {
public:
    RunContext(const t_configuration& options, const t_directories& inputs)
        : options(options), paths(inputs), progress(options.quiet),
          pool(static_cast<unsigned>(std::max<int16_t>(options.nrThreads, 1))), readers(pool.slots())
    {
    }
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    uint16_t skippedFlags() const { return options.primaryOnly ? kNonPrimaryFlags : 0; }

    // The reader of the alignments of a pool slot (0: the main thread), opened by its
    // first use; one for counting reads skips the reference list the locus readers need.
    BamIO& countingReader(unsigned slot);
    BamIO& locusReader(unsigned slot);
    // Nothing reads through the main thread's reader after a pass, so it is closed
    // rather than kept.
    void releaseMainReader() { readers[0].reset(); }
    // The workers' readers, with the buffers of the largest loci they read, once a pass
    // is over.
    void releaseWorkerReaders();

    const t_configuration options;
    // The inputs as given, with the paths the run derives: the output directory as
    // resolved, the debug directory and the alignments read (the sorted copy of an
    // unsorted BAM). Set by initialize and the creation of the output directory.
    t_directories paths;
    // The BAM header's references, in its order.
    std::vector<std::string> references;
    ProgressBar progress;
    // The run's threads: every parallel pass and the E-step of the genes put off.
    ThreadPool pool;
    WriteResults results;
    RunCounters counters;
    DeferredGenes deferredGenes;
    AlignerFlagTotals alignerFlags;
    // What every reader of the run meets is told once.
    ReaderNotices readerNotices;

private:
    BamIO& reader(unsigned slot, bool withReferenceList);

    std::vector<std::unique_ptr<BamIO>> readers;
};
