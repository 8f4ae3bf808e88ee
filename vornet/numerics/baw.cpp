#include "baw.h"

#include <cmath>
#include <limits>

#include "float_ops.h"
#include "normal.h"
#include "option_flag.h"
#include "root_finder.h"

namespace vornet {

namespace {

// Distance of the bracket ends from K (call: K + offset; put: offset and
// K - offset), keeping the search off the singular point x = K.
constexpr double bracket_offset = 1e-10;
// The call's upper probe doubles from 2K at most this many times, up to 2^20 K.
constexpr int call_probe_count = 20;
constexpr double critical_xtol = 1e-10;
constexpr double critical_rtol = 1e-10;
constexpr int critical_maxiter = 100;

// A critical spot and N(+-d1) there (N(d1) for the call, N(-d1) for the
// put), NaN when the search did not evaluate the objective at that spot.
struct critical_point {
    double x;
    double n;
};

// The objective as the root finder sees it. The root finder first evaluates
// both ends of its bracket, which the bracket search has just evaluated:
// their values are handed back instead of computed again. N(+-d1) of the
// latest points is kept, so that the premium need not compute it again at
// the point the root finder returns.
template <double (*objective)(double, const critical_price_args &, critical_terms &) noexcept>
class critical_search {
public:
    explicit critical_search(const critical_price_args &args) noexcept : args_(args) {}

    double operator()(double x) noexcept
    {
        critical_terms t;
        const double g = objective(x, args_, t);
        const unsigned slot = count_++ % kept;
        seen_x_[slot] = x;
        seen_n_[slot] = t.n;
        return g;
    }

    // Brent's method on [lo, hi], whose objective values are g_lo and g_hi.
    critical_point solve(double lo, double g_lo, double hi, double g_hi) noexcept
    {
        ends_[0] = lo;
        ends_[1] = hi;
        end_values_[0] = g_lo;
        end_values_[1] = g_hi;
        return at(brentq(for_root_finder, lo, hi, this, critical_xtol, critical_rtol,
                         critical_maxiter));
    }

    critical_point at(double x) const noexcept
    {
        for (unsigned i = 0; i < kept && i < count_; ++i) {
            if (seen_x_[i] == x)
                return {x, seen_n_[i]};
        }
        return {x, std::numeric_limits<double>::quiet_NaN()};
    }

private:
    static constexpr unsigned kept = 4;

    static double for_root_finder(double x, void *record) noexcept
    {
        auto &search = *static_cast<critical_search *>(record);
        if (x == search.ends_[0])
            return search.end_values_[0];
        if (x == search.ends_[1])
            return search.end_values_[1];
        return search(x);
    }

