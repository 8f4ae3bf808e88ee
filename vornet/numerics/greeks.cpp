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
// The smallest steps in r, as steps in rT (the price depends on r through
// exp(-rT), whose spacing next to 1 is 1.1e-16, and through the forward).
// A step of 1e-8 keeps the rounding of the price's terms (some units of the
// last place of D F N(d1)) below a millionth of rho; next to the other
// branch, a central stencil within an eighth of r of it may go down to
// 1e-10, where that rounding still costs less than the bend of the
// early-exercise premium at r = 0 would cost a one-sided stencil.
constexpr double rate_floor = 1e-8;
constexpr double inner_rate_floor = 1e-10;
// A one-sided stencil from a rate next to r = 0 may halve this often, from
// a basis point down to its floor.
constexpr int max_rate_halvings = 40;

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

// A difference, and how far it was from the one before it (infinite when
// there was none): about sixteen times its error, unless rounding took over.
struct estimate {
    double value;
    double gap;
};

// Halving the step until two differences agree: close to the exercise
// region the price bends over a small fraction of the input, and the first
// step is too coarse there. The error of the answer is about a sixteenth of
// the last disagreement. Once the disagreement grows instead, rounding has
// taken over, and the previous difference is the better one. The step is
// never halved below min_step.
template <typename F>
estimate converge(F f, double x, double h, double exercise, int side, int halvings,
                  double min_step) noexcept
{
    double previous = stencil(f, x, h, exercise, side);
    double previous_gap = std::numeric_limits<double>::infinity();
    for (int halving = 0; halving < halvings && 0.5 * h >= min_step; ++halving) {
        h *= 0.5;
        const double current = stencil(f, x, h, exercise, side);
        const double gap = std::fabs(current - previous);
        if (gap <= agreement * std::fabs(current) + agreement_floor)
            return {current, gap};
        if (!(gap < previous_gap))
            return {previous, previous_gap};
        previous = current;
        previous_gap = gap;
    }
    return {previous, previous_gap};
}

template <typename F>
double difference(F f, double x, double h, double exercise, int side) noexcept
{
    return converge(f, x, h, exercise, side, max_halvings, 0.0).value;
}

// The model has two branches in r: the discounted one, where exp(-rT) < 1,
// and the undiscounted one (r <= 0, and rates so close above 0 that
// exp(-rT) rounds to 1), where the price is the larger of the exercise value
// and the European price. Where they meet the price may jump (a call with a
// dividend yield has an early-exercise premium just above r = 0 and none at
// it) or bend sharply (a put without one, whose premium grows like r^1.25),
// so rho is the derivative along r's own branch: no stencil point lies on
// the other one.
bool discounted(double T, double r) noexcept { return discount_factor(T, r) < 1.0; }

// rho = dP/dr, f(x) being the price at rate x.
template <typename F>
double rate_derivative(F f, double T, double r, double exercise) noexcept
{
    const bool branch = discounted(T, r);
    // A central stencil reaches 2h either way, and where part of it is in
    // the exercise region it turns one-sided, reaching 4h.
    const auto on_branch = [&](double h) {
        return discounted(T, r - 4.0 * h) == branch && discounted(T, r + 4.0 * h) == branch;
    };
    // A basis point, or a thousandth of r when that is smaller, but never a
    // step below the rounding of the price.
    const double floor = rate_floor / T;
    double h = relative_step * std::fabs(r) < rate_step ? relative_step * std::fabs(r) : rate_step;
    if (h < floor)
        h = floor;
    if (on_branch(h))
        return converge(f, r, h, exercise, 0, max_halvings, inner_rate_floor / T).value;
    // Next to the other branch: a one-sided stencil away from it, from a
    // basis point down. The European price below r = 0 is smooth up to its
    // end; above it the put's premium bends over a fraction of r, where the
    // one-sided steps disagree: there a central stencil within an eighth of
    // r stays off the bend, where the rounding allows one, and is taken when
    // it is clearly the steadier of the two.
    const estimate one_sided =
        converge(f, r, rate_step, exercise, branch ? 1 : -1, max_rate_halvings, floor);
    const double inner = r / 8.0;
    if (!(branch && inner >= inner_rate_floor / T && on_branch(inner)))
        return one_sided.value;
    const estimate central = converge(f, r, inner, exercise, 0, max_halvings, inner_rate_floor / T);
    return central.gap < 0.1 * one_sided.gap ? central.value : one_sided.value;
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
    return {
        spot.delta,
        spot.gamma,
        difference(of_vol, vol, relative_step * vol, exercise, 0),
        -difference(of_time, T, relative_step * T, exercise, 0),
        rate_derivative(of_rate, T, r, exercise),
    };
}

}  // namespace vornet
