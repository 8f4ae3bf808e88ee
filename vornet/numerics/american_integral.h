// The American price under constant rate r, dividend yield q and volatility
// from its early-exercise boundary (Andersen, Lake and Offengenden, 2016).
//
// For a put of strike K the boundary B(tau), tau the time left, solves
//   B(tau) = K exp(-(r-q) tau) N(tau, B) / D(tau, B),
//   N = phi(d-(tau, B/K)) / (v sqrt(tau))
//       + r int_0^tau exp(r u) phi(d-(tau-u, B(tau)/B(u))) / (v sqrt(tau-u)) du,
//   D = phi(d+(tau, B/K)) / (v sqrt(tau)) + N(d+(tau, B/K))
//       + q int_0^tau exp(q u) [N(d+(tau-u, B(tau)/B(u)))
//                               + phi(d+(tau-u, B(tau)/B(u))) / (v sqrt(tau-u))] du,
// with d+-(t, z) = (ln z + (r - q +- v^2/2) t) / (v sqrt(t)): the condition
// that the price meets K - S with slope -1 on the boundary, rearranged as a
// fixed point. It is solved on the Chebyshev nodes of [-1, 1] in
// x = 2 sqrt(tau/T) - 1, where H(x) = ln(B/X)^2, X = B(0+) = K min(1, r/q),
// is smooth (the boundary leaves X like sqrt(tau)); the fixed point starts
// from Li's QD+ approximation at each node and runs a fixed number of
// Jacobi sweeps, each against the Chebyshev interpolant of the previous one
// (at a node where the plain sweep would overshoot, its Newton step in the
// node's own value), and each sweep after the first of its quadrature rule
// mixed with the one before by Anderson's method.
// The price is the European value plus the early-exercise premium
//   int_0^T [r K exp(-r(T-u)) N(-d-(T-u, S/B(u))) - q S exp(-q(T-u)) N(-d+(T-u, S/B(u)))] du,
// or K - S at and below B(T). Every integral over u in [0, tau] runs
// through u = tau (1+y)^2 (2-y) / 4, y in [-1, 1], which is flat at both
// ends (du/dy = 3 tau (1 - y^2) / 4), so that sqrt(u) and sqrt(tau - u) are
// smooth in y and Gauss-Legendre quadrature converges fast.
//
// The work is laid out in batches: QD+ at every node side by side, the
// integrands of all nodes of a sweep together, the premium's points
// together, so that their exponentials and normal probabilities are worked
// out over arrays (vector_math.h).
//
// A call is the put with spot and strike, and r and q, exchanged. The put is
// exercised early where r > 0, or r = 0 > q (one boundary); where r <= 0 and
// q >= r it never is (the European price); where q < r < 0 it has two
// boundaries, which this model does not price (NaN). For the call read q for
// r and r for q: a call with q = 0 <= r is its European price.
//
// The price is a smooth function of the inputs at fixed settings: every
// loop runs a fixed number of times, so that its derivatives (by dual
// numbers through the same code) are those of the price as computed. At
// the package's setting, a put whose drift is large against its volatility
// over the expiry ((r - q) sqrt(T) / v above 0.3, which the setting does not
// resolve) has a finer setting's price blended in, smoothly, in full from
// 0.5 on.
#ifndef VORNET_NUMERICS_AMERICAN_INTEGRAL_H
#define VORNET_NUMERICS_AMERICAN_INTEGRAL_H

#include <cstdint>

namespace vornet {

// How much work the model does: Gauss-Legendre points in the boundary's
// integrals (gauss_legendre.h's sizes), fixed-point sweeps, Chebyshev
// intervals (at most chebyshev.h's maximum) and Gauss-Legendre points in the
// price's premium integral.
struct integral_settings {
    int boundary_points;
    int iterations;
    int nodes;
    int price_points;
};

// The package's setting (refined where a put's drift is large against its
// volatility, as above), and the fine one its tests take as the reference.
inline constexpr integral_settings integral_default = {10, 4, 14, 40};
inline constexpr integral_settings integral_reference = {32, 16, 32, 64};

bool valid_integral_settings(const integral_settings &settings) noexcept;

// How a put with rate r and dividend yield q is exercised early.
enum class early_exercise : std::int8_t {
    never = 0,        // r <= 0 and q >= r: the European price
    one_boundary = 1,
    two_boundaries = 2,  // q < r < 0: not priced
};

early_exercise put_early_exercise(double r, double q) noexcept;

// The same for a call (flag 1) or put.
early_exercise option_early_exercise(double r, double q, std::int32_t flag) noexcept;

// The price of a call (flag 1) or put at spot S, strike K, time T, rate r,
// dividend yield q, volatility vol. NaN for a NaN or infinite input, an S,
// K or T that is not positive, a negative vol, or two boundaries; at vol = 0
// the best of exercising now, at expiry or in between on the forward's path.
double integral_price(double S, double K, double T, double r, double q, double vol,
                      std::int32_t flag,
                      const integral_settings &settings = integral_default) noexcept;

// The price and its derivative along one input (vol, T, r or q, the others
// held), exact for the price as computed; NaN in both where the price is NaN
// or vol is not positive.
enum class integral_input : std::int8_t { vol, time, rate, dividend };

struct price_derivative {
    double price;
    double derivative;
};

price_derivative integral_price_derivative(double S, double K, double T, double r, double q,
                                           double vol, std::int32_t flag, integral_input along,
                                           const integral_settings &settings
                                           = integral_default) noexcept;

// The price with its first two derivatives in the spot (the boundary does
// not depend on the spot): exact for the price as computed; -1 or 1 and 0 in
// the exercise region. NaN in all three where the price is NaN or vol is
// not positive.
struct price_delta_gamma {
    double price;
    double delta;
    double gamma;
};

price_delta_gamma integral_price_delta_gamma(double S, double K, double T, double r, double q,
                                             double vol, std::int32_t flag,
                                             const integral_settings &settings
                                             = integral_default) noexcept;

}  // namespace vornet

#endif
