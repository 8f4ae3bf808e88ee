#include "greeks.h"

#include <cmath>
#include <limits>

#include "baw.h"
#include "market_terms.h"

namespace vornet {

namespace {

constexpr double relative_step = 1e-3;
constexpr int max_halvings = 8;
constexpr double agreement = 1e-9;
constexpr double agreement_floor = 1e-12;
// rho's first step: a basis point, or a thousandth of r when that is smaller.
constexpr double rate_step = 1e-4;

// Where the price is the exercise value, the option is exercised at once.
bool exercised(double price, double exercise) noexcept
{
    return exercise > 0.0 && price == exercise;
}

// A five-point difference of f at x with step h that stays off the
// exercise region: where the price is the exercise value it does not depend
// on vol, T or r, and the holding value's derivative jumps there. The
// stencil is central unless `side` allows one direction only (+1 forwards,
// -1 backwards), or a central point falls in the exercise region; then it
// looks the other way.
template <typename F>
double stencil(F f, double x, double h, double exercise, int side) noexcept
{
    if (side == 0) {
        const double m2 = f(x - 2.0 * h), m1 = f(x - h), p1 = f(x + h), p2 = f(x + 2.0 * h);
        const bool below = exercised(m2, exercise) || exercised(m1, exercise);
        const bool above = exercised(p1, exercise) || exercised(p2, exercise);
        if (below == above)
            return (m2 - 8.0 * m1 + 8.0 * p1 - p2) / (12.0 * h);
        side = below ? 1 : -1;
    }
    const double s = side * h;
    return (-25.0 * f(x) + 48.0 * f(x + s) - 36.0 * f(x + 2.0 * s) + 16.0 * f(x + 3.0 * s)
            - 3.0 * f(x + 4.0 * s))
           / (12.0 * s);
}

// Halving the step until two differences agree: close to the exercise
// region the price bends over a small fraction of the input, and the first
// step is too coarse there. The error of the answer is about a sixteenth of
// the last disagreement. Once the disagreement grows instead, rounding has
// taken over, and the previous difference is the better one.
template <typename F>
double difference(F f, double x, double h, double exercise, int side) noexcept
{
    double previous = stencil(f, x, h, exercise, side);
    double previous_gap = std::numeric_limits<double>::infinity();
    for (int halving = 0; halving < max_halvings; ++halving) {
        h *= 0.5;
        const double current = stencil(f, x, h, exercise, side);
        const double gap = std::fabs(current - previous);
        if (gap <= agreement * std::fabs(current) + agreement_floor)
            return current;
        if (!(gap < previous_gap))
            return previous;
        previous = current;
        previous_gap = gap;
    }
    return previous;
}

// The side r's stencil must keep to: r = 0 is the undiscounted branch, which
// the discounted one does not reach continuously.
int rate_side(double r, double h) noexcept
{
    if (r > 0.0)
        return r - 2.0 * h > 0.0 ? 0 : 1;
    return r + 2.0 * h < 0.0 ? 0 : -1;
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
    const double price = baw_price_with_spot_derivatives(S, K, D, F, total_deviation(T, vol), flag,
                                                         spot);
    const double exercise = exercise_value(S, K, flag);
    if (exercised(price, exercise))
        return {spot.delta, spot.gamma, 0.0, 0.0, 0.0};

    const auto of_vol = [&](double v) { return market_price(S, K, T, r, q, v, flag); };
    const auto of_time = [&](double t) { return market_price(S, K, t, r, q, vol, flag); };
    const auto of_rate = [&](double x) { return market_price(S, K, T, x, q, vol, flag); };
    const double r_step = r != 0.0 && relative_step * std::fabs(r) < rate_step
                              ? relative_step * std::fabs(r)
                              : rate_step;
    return {
        spot.delta,
        spot.gamma,
        difference(of_vol, vol, relative_step * vol, exercise, 0),
        -difference(of_time, T, relative_step * T, exercise, 0),
        difference(of_rate, r, r_step, exercise, rate_side(r, r_step)),
    };
}

}  // namespace vornet
