#include "TestUtil.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <htslib/hts.h>
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

std::vector<std::string> splitOn(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

bool exists(const std::string& path)
{
    return boost::filesystem::exists(path);
}

void samToBam(const std::string& samText, const std::string& bamPath, bool buildIndex)
{
    std::string samPath = bamPath + ".tmp.sam";
    writeText(samPath, samText);
    std::unique_ptr<htsFile, int (*)(htsFile*)> in(hts_open(samPath.c_str(), "r"), hts_close);
    if (!in)
        throw std::runtime_error("cannot open " + samPath);
    std::unique_ptr<sam_hdr_t, void (*)(sam_hdr_t*)> hdr(sam_hdr_read(in.get()), sam_hdr_destroy);
    if (!hdr)
        throw std::runtime_error("bad SAM header in test input");
    {
        std::unique_ptr<htsFile, int (*)(htsFile*)> out(hts_open(bamPath.c_str(), "wb"), hts_close);
        if (!out || sam_hdr_write(out.get(), hdr.get()) < 0)
            throw std::runtime_error("cannot write " + bamPath);
        std::unique_ptr<bam1_t, void (*)(bam1_t*)> rec(bam_init1(), bam_destroy1);
        int r;
        while ((r = sam_read1(in.get(), hdr.get(), rec.get())) >= 0) {
            if (sam_write1(out.get(), hdr.get(), rec.get()) < 0)
                throw std::runtime_error("cannot write record to " + bamPath);
        }
        if (r < -1)
            throw std::runtime_error("bad SAM record in test input");
    }
    std::remove(samPath.c_str());
    if (buildIndex && sam_index_build(bamPath.c_str(), 0) != 0)
        throw std::runtime_error("cannot index " + bamPath);
}

CommandResult run(const std::string& command)
{
    TempDir tmp;
    std::string outPath = tmp.file("out");
    std::string errPath = tmp.file("err");
    std::string full = "( " + command + " ) >" + outPath + " 2>" + errPath + " </dev/null";
    int raw = std::system(full.c_str());
    CommandResult result;
    if (raw != -1 && WIFEXITED(raw))
        result.status = WEXITSTATUS(raw);
    result.out = readText(outPath);
    result.err = readText(errPath);
    return result;
}

std::string kestroveExe() { return KESTROVE_EXE; }
std::string kestroveDevExe() { return KESTROVE_DEVPHASE_EXE; }
std::string toolPath(const std::string& name) { return std::string(KESTROVE_TOOLS_DIR) + "/" + name; }

} // namespace testutil
