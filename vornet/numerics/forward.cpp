#include "forward.h"

#include <cmath>

#include "float_ops.h"
#include "implied_vol.h"
#include "option_flag.h"

namespace vornet {

namespace {

// (3 - sqrt 5)/2, the fraction of the interval a golden-section step takes,
// and 2^-26 = sqrt(DBL_EPSILON), the relative part of the tolerance.
constexpr double golden_fraction = 0.3819660112501051;
constexpr double tol_factor = 1.4901161193847656e-08;

// Absolute part of the tolerance, 1e-6 / 3.
constexpr double tol_abs = 3.333333333333333e-07;
// Iterations after the first evaluation.
constexpr int max_iterations = 100;
// Objective value when no strike has two positive implied values.
constexpr double no_usable_strike = 1e10;
// The search brackets the parity guess within -3 % and +3 %.
constexpr double bracket_low = 0.97;
constexpr double bracket_high = 1.03;

// The indices of the strikes within [lo, hi] into `chosen`; how many.
std::int64_t strikes_within(const double *strikes, std::int64_t count, double lo, double hi,
                            std::int64_t *chosen) noexcept
{
    std::int64_t found = 0;
    for (std::int64_t i = 0; i < count; ++i)
        if (strikes[i] >= lo && strikes[i] <= hi)
            chosen[found++] = i;
    return found;
}

}  // namespace

std::int64_t choose_strikes(const double *strikes, std::int64_t count, double S,
                            double strike_pct, std::int64_t *chosen) noexcept
{
    const double bands[] = {strike_pct, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0};
    for (const double pct : bands) {
        const double lo = (1.0 - pct) * S;
        const double hi = (1.0 + pct) * S;
        const std::int64_t found = strikes_within(strikes, count, lo, hi, chosen);
        if (found > 0)
            return found;
    }
    for (std::int64_t i = 0; i < count; ++i)
        chosen[i] = i;
    return count;
}

double parity_forward(const forward_search_args &params) noexcept
{
    double f_est_sum = 0.0;
    for (std::int64_t j = 0; j < params.count; ++j)
        f_est_sum += ((params.calls[j] - params.puts[j]) / params.D) + params.strikes[j];
    const std::int64_t f_est_count = params.count;
    return f_est_count >= 1 ? f_est_sum / static_cast<double>(f_est_count) : params.S;
}

double search_forward(forward_search_args &params, double F_init) noexcept
{
    const double search_lo = F_init * bracket_low;
    const double search_hi = F_init * bracket_high;
    return minimize_bounded(forward_objective, search_lo, search_hi, &params);
}

double forward_objective(double F, void *record) noexcept
{
    const auto &a = *static_cast<const forward_search_args *>(record);
    if (a.count <= 0)
        return no_usable_strike;
    double sum = 0.0;
    std::int64_t used = 0;
    for (std::int64_t j = 0; j < a.count; ++j) {
        const double c = baw_implied_vol_core(a.calls[j], a.S, a.strikes[j], a.D, F, flag_call);
        const double p = baw_implied_vol_core(a.puts[j], a.S, a.strikes[j], a.D, F, flag_put);
        // Failed solves are at most 0; a NaN is kept and makes the mean NaN.
        if (c <= 0.0 || p <= 0.0)
            continue;
        sum += std::fabs(c - p);
        used += 1;
    }
    return used > 0 ? sum / static_cast<double>(used) : no_usable_strike;
}

// a, b: the interval; x the best point, w the second best, v the previous w;
// d the last step and e the one before. Every test is an ordered comparison,
// so NaN values never pass one.
double minimize_bounded(objective_fn f, double search_lo, double search_hi,
                        void *record) noexcept
{
    double a = search_lo;
    double b = search_hi;
    double x = (b - a) * golden_fraction + a;
    double w = x;
    double v = x;
    double fx = f(x, record);
    double fw = fx;
    double fv = fx;
    double d = 0.0;
    double e = 0.0;

    for (int k = 0; k < max_iterations; ++k) {
        const double xm = (b + a) * 0.5;
        const double tol1 = std::fabs(x) * tol_factor + tol_abs;
        const double tol2 = tol1 + tol1;
        if (tol2 - (b - a) * 0.5 >= std::fabs(x - xm))
            break;

        bool parabolic = false;
        if (std::fabs(e) > tol1) {
            // Minimum of the parabola through (x, fx), (w, fw), (v, fv) lies
            // at x + p/q.
            const double r = (fx - fv) * (x - w);
            double q = (fx - fw) * (x - v);
            double p = q * (x - v) - r * (x - w);
            q = (q - r) * 2.0;
            if (q > 0.0)
                p = negated(p);
            else
                q = negated(q);
            // Accept a step shorter than half the one before last that stays
            // inside (a, b).
            if (std::fabs(q * 0.5 * e) > std::fabs(p) && p > (a - x) * q && (b - x) * q > p) {
                e = d;
                d = p / q;
                if ((d + x) - a < tol2 || b - (d + x) < tol2)
                    d = xm > x ? tol1 : negated(tol1);
                parabolic = true;
            }
        }
        if (!parabolic) {
            e = x >= xm ? a - x : b - x;
            d = e * golden_fraction;
        }

        // Never evaluate closer than tol1 to x.
        double u;
        if (std::fabs(d) >= tol1)
            u = d + x;
        else
            u = d > 0.0 ? x + tol1 : x - tol1;
        const double fu = f(u, record);

        if (fu <= fx) {
            if (u >= x)
                a = x;
            else
                b = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    return x;
}

}  // namespace vornet
