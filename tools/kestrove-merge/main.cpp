// Merges the summaries of many kestrove runs into one matrix per quantity: a
// row per transcript or gene, a column per sample. The runs must share one
// annotation and, where they left a provenance record, the options they ran
// with; each folder's summaries must be the pair its run recorded. Anything
// else is refused before the output folder changes.
//
// Each summary is read once, so that a run rewriting it meanwhile cannot mix
// into the matrices. Memory does not grow with the number of samples times the
// number of rows: a first pass checks every sample on its own, keeps only the
// first sample's row keys and each sample's totals, and sets the sample's
// values aside in a scratch file; a second pass reads the scratch files in
// step, one row at a time, and writes the matrices. They are written into a
// new folder that then takes the output folder's place as a whole.

#include <atomic>
#include <csignal>
#include <iostream>
#include <iterator>

#include "Merge.h"
#include "kestrove.h"

using namespace merging;

namespace {

// A merge ended by a signal would otherwise leave its unfinished folder behind; the
// work stops at the next step instead, and the unwinding removes that folder.
std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int signal) { stopSignal.store(signal); }

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        // One ignored on entry (nohup) stays ignored.
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

} // namespace

void merging::stopIfSignalled()
{
    if (const int signal = stopSignal.load())
        throw MergeError(std::string("stopped by ") + (signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP")
                         + "; the output folder is left as it was");
}

namespace {

const char* const kMatrixNames[] = {"transcripts.FPKM_THN.tsv", "transcripts.FPKM_CHN.tsv", "transcripts.TPM.tsv",
                                    "transcripts.counts.tsv",   "genes.FPKM_THN.tsv",       "genes.FPKM_CHN.tsv",
                                    "genes.counts.tsv",         "genes.status.tsv",         "samples.tsv"};

void printUsage(std::ostream& out)
{
    out << "Usage: kestrove-merge -o OUTDIR RESULT_DIR|NAME=RESULT_DIR...\n"
           "\n"
           "Merges the summaries of kestrove runs on one annotation into matrices with a row\n"
           "per transcript or gene and a column per sample, in argument order. Each\n"
           "RESULT_DIR holds one transcripts_summary_<sample>.dat and one\n"
           "genes_summary_<sample>.dat; the column is named <sample>, or NAME when given.\n"
           "Where a RESULT_DIR holds the run's provenance_<sample>.json, its summaries must be the\n"
           "ones recorded there and the runs must share their options.\n"
           "Writes to OUTDIR, replaced as a whole: transcripts.{FPKM_THN,FPKM_CHN,TPM,counts}.tsv,\n"
           "genes.{FPKM_THN,FPKM_CHN,counts,status}.tsv and samples.tsv.\n";
}

// The output folder as an absolute path without a trailing separator.
fs::path targetOf(const std::string& outDir)
{
    fs::path target = fs::absolute(outDir).lexically_normal();
    if (!target.has_filename())
        target = target.parent_path();
    // A link to the folder of the matrices stays a link; the folder it names is replaced.
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        target = fs::canonical(target, error);
        if (error)
            throw MergeError("cannot follow " + outDir + ": " + error.message());
    }
    if (target == target.root_path())
        throw MergeError("cannot replace " + outDir + " as a whole; give a folder of its own for the matrices");
    return target;
}

int run(int argc, char** argv)
{
    std::string outDir;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            printUsage(std::cout);
            return 0;
        }
        if (a == "--version") {
            std::cout << "kestrove-merge " << KESTROVE_VERSION << "\n";
            return 0;
        }
        if (a == "-o" || a == "--output") {
            if (i + 1 == argc)
                throw MergeError(a + " needs a directory");
            outDir = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            throw MergeError("unknown option " + a);
        } else {
            arguments.push_back(a);
        }
    }
    if (outDir.empty() || arguments.empty()) {
        printUsage(std::cerr);
        return 1;
    }

    std::vector<Sample> samples = samplesOf(arguments);
    const Sample* recorded = nullptr;
    for (Sample& s : samples) {
        readRecord(s);
        if (!s.record)
            continue;
        if (recorded)
            compareRecords(*recorded, s);
        else
            recorded = &s;
    }
    for (const Sample& s : samples)
        if (recorded && !s.record)
            std::cerr << "kestrove-merge: warning: " << s.directory << " (sample " << s.name << ") holds no "
                      << s.recordName << "; its options and its pair of summaries are not checked\n";

    catchStopSignals();
    FolderReplacement folder(targetOf(outDir), {std::begin(kMatrixNames), std::end(kMatrixNames)});
    Reference ref;
    ref.sample = samples.front().name;
    for (size_t i = 0; i < samples.size(); ++i) {
        stopIfSignalled();
        Sample& s = samples[i];
        const std::string transcripts = wholeFile(s.transcripts);
        const std::string genes = wholeFile(s.genes);
        if (s.record) {
            checkRecorded(s, s.transcripts, transcripts);
            checkRecorded(s, s.genes, genes);
        }
        scanSample(s, transcripts, genes, ref, i == 0, scratchPath(folder.folder(), i));
    }
    writeMatrices(folder.folder(), samples, ref);
    for (size_t i = 0; i < samples.size(); ++i)
        fs::remove(scratchPath(folder.folder(), i));
    stopIfSignalled();
    folder.commit();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "kestrove-merge: " << e.what() << "\n";
        return 1;
    }
}
