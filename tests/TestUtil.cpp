#include "TestUtil.h"

#include <fnmatch.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include <boost/filesystem.hpp>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/sam.h>

namespace testutil {

TempDir::TempDir()
{
    auto base = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("kestrove-test-%%%%-%%%%-%%%%");
    boost::filesystem::create_directories(base);
    path_ = base.string();
}

TempDir::~TempDir()
{
    boost::system::error_code ec;
    boost::filesystem::permissions(path_, boost::filesystem::owner_all, ec);
    boost::filesystem::remove_all(path_, ec);
}

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << text;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) { return boost::filesystem::exists(path); }

std::set<std::string> filesIn(const std::string& directory)
{
    std::set<std::string> names;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return names;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

std::string exon(const std::string& chromosome, int start, int end, const std::string& gene,
                 const std::string& transcript, const std::string& name, char strand)
{
    std::string line = chromosome + "\ttest\texon\t" + std::to_string(start) + "\t" + std::to_string(end) + "\t.\t"
        + strand + "\t.\tgene_id \"" + gene + "\"; transcript_id \"" + transcript + "\";";
    if (!name.empty())
        line += " gene_name \"" + name + "\";";
    return line + "\n";
}

std::string samRecord(const std::string& name, int flag, const std::string& reference, int pos,
                      const std::string& cigar, const std::string& mateReference, int matePos, int templateLength)
{
    return name + "\t" + std::to_string(flag) + "\t" + reference + "\t" + std::to_string(pos) + "\t60\t" + cigar + "\t"
        + mateReference + "\t" + std::to_string(matePos) + "\t" + std::to_string(templateLength) + "\t*\t*\n";
}

void samToBam(const std::string& samText, const std::string& bamPath, bool buildIndex)
{
    const std::string samPath = bamPath + ".tmp.sam";
    writeText(samPath, samText);
    {
        std::unique_ptr<htsFile, int (*)(htsFile*)> in(hts_open(samPath.c_str(), "r"), hts_close);
        std::unique_ptr<htsFile, int (*)(htsFile*)> out(hts_open(bamPath.c_str(), "wb"), hts_close);
        std::unique_ptr<sam_hdr_t, void (*)(sam_hdr_t*)> hdr(in ? sam_hdr_read(in.get()) : nullptr, sam_hdr_destroy);
        std::unique_ptr<bam1_t, void (*)(bam1_t*)> rec(bam_init1(), bam_destroy1);
        if (!hdr || !out || sam_hdr_write(out.get(), hdr.get()) < 0)
            throw std::runtime_error("cannot write the header of the test input to " + bamPath);
        int r;
        while ((r = sam_read1(in.get(), hdr.get(), rec.get())) >= 0)
            if (sam_write1(out.get(), hdr.get(), rec.get()) < 0)
                r = -2;
        if (r < -1)
            throw std::runtime_error("cannot convert a record of the test input to " + bamPath);
    }
    std::remove(samPath.c_str());
    if (buildIndex && sam_index_build(bamPath.c_str(), 0) != 0)
        throw std::runtime_error("cannot index " + bamPath);
}

std::vector<std::string> bamRecords(const std::string& path, std::string* header)
{
    std::unique_ptr<htsFile, int (*)(htsFile*)> in(hts_open(path.c_str(), "r"), hts_close);
    std::unique_ptr<sam_hdr_t, void (*)(sam_hdr_t*)> hdr(in ? sam_hdr_read(in.get()) : nullptr, sam_hdr_destroy);
    std::unique_ptr<bam1_t, void (*)(bam1_t*)> rec(bam_init1(), bam_destroy1);
    std::vector<std::string> records;
    kstring_t line = KS_INITIALIZE;
    while (hdr && sam_read1(in.get(), hdr.get(), rec.get()) >= 0 && sam_format1(hdr.get(), rec.get(), &line) >= 0)
        records.emplace_back(line.s, line.l);
    ks_free(&line);
    if (header)
        *header = hdr ? sam_hdr_str(hdr.get()) : "";
    return records;
}

std::string pairsSam(const std::vector<Pair>& pairs)
{
    std::vector<std::tuple<std::string, int, std::string>> records;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const auto& [reference, left, right] = pairs[i];
        const std::string name = "p" + std::to_string(i);
        records.emplace_back(reference, left, samRecord(name, 99, reference, left, "50M", "=", right, right + 50 - left));
        records.emplace_back(reference, right, samRecord(name, 147, reference, right, "50M", "=", left, left - right - 50));
    }
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
    });
    std::string text = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:20000\n@SQ\tSN:chr2\tLN:20000\n";
    for (const auto& record : records)
        text += std::get<2>(record);
    return text;
}

std::string column(const std::string& path, const std::string& name)
{
    const auto rows = lines(readText(path));
    std::string values;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto header = fields(rows[0]), row = fields(rows[i]);
        const auto at = static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
        values += (at < row.size() ? row[at] : "") + " ";
    }
    return values;
}

CommandResult run(const std::string& command)
{
    TempDir tmp;
    const int raw = std::system(("( " + command + " ) >" + tmp.file("out") + " 2>" + tmp.file("err") + " </dev/null").c_str());
    return {raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readText(tmp.file("out")), readText(tmp.file("err"))};
}

bool awaitFile(const std::string& directory, const std::string& pattern, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    const struct Watch {
        int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ~Watch() { ::close(fd); }
    } watch;
    const int fd = watch.fd;
    if (fd < 0)
        throw std::runtime_error("inotify is not available");
    // A folder not there yet is awaited in its parent, again if it is gone once more.
    while (::inotify_add_watch(fd, directory.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        const auto slash = directory.find_last_of('/');
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
        if (slash == std::string::npos || left.count() <= 0
            || !awaitFile(directory.substr(0, slash), directory.substr(slash + 1), static_cast<int>(left.count())))
            return false;
    }
    // Watched before looking, so that nothing created meanwhile is missed.
    for (const auto& name : filesIn(directory))
        if (::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0)
            return true;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return false;
        const ssize_t size = ::read(fd, buffer, sizeof buffer);
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && ::fnmatch(pattern.c_str(), event->name, FNM_PERIOD) == 0)
                return true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

std::string kestroveExe() { return KESTROVE_EXE; }
std::string kestroveDevExe() { return KESTROVE_DEVPHASE_EXE; }
std::string toolPath(const std::string& name) { return std::string(KESTROVE_TOOLS_DIR) + "/" + name; }

void simulate(const std::string& prefix, const std::string& options)
{
    const CommandResult result = run(quoted(toolPath("simulate")) + " " + options + " --out-prefix " + quoted(prefix));
    if (result.status != 0)
        throw std::runtime_error("simulate failed: " + result.err);
}

CommandResult kestroveIn(const std::string& directory, const std::string& arguments, const std::string& exe)
{
    return run("cd " + quoted(directory) + " && " + quoted(exe) + " " + arguments);
}

} // namespace testutil
