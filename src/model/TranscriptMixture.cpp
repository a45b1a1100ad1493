#include "model/TranscriptMixture.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iomanip>
#include <limits>
#include <memory>
#include <new>

#include "model/EStep.h"
#include "model/L1Trace.h"
#include "model/ModelChecks.h"
#include "model/PositionalBias.h"
#include "output/BetaHistory.h"
#include "util/Errors.h"
#include "util/Files.h"

namespace {

// 1 / DBL_MIN: stands in for a division by the smallest normal double.
constexpr double kInverseSmallestNormal = 4.49423283715579e307;
// The first iteration whose log-likelihood is compared with the one before it.
constexpr int16_t kFirstLikelihoodTest = 10;

void checkFragments(const CompatibleFragments& fragments, uint64_t T)
{
    const uint64_t N = fragments.size();
    check(fragments.firstEntry.size() == N + 1 && fragments.entryTranscript.size() == fragments.firstEntry[N]
              && fragments.entryStart.size() == fragments.firstEntry[N]
              && fragments.entryLength.size() == fragments.firstEntry[N],
          "one start and length per compatible transcript of every fragment");
    // The fragment step keeps a fragment's sums by entry, one slot per transcript.
    for (uint64_t h = 0; h < N; ++h) {
        for (uint64_t e = fragments.firstEntry[h]; e < fragments.firstEntry[h + 1]; ++e) {
            const uint32_t t = fragments.entryTranscript[e];
            check(t < T && (e == fragments.firstEntry[h] || fragments.entryTranscript[e - 1] < t),
                  "the compatible transcripts of a fragment are distinct transcripts of the gene, in order");
        }
    }
}

struct TiedGroups {
    uint64_t count = 0;
    // No two transcripts share a group.
    bool distinct = true;
};

TiedGroups tiedGroups(const std::vector<uint64_t>& transcriptGroup)
{
    TiedGroups groups;
    for (uint64_t g : transcriptGroup)
        groups.count = std::max(groups.count, g + 1);
    std::vector<char> groupTaken(groups.count, 0);
    for (uint64_t g : transcriptGroup) {
        groups.distinct = groups.distinct && !groupTaken[g];
        groupTaken[g] = 1;
    }
    return groups;
}

void updateBetas(EStepSums& sums, std::vector<double>& betas, uint64_t G, uint64_t K)
{
    for (uint64_t g = 0; g < G; ++g) {
        for (uint64_t k = 0; k < K; ++k) {
            double& accu = sums.betasAccu[g * K + k];
            betas[g * K + k] = sums.probGroup[g] > DBL_MIN ? accu / sums.probGroup[g] : accu * kInverseSmallestNormal;
            accu = 0.0;
        }
        sums.probGroup[g] = 0.0;
    }
}

// Takes the new alphas out of the sums; true when none moved by minParamDiff or more.
bool updateAlphas(EStepSums& sums, std::vector<double>& alphas, double minParamDiff)
{
    bool converged = true;
    for (uint64_t t = 0; t < alphas.size(); ++t) {
        if (!(std::fabs(sums.newAlphas[t] - alphas[t]) < minParamDiff))
            converged = false;
        alphas[t] = sums.newAlphas[t];
        sums.newAlphas[t] = 0.0;
    }
    return converged;
}

void logIteration(std::stringstream& log, const TrainingOptions& options, int16_t i, const std::vector<double>& alphas,
                  bool converged, bool likelihoodSettled, double logLikelihood)
{
    if (options.observAlphas) {
        log << std::fixed << std::setprecision(5) << "Alphas, iteration ( " << (i + 1) << " ) : ";
        for (double a : alphas)
            log << a << '\t';
        log << '\n';
    }
    if (converged && i > 9)
        log << "\nFinished Initialization in iteration " << (i + 1) << " with log likelihood " << logLikelihood << "\n"
            << "Terminated the EM algorithm because the change in value of parameters between two "
               "iterations was below "
            << std::fixed << options.minParamDiff << "\n";
    if (likelihoodSettled)
        log << "\nFinished Initialization in iteration " << (i + 1) << " with log likelihood " << logLikelihood << "\n"
            << "Terminated the EM algorithm because difference in log(likelihood) between this iteration "
               "and the previous iteration was below "
            << options.likelihoodThreshold << "\n";
}

// The log-likelihood stopping rule. Without log files the E-step sums a bounded
// likelihood; a difference too close to the threshold to decide on bounded sums is
// decided on exact ones, summed again at the parameters of this iteration and the one
// before.
class LikelihoodRule {
public:
    LikelihoodRule(EStepInput& input, bool blocked, uint64_t N, uint64_t T, uint64_t G, uint64_t K,
                   double threshold, size_t maxIterations)
        : input(input), blocked(blocked), N(N), T(T), G(G), K(K), threshold(threshold)
    {
        logLikelihoods.reserve(maxIterations);
        likelihoodBounds.reserve(maxIterations);
    }

