// Sensitivities of the American price in market terms.
//
// delta = dP/dS and gamma = d2P/dS2 with r, q, T and vol held (the forward
// moves with the spot) come from the formula itself; vega = dP/dvol (per
// 1.00 of volatility), theta = -dP/dT (per year) and rho = dP/dr (per 1.00
// of rate, q held) move the critical spot as well and are differences of
// the exact price:
//   f'(x) ~ (f(x-2h) - 8 f(x-h) + 8 f(x+h) - f(x+2h)) / 12h,  error O(h^4),
// with h first a thousandth of vol or T, and for r a basis point or a
// thousandth of r, whichever is smaller, but never below 1e-8 / T; h is
// halved until two successive differences agree to 1e-9 relative (at most
// eight times), since close to the exercise region the price bends over a
// small fraction of the input. Where the price is the exercise value, vega,
// theta and rho are 0. A stencil never reaches into the exercise region,
// where the holding value's derivative jumps, nor onto the model's other
// branch in r (it switches to its undiscounted branch where exp(-rT) reaches
// 1: at r = 0, or just above it): it is one-sided (five points, also
// O(h^4)) instead, and next to r = 0 on the discounted side also central
// within an eighth of r, whichever is the steadier.
#ifndef VORNET_NUMERICS_GREEKS_H
#define VORNET_NUMERICS_GREEKS_H

#include <cstdint>

namespace vornet {

struct option_greeks {
    double delta;
    double gamma;
    double vega;
    double theta;
    double rho;
};

// The American price at S, K, T, r, q, vol (market_terms.h).
double market_price(double S, double K, double T, double r, double q, double vol,
                    std::int32_t flag) noexcept;

// The five Greeks, for vol > 0; NaN in all five otherwise.
option_greeks baw_greeks(double S, double K, double T, double r, double q, double vol,
                         std::int32_t flag) noexcept;

}  // namespace vornet

#endif
