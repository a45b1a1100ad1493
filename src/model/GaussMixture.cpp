#include "model/GaussMixture.h"

#include "model/ModelChecks.h"

void GaussMixture::setAllParams(const std::vector<std::vector<double>>& means,
                                const std::vector<std::vector<double>>& stdDevs,
                                const std::vector<double>& weights)
{
    _means = means;
    _stdDevs = stdDevs;
    _weights = weights;
    _nrMixtures = _means.size();
    check(_nrMixtures >= 1, "mixture has at least one component");
    check(_stdDevs.size() == _nrMixtures, "one deviation vector per component");
    check(_weights.size() == _nrMixtures, "one weight per component");
    _dim = _means[0].size();
    check(_dim >= 1, "mixture dimension is at least 1");
    check(sumsToOne(_weights), "weights sum to 1 within 1e-10");
    for (uint64_t i = 0; i < _nrMixtures; ++i) {
        check(_means[i].size() == _dim && _stdDevs[i].size() == _dim,
              "every mean and deviation has the mixture's dimension");
        check(allPositive(_stdDevs[i]), "every deviation is greater than 0");
    }
}

void GaussMixture::weights(const std::vector<double>& newWeights)
{
    check(_weights.size() == _nrMixtures, "current weights have one entry per component");
    check(sumsToOne(_weights), "weights sum to 1 within 1e-10");
    _weights = newWeights;
}
