#include "greeks.h"

#include <cmath>
#include <limits>

#include "baw.h"
#include "market_terms.h"

namespace vornet {

namespace {

constexpr double relative_step = 1e-2;
// The smallest total deviation rho's step is scaled by.
constexpr double min_rate_scale = 1e-3;

// Five-point stencils for f' at x: central, or one-sided towards +h (a
// negative h looks the other way).
template <typename F>
double central_difference(F f, double x, double h) noexcept
{
    return (f(x - 2.0 * h) - 8.0 * f(x - h) + 8.0 * f(x + h) - f(x + 2.0 * h)) / (12.0 * h);
}

template <typename F>
double one_sided_difference(F f, double x, double h) noexcept
{
    return (-25.0 * f(x) + 48.0 * f(x + h) - 36.0 * f(x + 2.0 * h) + 16.0 * f(x + 3.0 * h)
            - 3.0 * f(x + 4.0 * h))
           / (12.0 * h);
}

// dP/dr, its stencil kept on r's side of 0 (r = 0 itself is undiscounted).
template <typename F>
double rate_difference(F f, double r, double h) noexcept
{
    if (r > 0.0)
        return r - 2.0 * h > 0.0 ? central_difference(f, r, h) : one_sided_difference(f, r, h);
    return r + 2.0 * h < 0.0 ? central_difference(f, r, h) : one_sided_difference(f, r, -h);
}

}  // namespace

double market_price(double S, double K, double T, double r, double q, double vol,
                    std::int32_t flag) noexcept
{
    return baw_price_core(S, K, discount_factor(T, r), forward_price(S, T, r, q),
                          total_deviation(T, vol), flag);
}

option_greeks baw_greeks(double S, double K, double T, double r, double q, double vol,
                         std::int32_t flag) noexcept
{
    const double D = discount_factor(T, r);
    const double F = forward_price(S, T, r, q);
    if (!(valid_option(S, K, T, D, F) && std::isfinite(vol) && vol > 0.0)) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan, nan, nan};
    }
    spot_derivatives spot{};
    baw_price_with_spot_derivatives(S, K, D, F, total_deviation(T, vol), flag, spot);

    const auto of_vol = [&](double v) { return market_price(S, K, T, r, q, v, flag); };
    const auto of_time = [&](double t) { return market_price(S, K, t, r, q, vol, flag); };
    const auto of_rate = [&](double x) { return market_price(S, K, T, x, q, vol, flag); };
    const double sigma = total_deviation(T, vol);
    const double rate_step = relative_step * (sigma > min_rate_scale ? sigma : min_rate_scale) / T;
    return {
        spot.delta,
        spot.gamma,
        central_difference(of_vol, vol, relative_step * vol),
        -central_difference(of_time, T, relative_step * T),
        rate_difference(of_rate, r, rate_step),
    };
}

}  // namespace vornet
