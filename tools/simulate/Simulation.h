#pragma once

// The simulator's model: the annotation it draws, the fragments sampled from it, and
// the random source that makes both depend on the seed alone.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace simulation {

struct Options {
    uint64_t genes = 50;
    uint64_t fragments = 10000;
    uint64_t seed = 1;
    uint64_t sampleSeed = 0;
    bool hasSampleSeed = false;
    std::string scalePath;
    bool singleEnd = false;
    bool unsorted = false;
    bool chrPrefix = false;
    bool overlapping = false;
    bool realistic = false;
    int wideGene = 0;
    int readLength = 75;
    int chromosomes = 3;
    double fragMean = 200.0;
    double fragSd = 80.0;
    int threads = 1;
    std::string outPrefix = "sim";
    std::string gtfPath;
    std::string bamPath;
    std::string truthPath;
    std::string commandLine;
};

// xoshiro256** seeded through splitmix64: fixed output on every platform,
// unlike the distributions of the standard library.
class Random {
public:
    explicit Random(uint64_t seed)
    {
        for (auto& s : state) {
            seed += 0x9e3779b97f4a7c15ULL;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            s = z ^ (z >> 31);
        }
    }

    uint64_t next()
    {
        const uint64_t result = rotl(state[1] * 5, 7) * 9;
        const uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotl(state[3], 45);
        return result;
    }

    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Uniform integer in [lo, hi].
    int64_t range(int64_t lo, int64_t hi)
    {
        const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
        return lo + static_cast<int64_t>(next() % span);
    }

    double normal()
    {
        if (hasSpare) {
            hasSpare = false;
            return spare;
        }
        double u1 = 0.0;
        while (u1 <= 0.0)
            u1 = uniform();
        const double u2 = uniform();
        const double radius = std::sqrt(-2.0 * std::log(u1));
        const double angle = 2.0 * M_PI * u2;
        spare = radius * std::sin(angle);
        hasSpare = true;
        return radius * std::cos(angle);
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t state[4];
    double spare = 0.0;
    bool hasSpare = false;
};

struct Exon {
    int32_t start;  // 1-based, inclusive
    int32_t end;
};

struct Transcript {
    std::string id;
    size_t gene = 0;
    std::vector<Exon> exons;  // ascending genomic order
    int32_t length = 0;
    double weight = 0.0;
    uint64_t fragments = 0;
};

struct SimGene {
    std::string id;
    std::string name;
    int chromosome = 0;
    bool forward = true;
    int32_t start = 0;
    int32_t end = 0;
    std::vector<size_t> transcripts;
};

struct Model {
    std::vector<std::string> chromosomeNames;
    std::vector<int32_t> chromosomeLengths;
    std::vector<std::string> sequences;
    std::vector<SimGene> genes;
    std::vector<Transcript> transcripts;
};

struct Fragment {
    uint32_t transcript;
    int32_t offset;  // first base in transcript coordinates, 0-based, ascending genomic order
    int32_t length;
};

inline int32_t exonLength(const Exon& e) { return e.end - e.start + 1; }

// The genes and transcripts of the annotation, and the chromosome sequences under them.
Model buildModel(const Options& opt, Random& rng);
// Scales the abundances by the file of --scale; false, with a message, on a bad file.
bool applyScale(const Options& opt, Model& model);
// Draws the fragments and counts them per transcript.
std::vector<Fragment> sampleFragments(const Options& opt, Model& model, Random& rng);

bool writeGtf(const Options& opt, const Model& model);
bool writeTruth(const Options& opt, const Model& model);
bool writeBam(const Options& opt, const Model& model, const std::vector<Fragment>& fragments);

} // namespace simulation
