#include "kestrovemodel.h"

double normpdf(const double&, const double&, const double&) { return 0.0; }
double chi2pdf(const double&, const double&) { return 0.0; }
void GaussMixture::setAllParams(const std::vector<std::vector<double>>&, const std::vector<std::vector<double>>&, const std::vector<double>&) {}
void GaussMixture::weights(const std::vector<double>&) {}
double GaussMixture::likelihood(const std::vector<double>&) const { return 0.0; }
double GaussMixture::likelihood(const std::vector<double>&, const std::vector<double>&, const std::vector<double>&) const { return 0.0; }
KestroveModel::KestroveModel(const std::vector<double>&, const std::vector<std::vector<double>>&, const std::vector<std::vector<double>>&, const std::vector<uint64_t>&, const std::vector<GaussMixture>&) {}
double KestroveModel::likelihood(const std::vector<double>&) const { return 0.0; }
double KestroveModel::likelihood(const std::vector<double>&, uint64_t) const { return 0.0; }
void KestroveModel::train(FragmentMap&, GeneMap::iterator&, std::vector<double>&, const t_configuration&, std::stringstream&, const std::string&) {}
void KestroveModel::betasToFile(const std::vector<std::vector<std::vector<double>>>&, std::string) {}
void KestroveModel::calculateArtificalGenePDF(std::vector<std::vector<double>>&, GeneMap::iterator&, const t_configuration&) {}
