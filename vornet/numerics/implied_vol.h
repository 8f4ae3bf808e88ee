// Implied total standard deviation: inversion of the American price for one
// option.
#ifndef VORNET_NUMERICS_IMPLIED_VOL_H
#define VORNET_NUMERICS_IMPLIED_VOL_H

#include <cstdint>

namespace vornet {

// How an inversion ended. A price below the model's price at sigma = 1e-8
// (with carry, the discounted intrinsic value on the forward can exceed the
// exercise value) has no time value in the model either.
enum class implied_vol_status : std::int8_t {
    solved = 0,
    no_time_value = 1,   // at or below the lowest price the model gives
    above_maximum = 2,   // no bracket below sigma = 10
    invalid_input = 3,   // a NaN input, or a NaN model price
    no_convergence = 4,  // the root finder's iteration limit
    // The price does not move with sigma around the root (only from the
    // market-terms inversions, market_implied_vol.h).
    no_volatility_info = 5,
    // The model does not price the option (the integral model's put with
    // q < r < 0, or the call with r < q < 0: two exercise boundaries).
    unsupported = 6,
};

struct implied_vol_result {
    double sigma;  // the root (the last iterate without convergence), else NaN
    implied_vol_status status;
};

// An inversion of one option's price, as the solvers of this directory have it.
using implied_vol_solver = implied_vol_result (*)(double price, double S, double K, double D,
                                                  double F, std::int32_t flag) noexcept;

// The inversion, with the reason it found no root.
implied_vol_result solve_implied_vol(double price, double S, double K, double D, double F,
                                     std::int32_t flag) noexcept;

// solve_implied_vol answered through the value alone: +0.0 when the price carries no time value (at or below the exercise
// value plus the tolerance), -1.0 when an input is NaN or when no bracket or no
// sign change is found, otherwise the root within [1e-8, hi] with hi in
// {1, 2, 4, 8}.
double baw_implied_vol_core(double price, double S, double K, double D, double F,
                            std::int32_t flag) noexcept;

}  // namespace vornet

#endif
