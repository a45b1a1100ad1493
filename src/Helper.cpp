#include "Helper.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace {

std::string twoDigits(uint32_t value)
{
    return (value < 10 ? "0" : "") + std::to_string(value);
}

// Optional subdirectories (debug, logfiles) do not stop the run when they cannot be made.
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

// Why results cannot go to the directory, found without creating anything; empty
// when they can.
std::string outputDirectoryProblem(const std::string& directory)
{
    if (directory.empty())
        return "cannot be created: the name is empty";
    boost::system::error_code ec;
    if (fs::exists(directory, ec)) {
        if (!fs::is_directory(directory, ec))
            return "exists and is not a directory";
        if (::access(directory.c_str(), W_OK | X_OK) != 0)
            return std::string("is not writable: ") + std::strerror(errno);
        return {};
    }
    fs::path ancestor = fs::absolute(directory).parent_path();
    while (ancestor.has_parent_path() && !fs::exists(ancestor, ec))
        ancestor = ancestor.parent_path();
    if (!fs::is_directory(ancestor, ec))
        return "cannot be created: " + ancestor.string() + " is not a directory";
    if (::access(ancestor.c_str(), W_OK | X_OK) != 0)
        return "cannot be created in " + ancestor.string() + ": " + std::strerror(errno);
    return {};
}

} // namespace

std::string Helper::secondsToTime(unsigned long seconds)
{
    const auto total = static_cast<uint32_t>(seconds);
    return twoDigits(total / 3600) + ":" + twoDigits((total % 3600) / 60) + ":" + twoDigits(total % 60);
}

std::string Helper::splitFilename(const std::string& path)
{
    const size_t separator = path.find_last_of("/\\");
    const size_t dot = path.find_last_of('.');
    size_t start = 0;
    size_t end = 0;
    if (separator == std::string::npos) {
        if (dot == std::string::npos)
            return {};
        end = dot;
    } else {
        start = separator + 1;
        end = dot == std::string::npos ? 0 : dot;
    }
    if (start == 0 && end == 0)
        return {};
    // A dot before the name (in a directory) makes the length wrap, so the name runs to the end.
    const auto length = static_cast<uint32_t>(end - start);
    return path.substr(start, length);
}

bool Helper::checkOutputDirectory(const t_configuration& conf, t_directories& dirs)
{
    if (!conf.outputDirGiven) {
        boost::system::error_code ec;
        const fs::path workingDir = fs::current_path(ec);
        if (ec) {
            std::cerr << "\nError: the working directory is not accessible: " << ec.message() << "\n";
            return false;
        }
        dirs.outputDir = workingDir.string() + "/output";
    }
    // Results go where they were asked for or nowhere: another directory could hold an
    // earlier run's results, which this run would overwrite.
    if (const std::string problem = outputDirectoryProblem(dirs.outputDir); !problem.empty()) {
        std::cerr << "\nError: output directory " << dirs.outputDir << " " << problem << "\n";
        return false;
    }
    return true;
}

bool Helper::createDirectories(t_configuration& conf, t_directories& dirs)
{
    if (!checkOutputDirectory(conf, dirs))
        return false;
    boost::system::error_code ec;
    fs::create_directories(dirs.outputDir, ec);
    if (ec) {
        std::cerr << "\nError: output directory " << dirs.outputDir << " cannot be created: " << ec.message() << "\n";
        return false;
    }

    if (conf.debugMode) {
        createOptionalDirectory(dirs.outputDir + "/debug");
        dirs.debugDir = dirs.outputDir + "/debug";
    }
    if (conf.logFiles)
        createOptionalDirectory(dirs.outputDir + "/logfiles");
    return true;
}

void Helper::removeStaleFiles(const std::string& directory, const std::string& prefix)
{
    boost::system::error_code ec;
    for (fs::directory_iterator it(directory.empty() ? "." : directory, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const size_t digits = name.find_first_not_of("0123456789", prefix.size());
        const size_t pidEnd = digits == std::string::npos ? name.size() : digits;
        if (pidEnd == prefix.size() || pidEnd - prefix.size() > 9 || (pidEnd < name.size() && name[pidEnd] != '.'))
            continue;
        const auto pid = static_cast<pid_t>(std::stol(name.substr(prefix.size(), pidEnd - prefix.size())));
        if (pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            ::unlink(it->path().c_str());
    }
}

void Helper::addToGenesList(std::string geneId)
{
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return !busy; });
    busy = true;
    try {
        highlyAbundantGenes.push_back(std::move(geneId));
    } catch (...) {
        busy = false;
        throw;
    }
    busy = false;
    condition.notify_one();
}

std::vector<std::string>& Helper::getHighlyAbundantGenes() { return highlyAbundantGenes; }

std::string Helper::fileSafeName(const std::string& name)
{
    std::string safe = name;
    for (char& c : safe) {
        if (c == '/' || c == '\\' || c == '\0')
            c = '_';
    }
    if (safe.empty() || safe.front() == '.')
        safe.insert(safe.begin(), '_');
    return safe;
}
