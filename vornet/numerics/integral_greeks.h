// Sensitivities of the integral model's price (american_integral.h) in
// market terms, in the conventions of greeks.h: delta and gamma from the
// price's formula at the solved boundary (which does not depend on the
// spot), vega, theta (-dP/dT) and rho (dP/dr, q held) by forward-mode
// differentiation through the boundary's solution and the price: all five
// exact for the price as computed.
#ifndef VORNET_NUMERICS_INTEGRAL_GREEKS_H
#define VORNET_NUMERICS_INTEGRAL_GREEKS_H

#include <cstdint>

#include "american_integral.h"
#include "greeks.h"

namespace vornet {

// NaN in all five for an invalid input, vol <= 0 or two boundaries.
option_greeks integral_greeks(double S, double K, double T, double r, double q, double vol,
                              std::int32_t flag,
                              const integral_settings &settings = integral_default) noexcept;

}  // namespace vornet

#endif
