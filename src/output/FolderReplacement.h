#pragma once

#include <filesystem>
#include <set>
#include <string>

#include "util/DirectoryLock.h"

// A folder filled under a temporary name beside `target` that then takes the
// target's place as a whole, so that a reader sees either the earlier set of
// files or the new one. Everything the temporary folder holds goes unless
// commit() is reached. Replacements of one target hold a lock on its parent,
// so any temporary folder of that target found there was left by a killed
// process and is removed. An existing target is replaced only when it holds
// nothing but `replaceable` names. Failures throw std::runtime_error.
class FolderReplacement {
public:
    FolderReplacement(const std::filesystem::path& target, const std::set<std::string>& replaceable);
    ~FolderReplacement();
    FolderReplacement(const FolderReplacement&) = delete;
    FolderReplacement& operator=(const FolderReplacement&) = delete;

    const std::filesystem::path& folder() const { return path; }
    void commit();

private:
    std::filesystem::path target;
    std::filesystem::path parent;
    DirectoryLock lock;
    std::filesystem::path path;
    bool created = false;
};
