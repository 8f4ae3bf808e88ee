#include "european_implied_vol.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "normal.h"
#include "option_flag.h"

namespace vornet {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double sqrt_half_pi = 1.2533141373155003;    // sqrt(pi/2)
constexpr double sqrt_two_pi = 2.5066282746310002;     // sqrt(2 pi)
constexpr double ln_sqrt_two_pi = 0.9189385332046728;  // ln sqrt(2 pi)
constexpr double ln_two_over_sqrt_two_pi = -0.2257913526447274;  // ln(2 / sqrt(2 pi))
constexpr double inv_sqrt2 = 0.7071067811865476;
// The Taylor series in t serves below these t and |x|: its terms fall at
// least as fast as (t / sqrt 2)^2 / n, so that the powers up to t^17 reach
// the last place, and its rounding (the recurrence's included) stays at a
// few units of the last place of the root.
constexpr double taylor_t = 0.21;
constexpr double taylor_x = 1.0;
constexpr int taylor_order = 17;
// Below this h, Y'(h) = 1 + h Y(h) (about 1/h^2) is its asymptotic series.
constexpr double asymptotic_h = -16.0;
constexpr int max_steps = 64;
// A step this small relative to s ends the iteration.
constexpr double step_tol = 4.0 * DBL_EPSILON;

// Y(h) = N(h) / phi(h), for h <= 0.
double mills(double h) noexcept { return sqrt_half_pi * erfcx(-h * inv_sqrt2); }

// Y'(h) = 1 + h Y(h), for h <= 0; far out, where the sum cancels, the
// asymptotic series 1/h^2 - 3/h^4 + 15/h^6 - ...
double mills_slope(double h, double y) noexcept
{
    if (h >= asymptotic_h)
        return 1.0 + h * y;
    const double w = 1.0 / (h * h);
    double term = w;
    double sum = 0.0;
    for (int k = 0; k < 24; ++k) {
        sum += term;
        term *= -static_cast<double>(2 * k + 3) * w;
        if (std::fabs(term) <= DBL_EPSILON * sum)
            break;
    }
    return sum;
}

bool taylor_region(double x, double t) noexcept { return t < taylor_t && -x < taylor_x; }

// Y(h + t) - Y(h - t) = 2 sum_k t^(2k+1) / (2k+1)! Y^(2k+1)(h), the
// derivatives by Y^(n+1) = h Y^(n) + n Y^(n-1) from Y and Y'.
double taylor_difference(double h, double t) noexcept
{
    double previous = mills(h);                 // Y^(n-1)
    double current = mills_slope(h, previous);  // Y^(n), n = 1
    const double t2 = t * t;
    double power = t;  // t^n / n!
    double sum = power * current;
    for (int n = 1; n + 2 <= taylor_order; n += 2) {
        const double next = h * current + n * previous;
        const double after = h * next + (n + 1) * current;
        previous = next;
        current = after;
        power *= t2 / static_cast<double>((n + 1) * (n + 2));
        const double term = power * current;
        sum += term;
        if (std::fabs(term) <= 0.125 * DBL_EPSILON * std::fabs(sum))
            break;
    }
    return 2.0 * sum;
}

// Y(h + t) - Y(h - t) for h + t <= 0, where b(s) = phi0 times it.
double lower_difference(double x, double h, double t) noexcept
{
    if (taylor_region(x, t))
        return taylor_difference(h, t);
    return sqrt_half_pi * (erfcx(-(h + t) * inv_sqrt2) - erfcx((t - h) * inv_sqrt2));
}

// b(s) for h + t >= 0 (s at or above the inflection point).
double upper_value(double x, double h, double t) noexcept
{
    if (taylor_region(x, t))
        return std::exp(-0.5 * (h * h + t * t)) / sqrt_two_pi * taylor_difference(h, t);
    return std::exp(0.5 * x) * norm_cdf(h + t) - std::exp(-0.5 * x) * norm_cdf(h - t);
}

// An objective at s: its value, its slope, and its second and third
// derivatives over the slope.
struct objective_point {
    double f;
    double slope;
    double second;
    double third;
};

// b''/b' and b'''/b' at s.
struct curvature {
    double A;
    double B;
};

curvature curvature_at(double x2, double s) noexcept
{
    const double s2 = s * s;
    const double A = x2 / (s2 * s) - 0.25 * s;
    return {A, A * A - 3.0 * x2 / (s2 * s2) - 0.25};
}

// ln b(s) - ln beta, for s up to the inflection point: b = phi0 d, so that
// (ln b)' = 1/d.
objective_point lower_objective(double x, double ln_beta, double s) noexcept
{
    const double h = x / s, t = 0.5 * s;
    const double d = lower_difference(x, h, t);
    if (!(d > 0.0))  // lost below the last place: far below the root
        return {-infinity, infinity, nan, nan};
    const double w = 1.0 / d;
    const curvature c = curvature_at(x * x, s);
    const double f = (-0.5 * (h * h + t * t) - ln_sqrt_two_pi + std::log(d)) - ln_beta;
    return {f, w, c.A - w, c.B - 3.0 * w * c.A + 2.0 * w * w};
}

// b(s) - beta, between the inflection point and s_u.
objective_point middle_objective(double x, double beta, double s) noexcept
{
    const double h = x / s, t = 0.5 * s;
    const double phi0 = std::exp(-0.5 * (h * h + t * t)) / sqrt_two_pi;
    const curvature c = curvature_at(x * x, s);
    return {upper_value(x, h, t) - beta, phi0, c.A, c.B};
}

// ln gamma - ln(e^{x/2} - b(s)), above s_u: the complement is phi0 e, so
// that the slope is 1/e.
objective_point upper_objective(double x, double ln_gamma, double s) noexcept
{
    const double h = x / s, t = 0.5 * s;
    const double e = sqrt_half_pi * (erfcx((h + t) * inv_sqrt2) + erfcx((t - h) * inv_sqrt2));
    const double w = 1.0 / e;
    const curvature c = curvature_at(x * x, s);
    const double f = ln_gamma - ((-0.5 * (h * h + t * t) - ln_sqrt_two_pi) + std::log(e));
    return {f, w, c.A + w, c.B + 3.0 * w * c.A + 2.0 * w * w};
}

// Householder's fourth-order step for an increasing objective, inside the
// bracket [lo, hi] that each evaluation narrows; a step that leaves it is
// replaced by the bracket's midpoint (by doubling while hi is infinite).
// NaN after max_steps.
template <typename Objective>
double householder(Objective objective, double s, double lo, double hi) noexcept
{
    for (int step = 0; step < max_steps; ++step) {
        const objective_point p = objective(s);
        if (p.f == 0.0)
            return s;
        if (p.f < 0.0)
            lo = s;
        else if (p.f > 0.0)
            hi = s;
        const double newton = -p.f / p.slope;
        const double factor =
            (1.0 + 0.5 * p.second * newton) / (1.0 + newton * (p.second + p.third * newton / 6.0));
        double next = s + (std::isfinite(factor) && factor > 0.0 ? newton * factor : newton);
        if (!(next > lo && next < hi))
            next = hi == infinity ? 2.0 * (s > lo ? s : lo) : 0.5 * (lo + hi);
        if (std::fabs(next - s) <= step_tol * next)
            return next;
        s = next;
    }
    return nan;
}

// First guesses from the asymptotic forms of b.
// Below the inflection point, for large |h|, b ~ phi0 s^3 / x^2:
//   x^2 / (2 s^2) = -ln beta - s^2/8 + 3 ln s - 2 ln|x| - ln sqrt(2 pi).
double lower_guess(double x, double ln_beta, double s_c) noexcept
{
    const double ax = -x;
    const double L = -ln_beta;
    double s = ax / std::sqrt(2.0 * L);
    for (int i = 0; i < 3; ++i) {
        const double rhs = L + 3.0 * std::log(s) - 2.0 * std::log(ax) - ln_sqrt_two_pi - 0.125 * s * s;
        if (!(rhs > 0.0))
            break;
        s = ax / std::sqrt(2.0 * rhs);
    }
    return s > 0.0 && s < s_c ? s : 0.5 * s_c;
}

// Far above, with t large against h, e ~ 2/t:
//   t^2 / 2 = -ln gamma - x^2 / (8 t^2) - ln t + ln(2 / sqrt(2 pi)).
double upper_guess(double x, double ln_gamma, double s_u) noexcept
{
    const double L = -ln_gamma;
    double t = std::sqrt(2.0 * (L > 0.5 ? L : 0.5));
    for (int i = 0; i < 3; ++i) {
        const double rhs = L - x * x / (8.0 * t * t) - std::log(t) + ln_two_over_sqrt_two_pi;
        if (!(rhs > 0.0))
            break;
        t = std::sqrt(2.0 * rhs);
    }
    const double s = 2.0 * t;
    return s > s_u ? s : s_u;
}

// ln(F / K), exactly where F - K is (within a factor of two of each other).
double log_moneyness(double F, double K) noexcept
{
    if (F >= 0.5 * K && F <= 2.0 * K)
        return std::log1p((F - K) / K);
    return std::log(F / K);
}

bool positive_finite(double v) noexcept { return std::isfinite(v) && v > 0.0; }

}  // namespace

