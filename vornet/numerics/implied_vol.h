// Implied total standard deviation: inversion of the American price for one
// option.
#ifndef VORNET_NUMERICS_IMPLIED_VOL_H
#define VORNET_NUMERICS_IMPLIED_VOL_H

#include <cstdint>

namespace vornet {

// What implied_vol_objective reads: the option and the price to match.
struct implied_vol_args {
    double S;
    double K;
    double D;
    double F;
    double price;
    std::int32_t flag;
};

// baw_price_core(S, K, D, F, sigma, flag) - price, for the root finder.
double implied_vol_objective(double sigma, void *record) noexcept;

// The sigma at which baw_price_core reproduces `price`. Answers through the
// value: +0.0 when the price carries no time value (at or below the exercise
// value plus the tolerance), -1.0 when an input is NaN or when no bracket or no
// sign change is found, otherwise the root within [1e-8, hi] with hi in
// {1, 2, 4, 8}.
double baw_implied_vol_core(double price, double S, double K, double D, double F,
                            std::int32_t flag) noexcept;

}  // namespace vornet

#endif
