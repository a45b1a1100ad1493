#include "run/OutputDirectory.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace {

// Optional subdirectories (debug) do not stop the run when they cannot be made.
void createOptionalDirectory(const fs::path& directory)
{
    try {
        if (!fs::exists(directory))
            fs::create_directories(directory);
    } catch (const fs::filesystem_error&) {
        std::cerr << "\nError: " << directory << "\n"
                  << "The results will be saved to the current working directory directory!\n";
    }
}

// Boost's create_directories refuses a path ending in "." or "..", as "-o ." is.
fs::path normalDirectory(const std::string& directory)
{
    return fs::absolute(directory).lexically_normal();
}

// Why results cannot go to the directory; empty when they can. A missing directory is
// created and removed again, since only trying tells whether it can be made (a full
// disk, a read-only or special file system).
std::string outputDirectoryProblem(const std::string& directory)
{
    if (directory.empty())
        return "cannot be created: the name is empty";
    boost::system::error_code ec;
    const fs::path path = normalDirectory(directory);
    if (fs::exists(path, ec)) {
        if (!fs::is_directory(path, ec))
            return "exists and is not a directory";
        if (::access(path.c_str(), W_OK | X_OK) != 0)
            return std::string("is not writable: ") + std::strerror(errno);
        return {};
    }
    std::vector<fs::path> missing{path};
    while (missing.back().has_parent_path() && !fs::exists(missing.back().parent_path(), ec))
        missing.push_back(missing.back().parent_path());
    const fs::path ancestor = missing.back().parent_path();
    if (!fs::is_directory(ancestor, ec))
        return "cannot be created: " + ancestor.string() + " is not a directory";
    fs::create_directories(path, ec);
    const std::string problem = ec ? "cannot be created: " + ec.message() : std::string();
    for (const fs::path& created : missing)
        fs::remove(created, ec);
    return problem;
}

// Results go where they were asked for or nowhere: another directory could hold an
// earlier run's results, which this run would overwrite.
bool outputDirectoryUsable(const t_configuration& conf, const std::string& outputDir)
{
    if (const std::string problem = outputDirectoryProblem(outputDir); !problem.empty()) {
        std::cerr << "\nError: output directory " << outputDir << " " << problem << "\n";
        return false;
    }
    boost::system::error_code ec;
    const std::string logDirectory = outputDir + "/logfiles";
    if (conf.logFiles && fs::exists(logDirectory, ec) && !fs::is_directory(logDirectory, ec)) {
        std::cerr << "\nError: " << logDirectory << " exists and is not a directory: the per-gene logs (-l) "
                  << "cannot be written\n";
        return false;
    }
    return true;
}

} // namespace

std::optional<std::string> resolveOutputDirectory(const t_configuration& conf, const t_directories& given)
{
    std::string outputDir = given.outputDir;
    if (!conf.outputDirGiven) {
        boost::system::error_code ec;
        const fs::path workingDir = fs::current_path(ec);
        if (ec) {
            std::cerr << "\nError: the working directory is not accessible: " << ec.message() << "\n";
            return std::nullopt;
        }
        outputDir = workingDir.string() + "/output";
    } else if (!outputDir.empty()) {
        // Files are named under it: "out/x/.." must not need a folder x.
        outputDir = fs::path(outputDir).lexically_normal().string();
    }
    if (!outputDirectoryUsable(conf, outputDir))
        return std::nullopt;
    return outputDir;
}

bool createOutputDirectories(const t_configuration& conf, const std::string& outputDir)
{
    // Sorting the alignments may have taken long: the directory is checked again.
    if (!outputDirectoryUsable(conf, outputDir))
        return false;
    boost::system::error_code ec;
    fs::create_directories(normalDirectory(outputDir), ec);
    if (ec) {
        std::cerr << "\nError: output directory " << outputDir << " cannot be created: " << ec.message() << "\n";
        return false;
    }
    if (conf.debugMode)
        createOptionalDirectory(outputDir + "/debug");
    // Logs were asked for: a run without them is not the run asked for.
    if (conf.logFiles) {
        fs::create_directories(outputDir + "/logfiles", ec);
        if (ec) {
            std::cerr << "\nError: " << outputDir << "/logfiles cannot be created: " << ec.message() << "\n";
            return false;
        }
    }
    return true;
}
