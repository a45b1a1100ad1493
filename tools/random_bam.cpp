// Input generator and driver for the coordinate-sort benchmark.
//
//   random_bam <output.bam> <pairs> [--seed N]
//       writes an unsorted BAM of N random read pairs on a few references,
//       spliced and unspliced, with some unmapped pairs among them
//   random_bam --sort <input.bam> <output.bam> [--memory-mb M]
//       sorts by coordinate with the given memory limit (default 768) and indexes the
//       output as it is written, as a run does with an unsorted BAM

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <htslib/sam.h>

#include "kestrove.h"

namespace {

struct Reference {
    const char* name;
    int64_t length;
};

constexpr Reference kReferences[] = {{"chr1", 60000000}, {"chr2", 40000000}, {"chr3", 30000000}, {"chrX", 20000000}};
constexpr int kReadLength = 100;

int usage()
{
    std::cerr << "Usage: random_bam <output.bam> <pairs> [--seed N]\n"
                 "       random_bam --sort <input.bam> <output.bam> [--memory-mb M]"
              << std::endl;
    return 1;
}

bool parseCount(const char* text, uint64_t& value)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0')
        return false;
    value = parsed;
    return true;
}

class PairWriter {
public:
    PairWriter(htsFile* out, sam_hdr_t* header, uint64_t seed) : out(out), header(header), rng(seed)
    {
        sequence.resize(kReadLength);
        quality.resize(kReadLength);
    }

    bool writePair(uint64_t index)
    {
        const std::string name = "rb." + std::to_string(index);
        if (rng() % 50 == 0)
            return writeRead(name, BAM_FPAIRED | BAM_FUNMAP | BAM_FMUNMAP | BAM_FREAD1, -1, -1, -1, -1, 0, {})
                && writeRead(name, BAM_FPAIRED | BAM_FUNMAP | BAM_FMUNMAP | BAM_FREAD2, -1, -1, -1, -1, 0, {});

        std::uniform_int_distribution<int> fragmentLength(200, 500);
        const int tid = pickReference();
        const int64_t span = fragmentLength(rng);
        const int64_t first = static_cast<int64_t>(rng() % static_cast<uint64_t>(kReferences[tid].length - span - 10000));
        std::vector<uint32_t> firstCigar = randomCigar();
        std::vector<uint32_t> secondCigar = randomCigar();
        const int64_t second = first + span - kReadLength + referenceGap(firstCigar);
        const bool firstReverse = rng() % 2 == 0;
        const uint16_t paired = BAM_FPAIRED | BAM_FPROPER_PAIR;
        const uint16_t firstFlag = paired | BAM_FREAD1 | (firstReverse ? BAM_FREVERSE : BAM_FMREVERSE);
        const uint16_t secondFlag = paired | BAM_FREAD2 | (firstReverse ? BAM_FMREVERSE : BAM_FREVERSE);
        return writeRead(name, firstFlag, tid, first, tid, second, span, firstCigar)
            && writeRead(name, secondFlag, tid, second, tid, first, -span, secondCigar);
    }

private:
    int pickReference()
    {
        int64_t total = 0;
        for (const Reference& ref : kReferences)
            total += ref.length;
        int64_t x = static_cast<int64_t>(rng() % static_cast<uint64_t>(total));
        for (int tid = 0; tid < 4; ++tid) {
            if (x < kReferences[tid].length)
                return tid;
            x -= kReferences[tid].length;
        }
        return 0;
    }

    // A quarter of the reads cross an intron.
    std::vector<uint32_t> randomCigar()
    {
        if (rng() % 4 != 0)
            return {bam_cigar_gen(kReadLength, BAM_CMATCH)};
        const uint32_t left = 10 + static_cast<uint32_t>(rng() % 80);
        const uint32_t intron = 100 + static_cast<uint32_t>(rng() % 5000);
        return {bam_cigar_gen(left, BAM_CMATCH), bam_cigar_gen(intron, BAM_CREF_SKIP),
                bam_cigar_gen(kReadLength - left, BAM_CMATCH)};
    }

