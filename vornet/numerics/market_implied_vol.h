// The implied total standard deviation that the market-terms functions
// report: solve_implied_vol's (or the fast solver's), except where the
// approximation's price is not monotone in sigma or does not move with it.
//
// Near sigma = 0 the price of the approximation is not monotone: the
// exponents of its premium lose their precision, and it may lie above its
// values at larger sigma (a put at S 100, K 49.04 whose price is 0.0072 at
// sigma 1e-8, 0.0032 at 2e-8 and 0.0042 at 0.075). solve_implied_vol's
// bracket starts at 1e-8, so a price inside such a dip looks as if it had no
// time value, or is solved at a root inside the noise. Here, for a price
// more than 1e-10 above the model's floor (its price at sigma = 0: the larger
// of the exercise value and the discounted intrinsic value on the forward),
//   - where the solver reports no time value, or
//   - where it solves at a root s at which the price runs the wrong way (its
//     price at s / 2 is above the target, or its price at 2 s below it, by
//     more than a few units of the last place),
// the root is sought on the monotone branch instead: the upper end of the
// solver's bracket (1, doubled while the price is short of the target) is
// halved while the price is not below the target, down to 1e-8, and Brent's
// method solves between the last two ends to 1e-10. When no end falls below
// the target, the solver's answer stands.
//
// A price that does not move with sigma carries no volatility: where the
// model's prices at half and at twice a root both equal the target to within
// four units of its last place (a deep in-the-money option whose price is
// its floor to the last bit for every sigma up to some value), the answer is
// no_volatility_info, not a root.
//
// Every other option gets the solver's result as it is, bit for bit. With the
// fast solver only the options it hands over to the exact one take this
// path: a root Newton's method accepts has a slope well above the price's
// rounding and lies on the monotone branch.
#ifndef VORNET_NUMERICS_MARKET_IMPLIED_VOL_H
#define VORNET_NUMERICS_MARKET_IMPLIED_VOL_H

#include <cstdint>

#include "fast_implied_vol.h"
#include "implied_vol.h"

namespace vornet {

implied_vol_result solve_market_implied_vol(double price, double S, double K, double D, double F,
                                            std::int32_t flag) noexcept;

implied_vol_result solve_market_implied_vol_fast(double price, double S, double K, double D,
                                                 double F, std::int32_t flag) noexcept;

// The same, with the price's delta and vega at a root Newton's method
// accepted (fast_implied_vol.h).
implied_vol_result solve_market_implied_vol_fast(double price, double S, double K, double D,
                                                 double F, std::int32_t flag,
                                                 root_sensitivities *at_root) noexcept;

}  // namespace vornet

#endif
