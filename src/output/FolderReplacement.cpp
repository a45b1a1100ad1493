#include "output/FolderReplacement.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "util/WorkingFiles.h"

namespace fs = std::filesystem;

namespace {

const fs::path& createdParent(const fs::path& parent)
{
    std::error_code error;
    fs::create_directories(parent, error);
    if (error)
        throw std::runtime_error("cannot create " + parent.string() + ": " + error.message());
    return parent;
}

// ".NAME.PID.SUFFIX" beside the target.
fs::path besideTarget(const fs::path& target, const char* suffix)
{
    return target.parent_path() /
           ("." + target.filename().string() + "." + std::to_string(::getpid()) + suffix);
}

void removeLeftovers(const fs::path& parent, const fs::path& target)
{
    const std::string prefix = "." + target.filename().string() + ".";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(parent, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix) || !(name.ends_with(".new") || name.ends_with(".old")))
            continue;
        const std::string pid = name.substr(prefix.size(), name.rfind('.') - prefix.size());
        std::error_code ignored;
        if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos)
            fs::remove_all(entry.path(), ignored);
    }
}

void checkReplaceable(const fs::path& target, const std::set<std::string>& replaceable)
{
    const fs::file_status status = fs::symlink_status(target);
    if (!fs::exists(status))
        return;
    if (!fs::is_directory(status))
        throw std::runtime_error(target.string() + " exists and is not a folder");
    for (const auto& entry : fs::directory_iterator(target)) {
        const std::string name = entry.path().filename().string();
        if (!replaceable.contains(name))
            throw std::runtime_error(target.string() + " holds " + name +
                                     ", which is not among the files it replaces; give a new folder or one of earlier results");
    }
}

} // namespace

FolderReplacement::FolderReplacement(const fs::path& target, const std::set<std::string>& replaceable)
    : target(target), parent(target.parent_path()), lock(createdParent(parent).string()),
      path(besideTarget(target, ".new"))
{
    removeLeftovers(parent, target);
    checkReplaceable(target, replaceable);
    std::error_code error;
    fs::create_directory(path, error);
    if (error)
        throw std::runtime_error("cannot create " + path.string() + ": " + error.message());
    created = true;
}

FolderReplacement::~FolderReplacement()
{
    std::error_code ignored;
    if (created)
        fs::remove_all(path, ignored);
}

// One exchange of names where the file system offers it; elsewhere the earlier
// folder is moved aside first, and a reader may briefly find no folder at all.
void FolderReplacement::commit()
{
    if (!fs::exists(fs::symlink_status(target))) {
        if (std::rename(path.c_str(), target.c_str()) != 0)
            throw std::runtime_error("cannot rename " + path.string() + " to " + target.string() +
                                     describeErrno(errno));
        created = false;
        return;
    }
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
        const fs::path old = besideTarget(target, ".old");
        if (std::rename(target.c_str(), old.c_str()) != 0)
            throw std::runtime_error("cannot move " + target.string() + " aside" + describeErrno(errno));
        if (std::rename(path.c_str(), target.c_str()) != 0) {
            const int error = errno;
            std::rename(old.c_str(), target.c_str());
            throw std::runtime_error("cannot rename " + path.string() + " to " + target.string() +
                                     describeErrno(error));
        }
        path = old;
    }
    // `path` now names the earlier set, which the destructor removes.
}
