// Clusters the start-site distributions of an earlier kestrove run without a new
// quantification: builds "norm_pdfs" from the run's transcript summary and writes
// the cluster of every transcript to "norm_pdfs.clusters" in the same directory.

#include <cstring>
#include <iostream>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/timer/timer.hpp>

#include "kestrove.h"

namespace {

void printUsage(std::ostream& out)
{
    out << "Usage: kestrove-cluster RESULTS_DIR\n"
           "\n"
           "Clusters the estimated start-site distributions of the transcripts in the\n"
           "transcripts_summary file of RESULTS_DIR, a kestrove run's folder; the mixture\n"
           "columns come from the summary or, when it has none, from the run's\n"
           "mixtures_<sample>.dat.\n"
           "Appends the profiles to RESULTS_DIR/norm_pdfs and writes the cluster of every\n"
           "profile to RESULTS_DIR/norm_pdfs.clusters.\n";
}

unsigned long wholeSeconds(boost::timer::nanosecond_type nanoseconds)
{
    return static_cast<unsigned long>(static_cast<double>(nanoseconds) / 1e9);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage(std::cout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "kestrove-cluster " << KESTROVE_VERSION << "\n";
        return 0;
    }
    if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
        if (argc < 2)
            std::cerr << "kestrove-cluster: the results directory is missing\n";
        else if (argc > 2)
            std::cerr << "kestrove-cluster: one results directory expected, " << argc - 1 << " arguments given\n";
        else if (argv[1][0] == '\0')
            std::cerr << "kestrove-cluster: the results directory is empty\n";
        else
            std::cerr << "kestrove-cluster: unknown option " << argv[1] << "\n";
        printUsage(std::cerr);
        return 1;
    }

    boost::timer::cpu_timer timer;
    std::cout << "\nExperiment started on " << boost::posix_time::second_clock::local_time() << "\n\n";

    t_configuration conf;
    conf.clusterPdfs = true;
    conf.resultsDir = argv[1];

    std::string message = "Preparing the data to cluster";
    message.resize(50, ' ');
    ProgressBar progress;
    progress.setProgressMax(100);
    progress.updateProgressBar(message, 0);

    if (!createClusteringData(conf))
        return 1;
    const bool clustered = clusterPDFs(conf.resultsDir + "/norm_pdfs", conf);

    const boost::timer::cpu_times elapsed = timer.elapsed();
    std::cout << "\n\nExperiment finished on " << boost::posix_time::second_clock::local_time()
              << "\n\nElapsed time: [CPU " << units::secondsToTime(wholeSeconds(elapsed.user + elapsed.system))
              << ", Real " << units::secondsToTime(wholeSeconds(elapsed.wall)) << "]" << std::endl;
    return clustered ? 0 : 1;
}
