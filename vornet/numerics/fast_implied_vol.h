// Implied total standard deviation by Newton's method: the fast solver.
//
// It inverts the same approximation as solve_implied_vol, in the same terms,
//   P(s) = E(s) + A(s) (S/S*)^q,   below the critical spot S* (above it,
//   the exercise value),
// but it does not search with brackets. Each price finds S* by Newton's
// method on the critical-spot equation g(S*) = 0 (baw.h), with
//   g_c'(x) = (1 - D rho N(d1)) (1/q - 1) - D rho phi(d1) / (s q)     (call)
//   g_p'(x) = (1 - D rho N(-d1)) (1 - 1/q) - D rho phi(d1) / (s q)    (put)
// starting from the critical spot of the previous price of the same option
// (the first from the closed form of the 1987 paper). The volatility is
// found by Newton's method on P(s) - price with the analytic vega of the
// approximation: as S* solves g = 0, the premium's derivative through S* is
// -(S/S*)^q dg/ds, which leaves
//   dP/ds = D F phi(d1) + A (S/S*)^q q'(s) ln(S/S*) - (S/S*)^q D rho S* phi(d1(S*)),
//   q'(s) = (-beta' +- m') / 2,  beta' = -4 ln(rho) / s^3,
//   m' = (beta beta' - c / s^3) / m,  m^2 = beta^2 + c / s^2,  c = 8 rT / (1 - D).
// The first guess is the Corrado-Miller formula applied to the price's time
// value on the forward.
//
// The iteration keeps the bracket its prices have shown; a step that leaves
// it is replaced by the bracket's midpoint. Whenever the answer may lie
// outside the region where the iteration is safe (an input that is not a
// positive finite number, a step below s = 1e-8 or above s = 8 before the
// bracket holds the root, a critical spot that Newton's method does not
// find or that lies beyond the exact pricer's search, no convergence in 40
// steps) the option goes to solve_implied_vol, whose statuses and tolerances
// then hold as they are. Before a root is accepted, the exact price at
// s = 1e-8 must not exceed the price (the exact solver's test for "no time
// value"), and the root must be defined to better than 1e-10 in s: where the
// exact price's own error (its critical spot is found to 1e-10) or rounding,
// divided by the vega, is larger, the exact solver answers. The statuses are
// therefore the exact solver's; a solved value agrees with its value to
// within 2e-9 and is usually closer to the true root.
#ifndef VORNET_NUMERICS_FAST_IMPLIED_VOL_H
#define VORNET_NUMERICS_FAST_IMPLIED_VOL_H

#include <cstdint>

#include "implied_vol.h"

namespace vornet {

implied_vol_result solve_implied_vol_fast(double price, double S, double K, double D, double F,
                                          std::int32_t flag) noexcept;

// The same with another solver where the fast one hands the option over to
// solve_implied_vol (it must give solve_implied_vol's statuses wherever
// Newton's method accepts a root).
implied_vol_result solve_implied_vol_fast(double price, double S, double K, double D, double F,
                                          std::int32_t flag, implied_vol_solver fallback) noexcept;

// The price's delta (dP/dS, F/S held: the formula's) and vega (dP/dsigma,
// analytic) at a root Newton's method accepted, from one more evaluation of
// its model there; known is false where the option went to the fallback.
struct root_sensitivities {
    double delta;
    double vega;
    bool known;
};

implied_vol_result solve_implied_vol_fast(double price, double S, double K, double D, double F,
                                          std::int32_t flag, implied_vol_solver fallback,
                                          root_sensitivities *at_root) noexcept;

}  // namespace vornet

#endif