    // Before iteration i's E-step: whether it sums the likelihood, and at which parameters.
    void prepare(int16_t i, const std::vector<double>& alphas, const std::vector<double>& betas)
    {
        input.needLikelihood = i + 1 >= kFirstLikelihoodTest;
        if (input.needLikelihood && input.boundedLikelihood) {
            alphasBefore.swap(alphasNow);
            betasBefore.swap(betasNow);
            alphasNow.assign(alphas.begin(), alphas.end());
            betasNow.assign(betas.begin(), betas.end());
        }
    }

    // Takes the iteration's likelihood out of the sums.
    void take(EStepSums& sums)
    {
        logLikelihoods.push_back(sums.logLikelihood);
        sums.logLikelihood = 0.0;
        likelihoodBounds.push_back(sums.likelihoodBound);
        sums.likelihoodBound = 0.0;
    }

    bool settled(int16_t i)
    {
        if (i < kFirstLikelihoodTest)
            return false;
        bool likelihoodSettled = false;
        double logLikelihood = logLikelihoods[i];
        double before = logLikelihoods[i - 1];
        const double margin = likelihoodBounds[i] + likelihoodBounds[i - 1];
        // No difference is below a threshold of zero or less.
        bool decided = !(threshold > 0.0);
        if (!decided && margin > 0.0) {
            // The difference is rounded as well, bounded or exact.
            constexpr double kEps = std::numeric_limits<double>::epsilon();
            const double slack = margin + 4.0 * kEps * (std::fabs(logLikelihood) + std::fabs(before));
            const double difference = std::fabs(logLikelihood - before);
            if (difference + slack < threshold) {
                likelihoodSettled = true;
                decided = true;
            } else if (difference - slack >= threshold) {
                decided = true;
            } else {
                logLikelihood = exactLikelihood(alphasNow, betasNow);
                before = exactLikelihood(alphasBefore, betasBefore);
                logLikelihoods[i] = logLikelihood;
                logLikelihoods[i - 1] = before;
                likelihoodBounds[i] = 0.0;
                likelihoodBounds[i - 1] = 0.0;
                // Differences this close to the threshold tend to stay close: the
                // rest of the training sums exactly rather than twice over.
                input.boundedLikelihood = false;
            }
        }
        if (!decided)
            likelihoodSettled = std::fabs(logLikelihood - before) < threshold;
        return likelihoodSettled;
    }

    // The last iteration's log-likelihood, exact where the rule needed it so.
    double latest() const { return logLikelihoods.back(); }

private:
    // The sum of log p in fragment order, block by block as the E-step adds it up.
    double exactLikelihood(const std::vector<double>& atAlphas, const std::vector<double>& atBetas)
    {
        if (!exactSums) {
            exactSums = std::make_unique<EStepSums>(T, G, K);
            exactScratch = std::make_unique<EStepScratch>(T, G, K);
        }
        EStepInput exact = input;
        exact.alphas = atAlphas.data();
        exact.betas = atBetas.data();
        exact.needLikelihood = true;
        exact.boundedLikelihood = false;
        const uint64_t nrBlocks = blocked ? kEStepBlocks : 1;
        double sum = 0.0;
        for (uint64_t b = 0; b < nrBlocks; ++b) {
            const FragmentBlock range = blocked ? fragmentBlock(N, nrBlocks, b) : FragmentBlock{0, N};
            exactSums->logLikelihood = 0.0;
            runEStep(exact, false, range.begin, range.end, *exactScratch, *exactSums);
            sum += exactSums->logLikelihood;
        }
        return sum;
    }