    static int64_t referenceGap(const std::vector<uint32_t>& cigar)
    {
        int64_t gap = 0;
        for (uint32_t op : cigar)
            if (bam_cigar_op(op) == BAM_CREF_SKIP)
                gap += bam_cigar_oplen(op);
        return gap;
    }

    bool writeRead(const std::string& name, uint16_t flag, int32_t tid, int64_t pos, int32_t mtid, int64_t mpos,
                   int64_t isize, const std::vector<uint32_t>& cigar)
    {
        static const char kBases[] = "ACGT";
        for (int i = 0; i < kReadLength; ++i) {
            sequence[i] = kBases[rng() % 4];
            quality[i] = static_cast<char>(2 + rng() % 40);
        }
        if (bam_set1(record.get(), name.size(), name.c_str(), flag, tid, pos, tid < 0 ? 0 : 60, cigar.size(),
                     cigar.empty() ? nullptr : cigar.data(), mtid, mpos, isize, kReadLength, sequence.data(),
                     quality.data(), 8)
            < 0)
            return false;
        const int32_t hits = 1;
        if (bam_aux_update_int(record.get(), "NH", hits) < 0)
            return false;
        return sam_write1(out, header, record.get()) >= 0;
    }

    htsFile* out;
    sam_hdr_t* header;
    std::mt19937_64 rng;
    std::unique_ptr<bam1_t, BamRecordFree> record{bam_init1()};
    std::string sequence;
    std::string quality;
};

int generate(const std::string& path, uint64_t pairs, uint64_t seed)
{
    std::unique_ptr<sam_hdr_t, HtsHeaderFree> header(sam_hdr_init());
    if (!header || sam_hdr_add_line(header.get(), "HD", "VN", SAM_FORMAT_VERSION, "SO", "unsorted", nullptr) < 0)
        return 1;
    for (const Reference& ref : kReferences)
        if (sam_hdr_add_line(header.get(), "SQ", "SN", ref.name, "LN", std::to_string(ref.length).c_str(), nullptr) < 0)
            return 1;
    std::unique_ptr<htsFile, HtsFileCloser> out(hts_open(path.c_str(), "wb"));
    if (!out || sam_hdr_write(out.get(), header.get()) < 0) {
        std::cerr << "cannot write " << path << std::endl;
        return 1;
    }
    PairWriter writer(out.get(), header.get(), seed);
    for (uint64_t i = 0; i < pairs; ++i) {
        if (!writer.writePair(i)) {
            std::cerr << "cannot write " << path << std::endl;
            return 1;
        }
    }
    if (hts_close(out.release()) < 0) {
        std::cerr << "cannot write " << path << std::endl;
        return 1;
    }
    return 0;
}

int sort(const std::string& input, const std::string& output, uint64_t memoryMb)
{
    BamSortResult result = sortBamByCoordinate(input, output, static_cast<std::size_t>(memoryMb) << 20, true);
    if (result.status != BamSortStatus::ok) {
        std::cerr << result.message << std::endl;
        return 1;
    }
    std::cout << "sorted " << input << " into " << output << " with " << result.spilledRuns << " spilled runs"
              << ", indexed in " << result.indexPath << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--sort") {
        uint64_t memoryMb = 768;
        if (args.size() == 5 && args[3] == "--memory-mb" && parseCount(args[4].c_str(), memoryMb) && memoryMb > 0)
            return sort(args[1], args[2], memoryMb);
        if (args.size() == 3)
            return sort(args[1], args[2], memoryMb);
        return usage();
    }
    uint64_t pairs = 0;
    uint64_t seed = 1;
    if (args.size() == 2 && parseCount(args[1].c_str(), pairs))
        return generate(args[0], pairs, seed);
    if (args.size() == 4 && args[2] == "--seed" && parseCount(args[1].c_str(), pairs)
        && parseCount(args[3].c_str(), seed))
        return generate(args[0], pairs, seed);
    return usage();
}
