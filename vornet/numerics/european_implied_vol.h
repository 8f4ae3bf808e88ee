// Implied total standard deviation of a European option on the forward
// (Black-76), to the accuracy its price allows.
//
// The price is first made that of an out-of-the-money call in normalised
// terms: with x = -|ln(F/K)| and the time value over the intrinsic value on
// the forward (put-call parity moves an in-the-money option out of it, and
// the put at x is the call at -x),
//   b(s) = e^{x/2} N(x/s + s/2) - e^{-x/2} N(x/s - s/2),   0 < b < e^{x/2},
//   beta = (price / D - max(intrinsic, 0)) / sqrt(F K),
//   gamma = (F or K - price / D) / sqrt(F K)   (e^{x/2} - beta, exactly)
// With h = x/s, t = s/2 and Y(z) = N(z)/phi(z) (Y(z) = sqrt(pi/2)
// erfcx(-z/sqrt 2)):
//   b(s) = phi0 (Y(h + t) - Y(h - t)),   b'(s) = phi0 = e^{-(h^2+t^2)/2}/sqrt(2 pi),
//   b''/b' = x^2/s^3 - s/4,   b'''/b' = (x^2/s^3 - s/4)^2 - 3 x^2/s^4 - 1/4,
// and the complement e^{x/2} - b(s) = phi0 sqrt(pi/2) (erfcx((h+t)/sqrt 2) +
// erfcx((t-h)/sqrt 2)), a sum of positive terms.
//
// The root is found by Householder's third-order method, kept inside a
// bracket that every evaluation narrows (a step that leaves it bisects it),
// on one of three objectives, by where beta lies:
//   - below the inflection point s_c = sqrt(2|x|): ln b(s) - ln beta, b's
//     logarithm being computed without forming b, from a difference of
//     erfcx, or for t < 0.21 and |x| < 1 from the Taylor series of Y in t
//     (no cancellation between the two values of Y);
//   - up to s_u, where the tangent at s_c reaches e^{x/2}: b(s) - beta;
//   - above: ln gamma - ln(e^{x/2} - b(s)), the complement computed as
//     above, so that a price close to its maximum keeps what its distance
//     from the maximum says.
// First guesses come from the asymptotic forms of b in each region; the
// iteration usually ends after two to four steps, once a step is below four
// units of the last place of s.
#ifndef VORNET_NUMERICS_EUROPEAN_IMPLIED_VOL_H
#define VORNET_NUMERICS_EUROPEAN_IMPLIED_VOL_H

#include <cstdint>

#include "implied_vol.h"

namespace vornet {

// The normalised inversion: the out-of-the-money call's total standard
// deviation at x <= 0 from beta > 0 and gamma = e^{x/2} - beta > 0 (both
// given, each from the price as exactly as it allows); NaN when the
// iteration did not converge.
double normalised_black_deviation(double beta, double gamma, double x) noexcept;

// The inversion in the model's terms. Statuses: invalid_input for a NaN or
// infinite input, a strike, discount factor or forward that is not
// positive, or a negative price; no_time_value for a price at or below the
// discounted intrinsic value on the forward, D max(F - K, 0) for a call,
// D max(K - F, 0) for a put; above_maximum at or above D F for a call, D K
// for a put; otherwise solved (no_convergence if the iteration failed,
// which the tests have not seen).
implied_vol_result solve_european_implied_vol(double price, double K, double D, double F,
                                              std::int32_t flag) noexcept;

// The same with the spot, in the form of implied_vol_solver (the spot does
// not enter the European price; it is checked like the other inputs).
implied_vol_result solve_european_implied_vol_at(double price, double S, double K, double D,
                                                 double F, std::int32_t flag) noexcept;

}  // namespace vornet

#endif