double normalised_black_deviation(double beta, double gamma, double x) noexcept
{
    const double b_max = std::exp(0.5 * x);
    // The inflection point, b there, and s_u where the tangent there reaches
    // b_max (b'(s_c) = b_max / sqrt(2 pi)).
    const double s_c = std::sqrt(-2.0 * x);
    const double b_c = s_c > 0.0 ? upper_value(x, x / s_c, 0.5 * s_c) : 0.0;
    const double s_u = s_c + sqrt_two_pi * (1.0 - b_c / b_max);
    if (beta < b_c) {
        const double ln_beta = std::log(beta);
        return householder([&](double s) { return lower_objective(x, ln_beta, s); },
                           lower_guess(x, ln_beta, s_c), 0.0, s_c);
    }
    const double b_u = upper_value(x, x / s_u, 0.5 * s_u);
    if (beta <= b_u) {
        const double s = s_c + (beta - b_c) / (b_u - b_c) * (s_u - s_c);
        return householder([&](double v) { return middle_objective(x, beta, v); },
                           s > s_c && s < s_u ? s : 0.5 * (s_c + s_u), s_c, s_u);
    }
    const double ln_gamma = std::log(gamma);
    return householder([&](double s) { return upper_objective(x, ln_gamma, s); },
                       upper_guess(x, ln_gamma, s_u), s_u, infinity);
}

