// The exact inversion as it was before its price evaluations shared work:
// every model price computes its logarithms afresh, the root finders
// evaluate their bracket ends again, and the premium computes N(d1) at the
// critical spot again. Kept, built from the same normal distribution and root
// finder, so that the benchmark can measure the shared work side by side with
// this path in one run; its results are the exact solver's, bit for bit.
#include "baseline_solver.h"

#include <cmath>
#include <limits>

#include "../vornet/numerics/baw.h"
#include "../vornet/numerics/float_ops.h"
#include "../vornet/numerics/normal.h"
#include "../vornet/numerics/option_flag.h"
#include "../vornet/numerics/root_finder.h"

namespace vornet::baseline {

namespace {

constexpr double bracket_offset = 1e-10;
constexpr int call_probe_count = 20;
constexpr double critical_tol = 1e-10;
constexpr int critical_maxiter = 100;
constexpr double time_value_tol = 1e-10;
constexpr int implied_vol_maxiter = 200;

double call_objective(double x, void *record) noexcept
{
    critical_terms unused;
    return call_critical_objective(x, *static_cast<const critical_price_args *>(record), unused);
}

double put_objective(double x, void *record) noexcept
{
    critical_terms unused;
    return put_critical_objective(x, *static_cast<const critical_price_args *>(record), unused);
}

double call_critical_price(critical_price_args &args) noexcept
{
    const double lo = args.K + bracket_offset;
    if (call_objective(lo, &args) <= 0.0)
        return lo;
    double hi = 2.0 * args.K;
    for (int probe = 0; probe < call_probe_count; ++probe) {
        if (call_objective(hi, &args) < 0.0)
            return brentq(call_objective, lo, hi, &args, critical_tol, critical_tol,
                          critical_maxiter);
        hi = hi + hi;
    }
    return hi;
}

double put_critical_price(critical_price_args &args) noexcept
{
    const double hi = args.K - bracket_offset;
    if (put_objective(hi, &args) <= 0.0)
        return hi;
    if (put_objective(bracket_offset, &args) >= 0.0)
        return bracket_offset;
    return brentq(put_objective, bracket_offset, hi, &args, critical_tol, critical_tol,
                  critical_maxiter);
}

double approximation(double S, double K, double D, double F, double sigma, std::int32_t flag,
                     double european) noexcept
{
    const double rho = F / S;
    const double ln_rho = std::log(rho);
    const double beta = (ln_rho + ln_rho) / (sigma * sigma) - 1.0;
    double delta = (((std::log(D) * -2.0) / (sigma * sigma)) * 4.0) / (1.0 - D) + beta * beta;
    if (delta < 0.0)
        delta = 0.0;
    const double m = std::sqrt(delta);
    if (flag == flag_call) {
        if (D * rho >= 1.0)
            return european;
        const double q2 = (negated(beta) + m) * 0.5;
        if (q2 <= 0.0)
            return european;
        critical_price_args args{K, D, rho, sigma, q2};
        const double s_star = call_critical_price(args);
        if (S >= s_star)
            return S - K;
        const double d1 = black76_d1(s_star * rho, K, sigma);
        const double A2 = (1.0 - norm_cdf(d1) * (D * rho)) * (s_star / q2);
        return A2 * std::pow(S / s_star, q2) + european;
    }
    const double q1 = (negated(beta) - m) * 0.5;
    if (q1 >= 0.0)
        return european;
    critical_price_args args{K, D, rho, sigma, q1};
    const double s_star = put_critical_price(args);
    if (s_star >= S)
        return K - S;
    const double d1 = black76_d1(s_star * rho, K, sigma);
    const double A1 = (1.0 - norm_cdf(negated(d1)) * (D * rho)) * negated(s_star / q1);
    return A1 * std::pow(S / s_star, q1) + european;
}

double price(double S, double K, double D, double F, double sigma, std::int32_t flag) noexcept
{
    const double inputs[] = {S, K, D, F, sigma};
    for (const double input : inputs) {
        if (std::isnan(input))
            return input;
    }
    const double exercise_now = exercise_value(S, K, flag);
    const double european = black76_price(K, D, F, sigma, flag);
    if (sigma <= 0.0)
        return european > exercise_now ? european : exercise_now;
    const bool exercise_bound = exercise_now > european;
    const double bound = exercise_bound ? exercise_now : european;
    if (D >= 1.0)
        return bound;
    const double american = approximation(S, K, D, F, sigma, flag, european);
    return bound > american ? bound : american;
}

struct inversion {
    double S, K, D, F, price;
    std::int32_t flag;
};

double objective(double sigma, void *record) noexcept
{
    const auto &a = *static_cast<const inversion *>(record);
    return price(a.S, a.K, a.D, a.F, sigma, a.flag) - a.price;
}

}  // namespace

double implied_sigma(double target, double S, double K, double D, double F,
                     std::int32_t flag) noexcept
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (std::isnan(target) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F))
        return nan;
    if (exercise_value(S, K, flag) + time_value_tol >= target)
        return nan;
    double hi = 1.0;
    double model_hi;
    for (;;) {
        model_hi = price(S, K, D, F, hi, flag);
        if (!(target > model_hi && hi < 10.0))
            break;
        hi = hi + hi;
    }
    if (hi >= 10.0)
        return nan;
    const double f_lo = price(S, K, D, F, 1e-8, flag) - target;
    if (!((model_hi - target) * f_lo <= 0.0))
        return nan;
    inversion args{S, K, D, F, target, flag};
    bool converged = true;
    const double sigma = brentq(objective, 1e-8, hi, &args, time_value_tol, time_value_tol,
                                implied_vol_maxiter, &converged);
    return converged ? sigma : nan;
}

}  // namespace vornet::baseline
