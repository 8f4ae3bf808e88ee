// Barone-Adesi-Whaley (1987) quadratic approximation of the American price.
//
// Total-variance form: with time T, rate r, carry b and volatility s the inputs
// are D = exp(-rT), F = S exp(bT) and sigma = s sqrt(T), so that
// rT = -ln D, bT = ln(F/S) and s^2 T = sigma^2.
#ifndef VORNET_NUMERICS_BAW_H
#define VORNET_NUMERICS_BAW_H

#include <cstdint>

namespace vornet {

// What the critical-price objectives read: the option and the exponent of the
// side being searched (q2 for the call, q1 for the put).
struct critical_price_args {
    double K;
    double D;
    double rho;  // F / S = exp(bT)
    double sigma;
    double q;
};

// Undiscounted exercise value on the spot: S - K or K - S when positive, else
// +0.0 (also for NaN). No American price is below it.
double exercise_value(double S, double K, std::int32_t flag) noexcept;

// What an objective evaluation leaves besides g(x): d1(x), and N(+-d1(x))
// (N(d1) for the call, N(-d1) for the put), which the premium needs again
// at S*.
struct critical_terms {
    double d1;
    double n;
};

// g_c(x) = (1 - N(d1(x)) D rho) x / q + c(x) - (x - K), zero at the call's
// critical spot S*; c is the Black-76 call at forward x rho.
double call_critical_objective(double x, const critical_price_args &a, critical_terms &t) noexcept;

// g_p(x) = p(x) - (1 - N(-d1(x)) D rho) x / q - (K - x), zero at the put's
// critical spot S**; p is the Black-76 put at forward x rho.
double put_critical_objective(double x, const critical_price_args &a, critical_terms &t) noexcept;

// beta = 2b/sigma^2 - 1 of the quadratic, written with bT = ln(rho), and its
// discriminant beta^2 + 4 (2r/sigma^2) / (1 - exp(-rT)) with rT = -ln D,
// floored at zero (NaN stays NaN). The exponents are (-beta -+ sqrt) / 2.
double carry_exponent(double ln_rho, double sigma) noexcept;
double quadratic_discriminant(double D, double ln_D, double sigma, double beta) noexcept;

// What the price of one option needs that does not depend on sigma, computed
// once for all the prices an inversion evaluates. Every term is computed
// exactly as the price computes it, so that the price is the same to the bit
// whether it comes from these terms or from the inputs.
struct option_terms {
    double S;
    double K;
    double D;
    double F;
    std::int32_t flag;
    double rho;          // F / S
    double ln_rho;       // ln(F / S) = bT
    double ln_D;         // ln D = -rT
    double ln_F_over_K;  // ln(F / K), in d1 of the European price
};

option_terms terms_of(double S, double K, double D, double F, std::int32_t flag) noexcept;

// American price of a call (flag 1) or put: the Black-76 price plus the
// early-exercise premium, or the exercise value beyond the critical spot.
// Never below the exercise value nor the Black-76 price: with sigma <= 0 it is
// the larger of the exercise value and the discounted intrinsic value on the
// forward, with D >= 1 the larger of the exercise value and the Black-76
// price, and otherwise the approximation floored at both. A NaN among S, K,
// D, F and sigma is returned as it is (the first one, in that order).
double baw_price_core(double S, double K, double D, double F, double sigma,
                      std::int32_t flag) noexcept;

// baw_price_core(S, K, D, F, sigma, flag) from the option's terms.
double baw_price_of(const option_terms &option, double sigma) noexcept;

// The first two derivatives of the American price in the spot, with the
// carry F/S (and D, sigma) held: beyond the critical spot those of the
// exercise value, below it those of the European price plus the premium
// A (S/S*)^q, whose S* does not depend on S.
struct spot_derivatives {
    double delta;
    double gamma;
};

// baw_price_core's price, bit for bit, with its delta and gamma.
double baw_price_with_spot_derivatives(double S, double K, double D, double F, double sigma,
                                       std::int32_t flag, spot_derivatives &derivatives) noexcept;

// delta and gamma as above, and vega = dP/dsigma (per unit of total
// standard deviation) in closed form: the Black-76 vega D F phi(d1), plus
// below the critical spot the premium's, S* moving with sigma (it solves
// g = 0, so its move enters as -(S/S*)^q dg/dsigma); 0 beyond the critical
// spot, and that of the bound where the price is floored at one.
struct price_sensitivities {
    double delta;
    double gamma;
    double vega;
};

// baw_price_core's price, bit for bit, with its delta, gamma and vega.
double baw_price_with_sensitivities(double S, double K, double D, double F, double sigma,
                                    std::int32_t flag, price_sensitivities &sensitivities) noexcept;

}  // namespace vornet

#endif
