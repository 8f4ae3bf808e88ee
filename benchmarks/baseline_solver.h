// The exact inversion without the work its price evaluations now share
// (see baseline_solver.cpp): the same results, the earlier cost.
#ifndef VORNET_BENCHMARKS_BASELINE_SOLVER_H
#define VORNET_BENCHMARKS_BASELINE_SOLVER_H

#include <cstdint>

namespace vornet::baseline {

// The implied total standard deviation, NaN unless solved.
double implied_sigma(double price, double S, double K, double D, double F,
                     std::int32_t flag) noexcept;

}  // namespace vornet::baseline

#endif
