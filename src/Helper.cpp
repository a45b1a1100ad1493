#include "Helper.h"

#include <cstdint>
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

bool Helper::createDirectories(t_configuration& conf, t_directories& dirs)
{
    fs::path workingDir;
    try {
        workingDir = fs::current_path();
    } catch (const fs::filesystem_error& e) {
        std::cerr << "\nError: " << e.what() << "\n";
        return false;
    }

    if (conf.outputDirGiven) {
        try {
            if (!fs::exists(dirs.outputDir))
                fs::create_directories(dirs.outputDir);
        } catch (const fs::filesystem_error& e) {
            std::cerr << "\nError: " << e.what() << "\n"
                      << "The results will be saved to the current working directory, under output directory!\n";
            dirs.outputDir = workingDir.string();
            conf.outputDirGiven = false;
        }
    }

    if (!conf.outputDirGiven) {
        dirs.outputDir = workingDir.string() + "/output";
        try {
            if (!fs::exists(dirs.outputDir))
                fs::create_directories(dirs.outputDir);
        } catch (const fs::filesystem_error& e) {
            std::cerr << "\nError: " << e.what() << "\n";
            return false;
        }
    }

    if (conf.debugMode) {
        createOptionalDirectory(dirs.outputDir + "/debug");
        dirs.debugDir = dirs.outputDir + "/debug";
    }
    if (conf.logFiles)
        createOptionalDirectory(dirs.outputDir + "/logfiles");
    return true;
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
