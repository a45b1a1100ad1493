#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>

#include "alignments/BamSort.h"
#include "cli/Options.h"
#include "output/WriteResults.h"
#include "run/Run.h"
#include "util/Errors.h"

namespace {

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

// Async-signal-safe: only write, rename, unlink and _exit happen here. The process ends
// here rather than in the run, which the handler may have interrupted anywhere.
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

BuildFeatures buildFeatures()
{
    BuildFeatures features;
#ifdef KESTROVE_DEVELOPMENT_PHASE
    features.developmentPhase = true;
#endif
#ifdef KESTROVE_CLUSTER_AFTER_RUN
    features.clusterPdfs = true;
#endif
    return features;
}

} // namespace

int main(int argc, char** argv)
{
    installSignalHandlers();
    try {
        ProgramParameters parameters;
        const std::optional<ParsedOptions> parsed = parameters.parse(argc, argv, buildFeatures());
        if (!parsed)
            return parameters.exitStatus();
        return runKestrove(parsed->conf, parsed->dirs, {argc, argv, parameters.optionValues()});
    } catch (...) {
        removeSortTemporaries();
        reportFailure(std::current_exception());
        if (const char* kept = setAsideUnfinishedSummaries())
            std::cerr << "The run did not finish; the transcript summary written so far is kept as " << kept
                      << std::endl;
        return 1;
    }
}