    EStepInput& input;
    const bool blocked;
    const uint64_t N, T, G, K;
    const double threshold;
    std::vector<double> logLikelihoods;
    std::vector<double> likelihoodBounds;
    std::vector<double> alphasNow;
    std::vector<double> betasNow;
    std::vector<double> alphasBefore;
    std::vector<double> betasBefore;
    std::unique_ptr<EStepSums> exactSums;
    std::unique_ptr<EStepScratch> exactScratch;
};

// The EM iterations, up to a stopping rule or the iteration limit. A blocked E-step
// sums a fixed number of blocks of fragments, at any thread count.
void iterate(const FragmentTable& table, uint64_t N, std::vector<double>& alphas, std::vector<double>& betas,
             const std::vector<uint64_t>& transcriptGroup, const TiedGroups& groups, uint64_t K, bool blocked,
             const TrainingOptions& options, L1Trace* trace, BetaHistory* history, std::stringstream& log)
{
    const uint64_t T = alphas.size();
    const uint64_t G = groups.count;
    const bool trainBetas = options.trainBetas;
    EStepSums sums(T, G, K);
    EStepScratch scratch(T, G, K);
    EStepInput input{&table, alphas.data(), betas.data(), transcriptGroup.data(), static_cast<double>(N)};
    // The log files print the likelihood; otherwise only the stopping rule reads it.
    input.boundedLikelihood = !options.logFiles;
    input.distinctGroups = groups.distinct;
    LikelihoodRule rule(input, blocked, N, T, G, K, options.likelihoodThreshold,
                        static_cast<size_t>(std::max<int16_t>(options.nrIterations, 0)));
    BlockParallelEStepPtr blockParallel;
    if (blocked)
        blockParallel = startBlockParallelEStep(input, trainBetas, N, options.blockPool, T, G, K, sums);

    int16_t i = 0;
    bool stop = false;
    while (i < options.nrIterations) {
        if (trace)
            trace->record(alphas, betas);
        if (stop) {
            if (trace)
                trace->writeFinalDensities();
            break;
        }
        rule.prepare(i, alphas, betas);
        if (blockParallel)
            runBlockParallelEStep(*blockParallel);
        else
            runEStep(input, trainBetas, 0, N, scratch, sums);

        if (trainBetas)
            updateBetas(sums, betas, G, K);
        if (history)
            for (uint64_t g = 0; g < G; ++g)
                for (uint64_t k = 0; k < K; ++k)
                    (*history)[g][k].push_back(betas[g * K + k]);
        if (options.logFiles
            && std::any_of(sums.newAlphas.begin(), sums.newAlphas.end(), [](double a) { return std::isnan(a); }))
            log << "At least one element of the alpha parameters turned NaN during the estimation.\n";

        rule.take(sums);
        const bool converged = updateAlphas(sums, alphas, options.minParamDiff);
        const bool likelihoodSettled = rule.settled(i);
        if (converged || likelihoodSettled)
            stop = true;
        if (options.logFiles)
            logIteration(log, options, i, alphas, converged, likelihoodSettled, rule.latest());
        ++i;
    }
}

} // namespace

TrainingOptions trainingOptions(const t_configuration& conf, bool deferredPass)
{
    TrainingOptions options;
    options.nrComponents = conf.nrBlocks;
    options.nrIterations = conf.nrIterations;
    options.minParamDiff = conf.minParamDiff;
    options.likelihoodThreshold = conf.likelihoodThreshold;
    // The deferred pass always trains the betas (fix-betas is a single-thread option)
    // and sums every gene in blocks (on the run's threads: the caller gives the pool).
    options.trainBetas = conf.trainBetas || deferredPass;
    options.blockedFragments = deferredPass ? 0 : static_cast<uint64_t>(std::max<int32_t>(conf.fragsThreshold, 0));
    options.logFiles = conf.logFiles;
    options.observAlphas = conf.observAlphas;
    options.observBetas = conf.observBetas;
    options.normalizeLengths = conf.normalizeLengths;
    options.biasType = conf.biasType;
    return options;
}

