#pragma once

// sqrt(2 pi) as one decimal constant so that every normal density agrees bit for bit.
inline constexpr double kSqrtTwoPi = 2.5066282746310002;
// The density of fragment lengths, N(200, 80).
inline constexpr double kFragLengthMean = 200.0;
inline constexpr double kFragLengthSd = 80.0;

double normpdf(const double& sigma, const double& x, const double& mu);
double chi2pdf(const double& x, const double& k);
