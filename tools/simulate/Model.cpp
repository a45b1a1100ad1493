// The annotation and the fragments drawn from it.

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <numeric>
#include <set>
#include <sstream>

#include "Simulation.h"

namespace simulation {

namespace {

std::string zeroPadded(uint64_t value, int width)
{
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return digits;
}

// Each transcript after the first skips exons at random; isoforms of a gene
// have distinct exon sets and at least two exons.
std::vector<std::vector<size_t>> chooseIsoforms(Random& rng, size_t nrExons, int wanted)
{
    std::vector<std::vector<size_t>> isoforms;
    std::vector<size_t> all(nrExons);
    std::iota(all.begin(), all.end(), 0);
    isoforms.push_back(all);
    std::set<std::vector<size_t>> seen{all};
    for (int attempt = 0; attempt < 50 && static_cast<int>(isoforms.size()) < wanted; ++attempt) {
        std::vector<size_t> subset;
        for (size_t i = 0; i < nrExons; ++i) {
            const double keep = (i == 0 || i + 1 == nrExons) ? 0.8 : 0.6;
            if (rng.uniform() < keep)
                subset.push_back(i);
        }
        if (subset.size() < 2 || !seen.insert(subset).second)
            continue;
        isoforms.push_back(subset);
    }
    return isoforms;
}

// The isoform of the gene's exons named by subset; fragments follow abundance x length.
void addTranscript(const std::vector<Exon>& exons, const std::vector<size_t>& subset, double abundance, SimGene& gene,
                   uint64_t& transcriptNumber, Model& model)
{
    Transcript tr;
    tr.id = "SIMT" + zeroPadded(++transcriptNumber, 6);
    tr.gene = model.genes.size();
    for (size_t i : subset) {
        tr.exons.push_back(exons[i]);
        tr.length += exonLength(exons[i]);
    }
    tr.weight = abundance * tr.length;
    gene.transcripts.push_back(model.transcripts.size());
    model.transcripts.push_back(std::move(tr));
}

// 3 to 8 exons and 2 to 4 isoforms, log-normal abundance.
void addSimpleGene(Random& rng, SimGene& gene, int32_t position, uint64_t& transcriptNumber, Model& model)
{
    const auto nrExons = static_cast<size_t>(rng.range(3, 8));
    std::vector<Exon> exons;
    int32_t cursor = position;
    for (size_t e = 0; e < nrExons; ++e) {
        if (e > 0)  // introns between 100 and 5000 bases, log-uniform
            cursor += static_cast<int32_t>(std::lround(100.0 * std::pow(50.0, rng.uniform())));
        const auto len = static_cast<int32_t>(rng.range(80, 500));
        exons.push_back({cursor, cursor + len - 1});
        cursor += len;
    }
    gene.start = exons.front().start;
    gene.end = exons.back().end;

    // Log-normal abundance.
    for (const auto& subset : chooseIsoforms(rng, nrExons, static_cast<int>(rng.range(2, 4))))
        addTranscript(exons, subset, std::exp(rng.normal()), gene, transcriptNumber, model);
}

// Exon-intron structure with the shape of a real annotation: 2 to 24 exons, a long
// 3' exon, introns up to tens of kilobases, and a heavy tail of isoforms that skip
// exons or start and end at inner exons. Expression spans orders of magnitude, so a
// few loci gather a large share of the fragments.
// A positive wideIsoforms gives the gene the most exons and asks for that many isoforms.
void addRealisticGene(Random& rng, SimGene& gene, int32_t position, uint64_t& transcriptNumber, Model& model,
                      int wideIsoforms)
{
    auto nrExons = static_cast<size_t>(2 + std::min<int64_t>(22, std::lround(-6.0 * std::log(1.0 - rng.uniform()))));
    if (wideIsoforms > 0)
        nrExons = 24;
    std::vector<Exon> exons;
    int32_t cursor = position;
    for (size_t e = 0; e < nrExons; ++e) {
        if (e > 0)
            cursor += static_cast<int32_t>(std::lround(80.0 * std::pow(250.0, rng.uniform())));
        const bool last = e + 1 == nrExons;
        const auto len = static_cast<int32_t>(last ? rng.range(300, 2500) : rng.range(50, 300));
        exons.push_back({cursor, cursor + len - 1});
        cursor += len;
    }
    gene.start = exons.front().start;
    gene.end = exons.back().end;

    int wanted = 1 + static_cast<int>(std::min(14.0, std::floor(-2.0 * std::log(1.0 - rng.uniform()))));
    if (wideIsoforms > 0)
        wanted = wideIsoforms;
    std::vector<std::vector<size_t>> isoforms = chooseIsoforms(rng, nrExons, wanted);
    // Alternative first and last exons: some isoforms keep only an inner run of exons.
    for (size_t i = 1; i < isoforms.size(); ++i) {
        std::vector<size_t>& subset = isoforms[i];
        if (subset.size() > 3 && rng.uniform() < 0.3)
            subset.erase(subset.begin(), subset.begin() + rng.range(1, static_cast<int64_t>(subset.size()) / 2));
        if (subset.size() > 3 && rng.uniform() < 0.3)
            subset.resize(subset.size() - static_cast<size_t>(rng.range(1, static_cast<int64_t>(subset.size()) / 2)));
    }
    const double geneLevel = std::exp(2.0 * rng.normal());
    std::set<std::vector<size_t>> seen;
    for (const auto& subset : isoforms) {
        if (!seen.insert(subset).second)
            continue;
        addTranscript(exons, subset, geneLevel * std::exp(rng.normal()), gene, transcriptNumber, model);
    }
}

} // namespace

Model buildModel(const Options& opt, Random& rng)
{
    Model model;
    const int nrChrom = opt.chromosomes;
    for (int c = 0; c < nrChrom; ++c)
        model.chromosomeNames.push_back(std::to_string(c + 1));
    model.chromosomeLengths.assign(static_cast<size_t>(nrChrom), 0);

    uint64_t geneNumber = 0;
    uint64_t transcriptNumber = 0;
    for (int c = 0; c < nrChrom; ++c) {
        const uint64_t genesHere =
            opt.genes / static_cast<uint64_t>(nrChrom) + (static_cast<uint64_t>(c) < opt.genes % nrChrom ? 1 : 0);
        int32_t position = static_cast<int32_t>(rng.range(1000, 5000));
        int32_t chromEnd = position;
        for (uint64_t g = 0; g < genesHere; ++g) {
            SimGene gene;
            ++geneNumber;
            gene.id = "SIMG" + zeroPadded(geneNumber, 5);
            gene.name = "Sim" + std::to_string(geneNumber);
            gene.chromosome = c;
            gene.forward = rng.uniform() < 0.5;

            if (opt.realistic)
                addRealisticGene(rng, gene, position, transcriptNumber, model, geneNumber == 1 ? opt.wideGene : 0);
            else
                addSimpleGene(rng, gene, position, transcriptNumber, model);
            chromEnd = std::max(chromEnd, gene.end);
            // With overlapping genes every second gene starts inside the one before it; real
            // annotations overlap less regularly, often a gene on the other strand.
            if (opt.overlapping && g % 2 == 0)
                position = gene.start + (gene.end - gene.start) / 2;
            else if (opt.realistic && rng.uniform() < 0.35)
                position = static_cast<int32_t>(rng.range(gene.start, gene.start + (gene.end - gene.start) * 3 / 4));
            else
                position = chromEnd + static_cast<int32_t>(rng.range(2000, 15000));
            model.genes.push_back(std::move(gene));
        }
        model.chromosomeLengths[static_cast<size_t>(c)] = chromEnd + static_cast<int32_t>(rng.range(1000, 5000));
    }

    static const char kBases[] = {'A', 'C', 'G', 'T'};
    for (int32_t length : model.chromosomeLengths) {
        std::string seq(static_cast<size_t>(length), 'N');
        for (char& b : seq)
            b = kBases[rng.next() >> 62];
        model.sequences.push_back(std::move(seq));
    }
    return model;
}

std::vector<Fragment> sampleFragments(const Options& opt, Model& model, Random& rng)
{
    std::vector<double> cumulative;
    double total = 0.0;
    for (const auto& tr : model.transcripts) {
        total += tr.weight;
        cumulative.push_back(total);
    }
    std::vector<Fragment> fragments;
    fragments.reserve(opt.fragments);
    for (uint64_t i = 0; i < opt.fragments; ++i) {
        const double pick = rng.uniform() * total;
        auto at = std::upper_bound(cumulative.begin(), cumulative.end(), pick);
        const auto t = static_cast<size_t>(std::min<std::ptrdiff_t>(at - cumulative.begin(),
                                                                     static_cast<std::ptrdiff_t>(cumulative.size()) - 1));
        Transcript& tr = model.transcripts[t];
        int64_t length = 0;
        for (int tries = 0; tries < 100 && length < 1; ++tries)
            length = std::lround(opt.fragMean + opt.fragSd * rng.normal());
        if (length < 1)
            length = std::max<int64_t>(1, std::lround(opt.fragMean));
        length = std::min<int64_t>(length, tr.length);
        const int64_t offset = rng.range(0, tr.length - length);
        fragments.push_back({static_cast<uint32_t>(t), static_cast<int32_t>(offset), static_cast<int32_t>(length)});
        ++tr.fragments;
    }
    return fragments;
}

// Multiplies the abundance of every transcript of the genes listed in the
// scale file (gene id, tab, factor per line): the known fold changes of a
// simulated condition.
bool applyScale(const Options& opt, Model& model)
{
    std::ifstream in(opt.scalePath);
    if (!in) {
        std::cerr << "simulate: cannot read " << opt.scalePath << "\n";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream fields(line);
        std::string id;
        double factor = 0.0;
        auto gene = model.genes.end();
        if (fields >> id >> factor && factor > 0.0 && std::isfinite(factor))
            gene = std::find_if(model.genes.begin(), model.genes.end(), [&](const SimGene& g) { return g.id == id; });
        if (gene == model.genes.end()) {
            std::cerr << "simulate: " << opt.scalePath << " line " << number
                      << ": expected a simulated gene id and a positive factor\n";
            return false;
        }
        for (size_t t : gene->transcripts)
            model.transcripts[t].weight *= factor;
    }
    return true;
}

} // namespace simulation
