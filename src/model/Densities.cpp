#include "model/Densities.h"

#include <cmath>

double normpdf(const double& sigma, const double& x, const double& mu)
{
    const double z = (x - mu) / sigma;
    return std::exp(-z * z * 0.5) / (kSqrtTwoPi * sigma);
}

double chi2pdf(const double& x, const double& k)
{
    return std::pow(x, (k - 2.0) * 0.5) * std::exp(-x * 0.5) / (std::tgamma(0.5 * k) * std::pow(2.0, 0.5 * k));
}
