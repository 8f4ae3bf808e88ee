// The volatility at which the integral model (american_integral.h) gives a
// price: Newton's method on the logarithm of the time value (the price less
// the model's price at zero volatility) inside a bracket that every
// evaluation narrows (a step that leaves it bisects it), started from the
// approximation's implied volatility (market_implied_vol.h's fast
// inversion) or, where it has none, from the European one. The slope comes
// from the model's own vega (exact for the price as computed) at the start
// and after a long step or a bisection; elsewhere from the last two prices
// and the slope before, so that those evaluations cost a price alone. It
// ends once a step is below 1e-11, or once Newton's error after it
// (estimated from the last two slopes) is far below.
//
// Statuses (implied_vol.h): invalid_input for a NaN or infinite input, an S,
// K or T that is not positive or a negative price; unsupported where the
// model has two boundaries; no_time_value at or below the model's price at
// zero volatility (its lowest); above_maximum above its price at a total
// standard deviation of 8; no_convergence after the iteration limit; and
// no_volatility_info where the model's price at half or at twice the root
// equals the price to within the model's accuracy (1e-8 plus 1e-7 of the
// price), so that the price does not tell the root from a volatility half or
// twice as large (a deep in-the-money price at its exercise value up to some
// volatility), and at once where the price is that close to the price at
// zero volatility.
#ifndef VORNET_NUMERICS_INTEGRAL_IMPLIED_VOL_H
#define VORNET_NUMERICS_INTEGRAL_IMPLIED_VOL_H

#include <cstdint>

#include "american_integral.h"
#include "implied_vol.h"

namespace vornet {

// The result's sigma is the annualised volatility (not the total deviation).
implied_vol_result integral_implied_vol(double price, double S, double K, double T, double r,
                                        double q, std::int32_t flag,
                                        const integral_settings &settings
                                        = integral_default) noexcept;

}  // namespace vornet

#endif
