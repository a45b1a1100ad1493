#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "cli/Options.h"

class Helper {
public:
    static std::string secondsToTime(unsigned long seconds);
    // The file name of path without its directory and its last extension: the sample
    // name of a BAM file ("exp.2024/ctrl" -> "ctrl", "reads.bam" -> "reads").
    static std::string splitFilename(const std::string& path);
    // path without the last extension of its file name; a dot in a directory name or
    // leading a file name starts no extension.
    static std::string withoutExtension(const std::string& path);
    // Why path cannot be read as an input file, as words to follow its name; empty
    // when it can or does not exist (opening it then says why). A FIFO is refused
    // because opening one with no writer waits forever.
    static std::string inputFileProblem(const std::string& path);
    // A size such as 512M or 2G (K, M, G, T: powers of 1024; an optional B after them), at
    // least 1M; false, with bytes untouched, for anything else.
    static bool parseByteSize(const std::string& text, std::size_t& bytes);
    static std::vector<double> renormalizeToPdf(std::vector<double> values);
    // A gene name or id as one file-name component: path separators and a leading
    // dot are replaced, so an annotation cannot make the program write outside the
    // output directory or to a hidden file; a name longer than kMaxFileSafeName bytes
    // is cut to that length, ending in a hash of the whole name.
    static constexpr std::size_t kMaxFileSafeName = 200;
    static std::string fileSafeName(const std::string& name);
    // Creates path exclusively and locks it for as long as the returned descriptor stays
    // open; -1 with errno set when it cannot, EEXIST when path exists or is being
    // cleaned up. Unlike a process id, the lock is seen from other PID namespaces and,
    // through the file system's lock service, from other hosts.
    static int createLockedFile(const std::string& path);
    // Removes the files of `directory` whose name starts with prefix and on which no
    // process holds the lock of createLockedFile.
    static void removeUnlockedFiles(const std::string& directory, const std::string& prefix);

    // Sets the default output directory when none was given and reports on standard
    // error why results could not be written there (or, with log files, to its
    // logfiles directory); leaves nothing behind.
    static bool checkOutputDirectory(const t_configuration& conf, t_directories& dirs);
    bool createDirectories(t_configuration& conf, t_directories& dirs);
    void addToGenesList(std::string geneId);
    std::vector<std::string>& getHighlyAbundantGenes();

    void createClusteringData(const t_configuration& conf);
    // False when the profiles could not be clustered; the reason has been printed.
    bool clusterPDFs(std::string path, t_configuration conf);

private:
    bool busy = false;
    std::vector<std::string> highlyAbundantGenes;
    std::mutex mutex;
    std::condition_variable condition;
};
