// The European option on the forward (Black-76) in market terms: its price
// and its sensitivities in closed form, in the conventions of greeks.h.
//
// With discount factor D, forward F, total standard deviation
// sigma = vol sqrt(T), d1 = ln(F/K)/sigma + sigma/2, d2 = d1 - sigma and
// z = +1 for a call, -1 for a put:
//   P     = z D (F N(z d1) - K N(z d2))
//   delta = z D (F/S) N(z d1)                  (F moves with S)
//   gamma = D (F/S) phi(d1) / (S sigma)
//   vega  = D F phi(d1) sqrt(T)                (per 1.00 of vol)
//   theta = z (q D F N(z d1) - r D K N(z d2)) - D F phi(d1) vol / (2 sqrt(T))
//   rho   = z T D K N(z d2)                    (q held)
// theta is -dP/dT with r, q and vol held; r and q are those that give D and
// F over T.
#ifndef VORNET_NUMERICS_EUROPEAN_H
#define VORNET_NUMERICS_EUROPEAN_H

#include <cstdint>

#include "greeks.h"

namespace vornet {

// The Black-76 price (normal.h's black76_price): the discounted intrinsic
// value on the forward for sigma <= 0.
double european_price(double K, double D, double F, double sigma, std::int32_t flag) noexcept;

// The five Greeks at S, K, T, the discount factor D and forward F (and the
// rate r and dividend yield q they stand for), vol; NaN in all five unless
// the inputs are valid (market_terms.h's valid_option) and vol > 0.
option_greeks european_greeks(double S, double K, double T, double D, double F, double r,
                              double q, double vol, std::int32_t flag) noexcept;

// delta and vega alone, for an option already known to be valid, at a
// positive total standard deviation sigma.
struct delta_vega {
    double delta;
    double vega;  // per 1.00 of vol
};

delta_vega european_delta_vega(double S, double K, double T, double D, double F, double sigma,
                               std::int32_t flag) noexcept;

}  // namespace vornet

#endif