TranscriptMixture::TranscriptMixture(const std::vector<double>& weights, const std::vector<std::vector<double>>& shifts,
                                     const std::vector<std::vector<double>>& scales,
                                     const std::vector<uint64_t>& transcript2TiedGroup,
                                     const std::vector<GaussMixture>& tiedGroupPDFs)
    : _nrTranscripts(weights.size()), _transcriptShifts(shifts), _transcriptScales(scales),
      _transcript2TiedGroup(transcript2TiedGroup), _tiedGroupPDFs(tiedGroupPDFs)
{
    const uint64_t T = _nrTranscripts;
    const uint64_t nrTiedGroups = tiedGroupPDFs.size();
    const uint64_t dim = tiedGroupPDFs.empty() ? 0 : tiedGroupPDFs[0].dimension();
    check(nrTiedGroups >= 1 && nrTiedGroups <= T, "1 <= number of tied groups <= number of transcripts");
    check(dim >= 1, "model dimension is at least 1");
    check(_transcriptShifts.size() == T && _transcriptScales.size() == T && _transcript2TiedGroup.size() == T,
          "shifts, scales and group indices have one entry per transcript");
    check(sumsToOne(weights), "transcript weights sum to 1 within 1e-10");
    for (uint64_t t = 0; t < T; ++t) {
        check(_transcript2TiedGroup[t] < nrTiedGroups, "every group index is below the number of tied groups");
        check(allPositive(_transcriptScales[t]), "every scale is greater than 0");
    }
    for (const GaussMixture& pdf : _tiedGroupPDFs)
        check(pdf.dimension() == dim, "every tied group's mixture has the model's dimension");
    for (uint64_t t = 0; t < T; ++t)
        check(_transcriptShifts[t].size() == dim && _transcriptScales[t].size() == dim,
              "every shift and scale has the model's dimension");
}

void TranscriptMixture::train(CompatibleFragments& fragments, GeneMap::iterator& gene, std::vector<double>& alphas,
                              const TrainingOptions& options, std::stringstream& log, const std::string& outputDir)
{
    std::vector<t_transcript>& transcripts = gene->second.transcripts;
    const uint64_t T = _nrTranscripts;
    const uint64_t N = fragments.size();
    check(options.nrComponents >= 1, "number of mixture components is at least 1");
    const uint64_t K = static_cast<uint64_t>(options.nrComponents);
    check(transcripts.size() == T && alphas.size() == T, "gene, alphas and model have the same transcripts");
    checkFragments(fragments, T);
    const TiedGroups groups = tiedGroups(_transcript2TiedGroup);
    const uint64_t G = groups.count;
    for (uint64_t g = 0; g < G; ++g)
        check(_tiedGroupPDFs[g]._nrMixtures == K && _tiedGroupPDFs[g]._weights.size() == K,
              "every tied group's mixture has one component per block");

    const GaussMixture& shape = _tiedGroupPDFs[0];
    ScaledComponents scaled;
    scaled.means.resize(T * K);
    scaled.devs.resize(T * K);
    for (uint64_t t = 0; t < T; ++t) {
        transcripts[t].componentMeans.resize(K);
        for (uint64_t k = 0; k < K; ++k) {
            const double mean = shape._means[k][0] * _transcriptScales[t][0] + _transcriptShifts[t][0];
            transcripts[t].componentMeans[k] = mean;
            scaled.means[t * K + k] = mean;
            scaled.devs[t * K + k] = shape._stdDevs[k][0] * _transcriptScales[t][0];
        }
    }

    FragmentTable table;
    try {
        table = buildFragmentTable(fragments, gene->second, T, K, scaled, options.blockPool);
    } catch (const std::bad_alloc&) {
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    }

    std::vector<double> betas(G * K);
    for (uint64_t g = 0; g < G; ++g)
        for (uint64_t k = 0; k < K; ++k)
            betas[g * K + k] = _tiedGroupPDFs[g]._weights[k];

    std::vector<std::vector<double>> references;
    std::unique_ptr<L1Trace> trace;
    if (options.biasType != 0) {
        references = biasReferenceDensities(transcripts, options.biasType);
        trace = std::make_unique<L1Trace>(outputDir + "/L1_Dist_" + files::fileSafeName(gene->second.geneName),
                                          references, gene->second, _transcript2TiedGroup, G, K, scaled,
                                          options.nrIterations);
    }
    BetaHistory history;
    if (options.observBetas) {
        const size_t maxIterations = static_cast<size_t>(std::max<int16_t>(options.nrIterations, 0));
        history.assign(G, std::vector<std::vector<double>>(K));
        for (auto& groupHistory : history)
            for (auto& values : groupHistory)
                values.reserve(maxIterations);
    }

    iterate(table, N, alphas, betas, _transcript2TiedGroup, groups, K,
            gene->second.fragsLocus >= options.blockedFragments, options, trace.get(),
            options.observBetas ? &history : nullptr, log);

    if (trace)
        trace->close(alphas);
    if (options.observBetas)
        writeBetaHistory(history, outputDir);
    for (uint64_t g = 0; g < G; ++g)
        _tiedGroupPDFs[g].weights(std::vector<double>(betas.begin() + g * K, betas.begin() + (g + 1) * K));
    if (options.normalizeLengths)
        normaliseLengths(transcripts, _transcript2TiedGroup, shape, betas, K);
}
