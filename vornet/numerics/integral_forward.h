// The forward search (forward.h) with the integral model's implied
// volatilities (integral_implied_vol.h): the forward in [0.97, 1.03] times
// the first guess at which the calls' and puts' implied total standard
// deviations agree best, by the same bounded minimisation. The model needs
// the time to expiry T, from which it reads the rate r = -ln(D)/T and, at
// each trial forward F, the dividend yield q = r - ln(F/S)/T.
#ifndef VORNET_NUMERICS_INTEGRAL_FORWARD_H
#define VORNET_NUMERICS_INTEGRAL_FORWARD_H

#include "forward.h"

namespace vornet {

struct integral_forward_args {
    forward_search_args quotes;
    double T;
};

// Mean |sigma_call - sigma_put| over the strikes whose call and put both
// have an implied volatility at forward F; 1e10 when none has.
double integral_forward_objective(double F, void *record) noexcept;

double search_forward_integral(integral_forward_args &args, double F_init) noexcept;

// The integral model's implied volatility of one quote at forward F (NaN
// where it has none).
double integral_forward_vol(double price, double S, double K, double D, double F, double T,
                            std::int32_t flag) noexcept;

}  // namespace vornet

#endif