    critical_price_args args_;
    double ends_[2] = {};
    double end_values_[2] = {};
    double seen_x_[kept] = {};
    double seen_n_[kept] = {};
    unsigned count_ = 0;
};

// S* for the call: the zero of g_c above K. When g_c is still non-negative at
// the last probe 2^20 K, S* is taken as the next doubling, 2^21 K.
critical_point call_critical_price(const critical_price_args &args) noexcept
{
    critical_search<call_critical_objective> g(args);
    const double lo = args.K + bracket_offset;
    const double g_lo = g(lo);
    if (g_lo <= 0.0)
        return g.at(lo);
    double hi = 2.0 * args.K;
    for (int probe = 0; probe < call_probe_count; ++probe) {
        const double g_hi = g(hi);
        if (g_hi < 0.0)
            return g.solve(lo, g_lo, hi, g_hi);
        hi = hi + hi;
    }
    return g.at(hi);
}

// S** for the put: the zero of g_p in (0, K), or the bracket end at which g_p
// already has the root's sign.
critical_point put_critical_price(const critical_price_args &args) noexcept
{
    critical_search<put_critical_objective> g(args);
    const double hi = args.K - bracket_offset;
    const double g_hi = g(hi);
    if (g_hi <= 0.0)
        return g.at(hi);
    const double g_lo = g(bracket_offset);
    if (g_lo >= 0.0)
        return g.at(bracket_offset);
    return g.solve(bracket_offset, g_lo, hi, g_hi);
}

}  // namespace

double carry_exponent(double ln_rho, double sigma) noexcept
{
    return (ln_rho + ln_rho) / (sigma * sigma) - 1.0;
}

double quadratic_discriminant(double D, double ln_D, double sigma, double beta) noexcept
{
    double delta = (((ln_D * -2.0) / (sigma * sigma)) * 4.0) / (1.0 - D) + beta * beta;
    if (delta < 0.0)
        delta = 0.0;
    return delta;
}

double exercise_value(double S, double K, std::int32_t flag) noexcept
{
    if (flag == flag_call)
        return S > K ? S - K : 0.0;
    return K > S ? K - S : 0.0;
}

// With sigma > 0 (or NaN) the Black-76 price at forward x rho has exactly the
// d1 formed here, so its N(d1) is shared with the premium term.
double call_critical_objective(double x, const critical_price_args &a, critical_terms &t) noexcept
{
    const double Fx = x * a.rho;
    const double d1 = black76_d1(Fx, a.K, a.sigma);
    const double n_d1 = norm_cdf(d1);
    const double n_d2 = norm_cdf(d1 - a.sigma);
    t = {d1, n_d1};
    const double call = black76_call_value(a.K, a.D, Fx, n_d1, n_d2);
    return ((1.0 - n_d1 * (a.rho * a.D)) * x) / a.q + call - (x - a.K);
}

double put_critical_objective(double x, const critical_price_args &a, critical_terms &t) noexcept
{
    const double Fx = x * a.rho;
    const double d1 = black76_d1(Fx, a.K, a.sigma);
    const double n_md2 = norm_cdf(negated(d1 - a.sigma));
    const double n_md1 = norm_cdf(negated(d1));
    t = {d1, n_md1};
    const double put = black76_put_value(a.K, a.D, Fx, n_md2, n_md1);
    return (put - ((1.0 - n_md1 * (a.rho * a.D)) * x) / a.q) - (a.K - x);
}

namespace {

// What a price evaluation reports besides the price: nothing, or the first
// two derivatives in the spot with F/S held. Each path hands its
// derivatives over as a function, so the price alone computes none of them.
struct price_only {
    template <typename Make, typename Vega>
    void report(Make &&, Vega &&) noexcept
    {
    }
};

struct with_spot_derivatives {
    spot_derivatives *out;
    template <typename Make, typename Vega>
    void report(Make &&make, Vega &&) noexcept
    {
        *out = make();
    }
};

struct with_sensitivities {
    price_sensitivities *out;
    template <typename Make, typename Vega>
    void report(Make &&make, Vega &&vega) noexcept
    {
        const spot_derivatives spot = make();
        *out = {spot.delta, spot.gamma, vega()};
    }
};

// The exercise value S - K or K - S, where it is positive: slope 1 or -1.
spot_derivatives exercise_derivatives(double S, double K, std::int32_t flag) noexcept
{
    if (flag == flag_call)
        return {S > K ? 1.0 : 0.0, 0.0};
    return {K > S ? -1.0 : 0.0, 0.0};
}

// The Black-76 price with F = rho S: delta = +-D rho N(+-d1) and
// gamma = D rho phi(d1) / (S sigma); without volatility the discounted
// intrinsic value, slope D rho where it is positive.
spot_derivatives european_derivatives(double S, double K, double D, double F, double sigma,
                                      std::int32_t flag) noexcept
{
    const double rho = F / S;
    const double side = flag == flag_call ? 1.0 : -1.0;
    if (sigma <= 0.0) {
        const bool in_the_money = flag == flag_call ? F > K : K > F;
        return {in_the_money ? side * (D * rho) : 0.0, 0.0};
    }
    const double d1 = black76_d1(F, K, sigma);
    return {side * (D * rho) * norm_cdf(side * d1), (D * rho) * norm_pdf(d1) / (S * sigma)};
}

// E + A (S/S*)^q: delta_E + A q (S/S*)^q / S, gamma_E + A q (q-1) (S/S*)^q / S^2.
spot_derivatives premium_derivatives(spot_derivatives european, double S, double s_star,
                                     double A, double q) noexcept
{
    const double term = A * std::pow(S / s_star, q);
    return {european.delta + term * q / S, european.gamma + term * q * (q - 1.0) / (S * S)};
}

// dP/dsigma of the Black-76 price, D F phi(d1); 0 without volatility.
double european_sigma_slope(const option_terms &o, double sigma) noexcept
{
    if (sigma <= 0.0)
        return 0.0;
    return o.D * o.F * norm_pdf(black76_d1_from_log(o.ln_F_over_K, sigma));
}

// dP/dsigma of the premium A (S/S*)^q. S* moves with sigma, but as it
// solves g = 0 its move enters only as -(S/S*)^q dg/dsigma, which leaves
//   (S/S*)^q (A q' ln(S/S*) - D rho S* phi(d1(S*))),
//   q' = (-beta' +- m') / 2,  beta' = -4 ln(rho) / sigma^3,
//   m' = (beta beta' - c / sigma^3) / m,  c = -8 ln(D) / (1 - D)
// (m' = 0 where the discriminant was floored at zero).
double premium_sigma_slope(const option_terms &o, double sigma, double beta, double m,
                           double side, double s_star, double A, double q) noexcept
{
    const double cube = sigma * sigma * sigma;
    const double beta_slope = -4.0 * o.ln_rho / cube;
    const double c = ((o.ln_D * -2.0) * 4.0) / (1.0 - o.D);
    const double m_slope = m > 0.0 ? (beta * beta_slope - c / cube) / m : 0.0;
    const double q_slope = (side * m_slope - beta_slope) * 0.5;
    const double log_ratio = std::log(o.S / s_star);
    const double power = std::exp(q * log_ratio);
    const double d1_star = black76_d1(s_star * o.rho, o.K, sigma);
    return power * (A * q_slope * log_ratio - o.D * o.rho * s_star * norm_pdf(d1_star));
}

// N(+-d1) at the critical spot for the premium: the value the search
// computed there, or the same expression evaluated now.
double premium_probability(const critical_point &s_star, const option_terms &o,
                           double sigma) noexcept
{
    if (!std::isnan(s_star.n))
        return s_star.n;
    const double d1 = black76_d1(s_star.x * o.rho, o.K, sigma);
    return o.flag == flag_call ? norm_cdf(d1) : norm_cdf(negated(d1));
}

// The approximation itself, for sigma > 0 and D < 1: the European price plus
// the early-exercise premium, or the exercise value beyond the critical spot.
template <typename Sink>
double quadratic_approximation(const option_terms &o, double sigma, double european,
                               Sink &sink) noexcept
{
    const double S = o.S, K = o.K, D = o.D, F = o.F, rho = o.rho;
    const auto european_slope = [&] { return european_derivatives(S, K, D, F, sigma, o.flag); };
    const auto exercise_slope = [&] { return exercise_derivatives(S, K, o.flag); };
    const auto european_vega = [&] { return european_sigma_slope(o, sigma); };
    const auto no_vega = [] { return 0.0; };
    const double beta = carry_exponent(o.ln_rho, sigma);
    const double m = std::sqrt(quadratic_discriminant(D, o.ln_D, sigma, beta));

    if (o.flag == flag_call) {
        // With b >= r (D rho = exp((b-r)T) >= 1) the call is never exercised early.
        if (D * rho >= 1.0) {
            sink.report(european_slope, european_vega);
            return european;
        }
        const double q2 = (negated(beta) + m) * 0.5;
        if (q2 <= 0.0) {
            sink.report(european_slope, european_vega);
            return european;
        }
        const critical_point s_star = call_critical_price({K, D, rho, sigma, q2});
        if (S >= s_star.x) {
            sink.report(exercise_slope, no_vega);
            return S - K;
        }
        // A2 = (1 - exp((b-r)T) N(d1(S*))) S*/q2; price = E + A2 (S/S*)^q2
        const double A2 = (1.0 - premium_probability(s_star, o, sigma) * (D * rho))
                          * (s_star.x / q2);
        sink.report([&] { return premium_derivatives(european_slope(), S, s_star.x, A2, q2); },
                    [&] {
                        return european_vega()
                               + premium_sigma_slope(o, sigma, beta, m, 1.0, s_star.x, A2, q2);
                    });
        return A2 * std::pow(S / s_star.x, q2) + european;
    }

    const double q1 = (negated(beta) - m) * 0.5;
    if (q1 >= 0.0) {
        sink.report(european_slope, european_vega);
        return european;
    }
    const critical_point s_star = put_critical_price({K, D, rho, sigma, q1});
    if (s_star.x >= S) {
        sink.report(exercise_slope, no_vega);
        return K - S;
    }
    // A1 = -(1 - exp((b-r)T) N(-d1(S**))) S**/q1; price = E + A1 (S/S**)^q1
    const double A1 = (1.0 - premium_probability(s_star, o, sigma) * (D * rho))
                      * negated(s_star.x / q1);
    sink.report([&] { return premium_derivatives(european_slope(), S, s_star.x, A1, q1); },
                [&] {
                    return european_vega()
                           + premium_sigma_slope(o, sigma, beta, m, -1.0, s_star.x, A1, q1);
                });
    return A1 * std::pow(S / s_star.x, q1) + european;
}

template <typename Sink>
double american_price(const option_terms &o, double sigma, Sink &sink) noexcept
{
    const double S = o.S, K = o.K, D = o.D, F = o.F;
    const std::int32_t flag = o.flag;
    // A NaN input is the price: no branch below may turn it into a number
    // (the exercise value and the zero-volatility value floor NaN to zero,
    // the European value does not read S, the call's critical spot has a
    // finite fallback).
    const double inputs[] = {S, K, D, F, sigma};
    for (const double input : inputs) {
        if (std::isnan(input)) {
            sink.report([&] { return spot_derivatives{input, input}; }, [&] { return input; });
            return input;
        }
    }

    const auto european_slope = [&] { return european_derivatives(S, K, D, F, sigma, flag); };
    const auto exercise_slope = [&] { return exercise_derivatives(S, K, flag); };
    const auto european_vega = [&] { return european_sigma_slope(o, sigma); };
    const auto no_vega = [] { return 0.0; };
    const double exercise_now = exercise_value(S, K, flag);
    const double european = black76_price_from_log(o.ln_F_over_K, K, D, F, sigma, flag);
    if (sigma <= 0.0) {
        // Without volatility the option is worth the larger of exercising now
        // and holding to expiry (the discounted intrinsic value on the forward).
        if (european > exercise_now) {
            sink.report(european_slope, european_vega);
            return european;
        }
        sink.report(exercise_slope, no_vega);
        return exercise_now;
    }
    // No discounting: holding is worth the European value, but never less
    // than exercising now. A NaN European value (from infinite inputs) stays.
    const bool exercise_bound = exercise_now > european;
    const double bound = exercise_bound ? exercise_now : european;
    if (D >= 1.0) {
        if (exercise_bound)
            sink.report(exercise_slope, no_vega);
        else
            sink.report(european_slope, european_vega);
        return bound;
    }
    // Where the approximation falls short of its bounds (with sigma so small
    // that the exponents lose their precision, it gives up to the European
    // value even when that is below the exercise value), the bound is the
    // price. A NaN approximation stays NaN.
    const double american = quadratic_approximation(o, sigma, european, sink);
    if (!(bound > american))
        return american;
    if (exercise_bound)
        sink.report(exercise_slope, no_vega);
    else
        sink.report(european_slope, european_vega);
    return bound;
}

}  // namespace

option_terms terms_of(double S, double K, double D, double F, std::int32_t flag) noexcept
{
    const double rho = F / S;
    return {S, K, D, F, flag, rho, std::log(rho), std::log(D), std::log(F / K)};
}

double baw_price_of(const option_terms &option, double sigma) noexcept
{
    price_only sink;
    return american_price(option, sigma, sink);
}

double baw_price_core(double S, double K, double D, double F, double sigma,
                      std::int32_t flag) noexcept
{
    return baw_price_of(terms_of(S, K, D, F, flag), sigma);
}

double baw_price_with_spot_derivatives(double S, double K, double D, double F, double sigma,
                                       std::int32_t flag, spot_derivatives &derivatives) noexcept
{
    with_spot_derivatives sink{&derivatives};
    return american_price(terms_of(S, K, D, F, flag), sigma, sink);
}

double baw_price_with_sensitivities(double S, double K, double D, double F, double sigma,
                                    std::int32_t flag, price_sensitivities &sensitivities) noexcept
{
    with_sensitivities sink{&sensitivities};
    return american_price(terms_of(S, K, D, F, flag), sigma, sink);
}

}  // namespace vornet
