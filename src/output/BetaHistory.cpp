#include "output/BetaHistory.h"

#include <fstream>
#include <mutex>

void writeBetaHistory(const BetaHistory& history, const std::string& outputDir)
{
    // One fixed file name for the whole run: concurrent trainings take turns so it holds one history.
    static std::mutex fileMutex;
    std::lock_guard<std::mutex> lock(fileMutex);
    std::ofstream out(outputDir + "/betas_iterations.dat", std::ios::out | std::ios::trunc);
    if (!out)
        return;
    out << "# name: nr_groups\n# type: scalar\n " << history.size() << "\n\n";
    for (size_t g = 0; g < history.size(); ++g) {
        out << "# name: betas_group_" << g << "\n# type: cell\n# rows: 1\n# columns: " << history[g].size();
        for (const std::vector<double>& values : history[g]) {
            out << "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: " << values.size() << "\n";
            for (double v : values)
                out << v << ' ';
        }
        out << "\n";
    }
}