implied_vol_result solve_european_implied_vol(double price, double K, double D, double F,
                                              std::int32_t flag) noexcept
{
    if (!(std::isfinite(price) && price >= 0.0 && positive_finite(K) && positive_finite(D)
          && positive_finite(F)))
        return {nan, implied_vol_status::invalid_input};
    const bool call = flag == flag_call;
    const double intrinsic = call ? F - K : K - F;  // on the forward, undiscounted
    if (price <= (intrinsic > 0.0 ? D * intrinsic : 0.0))
        return {nan, implied_vol_status::no_time_value};
    const double top = call ? F : K;
    if (price >= D * top)
        return {nan, implied_vol_status::above_maximum};
    // The out-of-the-money call's normalised price and its distance from
    // its maximum.
    const double undiscounted = price / D;
    const double root = std::sqrt(F) * std::sqrt(K);
    const double beta = (intrinsic > 0.0 ? undiscounted - intrinsic : undiscounted) / root;
    const double gamma = (top - undiscounted) / root;
    if (!(beta > 0.0))
        return {nan, implied_vol_status::no_time_value};
    if (!(gamma > 0.0))
        return {nan, implied_vol_status::above_maximum};
    const double sigma = normalised_black_deviation(beta, gamma, -std::fabs(log_moneyness(F, K)));
    if (!(sigma > 0.0))
        return {nan, implied_vol_status::no_convergence};
    return {sigma, implied_vol_status::solved};
}

implied_vol_result solve_european_implied_vol_at(double price, double S, double K, double D,
                                                 double F, std::int32_t flag) noexcept
{
    if (!positive_finite(S))
        return {nan, implied_vol_status::invalid_input};
    return solve_european_implied_vol(price, K, D, F, flag);
}

}  // namespace vornet
