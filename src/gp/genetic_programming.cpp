#include <evokit/gp/genetic_programming.h>

#include <cmath>

namespace evokit {

// The component for both value types, compiled once here.
template class TMXCustomGeneticProgramming<double>;
template class TMXCustomGeneticProgramming<Variant>;

namespace {

double Mean(std::span<const double> X) {
  double sum = 0;
  for (const double x : X) sum += x;
  return sum / static_cast<double>(X.size());
}

// The sum of (x - mean x)(y - mean y); X and Y have the same, non-zero length.
double CoDeviation(std::span<const double> X, std::span<const double> Y) {
  const double mx = Mean(X), my = Mean(Y);
  double sum = 0;
  for (std::size_t i = 0; i < X.size(); ++i) sum += (X[i] - mx) * (Y[i] - my);
  return sum;
}

}  // namespace

double CoVariance(std::span<const double> X, std::span<const double> Y) {
  if (X.size() != Y.size() || X.size() < 2) return 0;
  return CoDeviation(X, Y) / static_cast<double>(X.size() - 1);
}

double Correlation(std::span<const double> X, std::span<const double> Y) {
  if (X.size() != Y.size() || X.size() < 2) return 0;
  const double n1 = static_cast<double>(X.size() - 1);
  const double spread = std::sqrt(CoDeviation(X, X) / n1) * std::sqrt(CoDeviation(Y, Y) / n1);
  if (spread == 0) return 0;
  return CoDeviation(X, Y) / n1 / spread;
}

}  // namespace evokit
