#include "integral_implied_vol.h"

#include <cmath>
#include <limits>

#include "european_implied_vol.h"
#include "market_implied_vol.h"
#include "market_terms.h"

namespace vornet {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr int max_evaluations = 60;
// The largest total standard deviation searched, as the approximation's.
constexpr double max_deviation = 8.0;
// A step this small (in volatility) ends the iteration: Newton's method has
// converged quadratically well below it by then.
constexpr double step_tolerance = 1e-11;
// After a step longer than this (in volatility), the next evaluation
// carries the model's vega rather than estimating the slope.
constexpr double exact_slope_step = 1e-4;
// How far below the tolerance Newton's estimated error must be to end
// without a further evaluation.
constexpr double error_margin = 100.0;
// The model's own accuracy: prices closer than this are the same price.
constexpr double absolute_accuracy = 1e-8;
constexpr double relative_accuracy = 1e-7;

double first_guess(double price, double S, double K, double T, double r, double q,
                   std::int32_t flag) noexcept
{
    const double D = discount_factor(T, r);
    const double F = forward_price(S, T, r, q);
    const double root_T = std::sqrt(T);
    implied_vol_result start = solve_market_implied_vol_fast(price, S, K, D, F, flag);
    if (start.status == implied_vol_status::solved && start.sigma > 0.0)
        return start.sigma / root_T;
    start = solve_european_implied_vol(price, K, D, F, flag);
    if (start.status == implied_vol_status::solved && start.sigma > 0.0)
        return start.sigma / root_T;
    return 0.3;
}

}  // namespace

implied_vol_result integral_implied_vol(double price, double S, double K, double T, double r,
                                        double q, std::int32_t flag,
                                        const integral_settings &settings) noexcept
{
    if (!(std::isfinite(price) && price >= 0.0 && std::isfinite(S) && S > 0.0
          && std::isfinite(K) && K > 0.0 && std::isfinite(T) && T > 0.0 && std::isfinite(r)
          && std::isfinite(q) && valid_integral_settings(settings)))
        return {nan, implied_vol_status::invalid_input};
    if (option_early_exercise(r, q, flag) == early_exercise::two_boundaries)
        return {nan, implied_vol_status::unsupported};
    const double floor = integral_price(S, K, T, r, q, 0.0, flag, settings);
    if (!(price > floor))
        return {nan, implied_vol_status::no_time_value};
    // Within the model's accuracy of the floor, the price is the same as the
    // model's at every lower volatility (the price rises with volatility),
    // half the root's included: it tells nothing, and the iteration would
    // creep towards a root in a price that is flat to within rounding.
    const double accuracy = absolute_accuracy + relative_accuracy * price;
    if (!(price - floor > accuracy))
        return {nan, implied_vol_status::no_volatility_info};

    const double cap = max_deviation / std::sqrt(T);
    double lo = 0.0;   // the price is above the model's here
    double hi = cap;   // and below it here, once hi_known
    bool hi_known = false;
    double vol = first_guess(price, S, K, T, r, q, flag);
    if (!(vol > 0.0 && vol < cap))
        vol = 0.5 * cap;
    // Newton's method on f(vol) = ln(P(vol) - floor) - ln(price - floor),
    // P the model's price: the logarithm of the time value, which has the
    // same root but is far nearer a straight line where the time value is
    // small (there P falls towards the floor like exp(-c / vol^2), and
    // Newton's steps on P itself creep down from above). Its slope is the
    // model's vega over the time value where the evaluation carries it (the
    // first, and the first after a long step or a bisection), else estimated
    // from the last two values and the slope before (the slope at the
    // second point of the quadratic through both values with that slope at
    // the first), which costs a price alone.
    const double target = std::log(price - floor);
    double slope = nan;
    double previous_vol = nan;
    double previous_f = nan;
    double previous_slope = nan;
    bool exact_slope = true;
    bool converged = false;
    for (int k = 0; k < max_evaluations; ++k) {
        double f;
        double gap;  // P - price, whose sign moves the bracket
        if (exact_slope) {
            const price_derivative pd = integral_price_derivative(S, K, T, r, q, vol, flag,
                                                                  integral_input::vol, settings);
            gap = pd.price - price;
            const double value = pd.price - floor;
            f = std::log(value) - target;
            slope = pd.derivative / value;
        } else {
            const double model = integral_price(S, K, T, r, q, vol, flag, settings);
            gap = model - price;
            f = std::log(model - floor) - target;
            const double secant = (f - previous_f) / (vol - previous_vol);
            slope = 2.0 * secant - previous_slope;
            // Where the quadratic's slope is far from the secant's, the
            // secant's.
            if (!(slope > 0.5 * secant && slope < 2.0 * secant))
                slope = secant;
        }
        if (!std::isfinite(gap))
            return {nan, implied_vol_status::invalid_input};
        if (gap == 0.0) {
            converged = true;
            break;
        }
        if (gap > 0.0) {
            hi = vol;
            hi_known = true;
        } else {
            lo = vol;
        }
        double next = vol - f / slope;
        if (k == 0 && slope > 0.0) {
            // The first step from the approximation's volatility, often a
            // few hundredths off, as Halley's: with P''/P' from the European
            // option's, vomma / vega = d1 d2 / vol on the forward, where the
            // American's is not known yet, f''/f' = P''/P' - f'. A
            // correction that would more than halve or double the step is
            // left out.
            const double deviation = vol * std::sqrt(T);
            const double d1 = std::log(forward_price(S, T, r, q) / K) / deviation
                              + 0.5 * deviation;
            const double d2 = d1 - deviation;
            const double h = 1.0 - 0.5 * (f / slope) * (d1 * d2 / vol - slope);
            if (h > 0.5 && h < 2.0)
                next = vol - f / slope / h;
        }
        bool newton = true;
        if (!(slope > 0.0) || !std::isfinite(f) || !(next > lo && next < hi)) {
            next = 0.5 * (lo + hi);
            newton = false;
        }
        if (!hi_known && next >= 0.5 * (lo + cap)) {
            // Beyond the half-way point to the cap: first make sure the
            // cap's price is above the target.
            const double top = integral_price(S, K, T, r, q, cap, flag, settings);
            if (!(top >= price))
                return {nan, implied_vol_status::above_maximum};
            hi_known = true;
        }
        const double step = std::fabs(next - vol);
        // Newton's error after a step dx is about |f''/(2 f')| dx^2, f''
        // from the last two slopes; an estimated slope adds its own error,
        // about |f'''/(6 f')| h^2 dx after a step h, with f''' taken as
        // f''/vol. Once that is well below the tolerance, the step is the
        // last one (and saves the evaluation that would only confirm it).
        bool last = false;
        if (k > 0 && newton && vol != previous_vol) {
            const double h = vol - previous_vol;
            const double curvature = std::fabs((slope - previous_slope) / h);
            double error = curvature / (2.0 * slope) * step * step;
            if (!exact_slope)
                error += curvature / (6.0 * vol * slope) * (h * h) * step;
            last = error * error_margin <= step_tolerance * (1.0 + next);
        }
        previous_vol = vol;
        previous_f = f;
        previous_slope = slope;
        // After a bisection the next point may be far off, and after a long
        // step the estimate's error (which grows with the step squared)
        // would slow the iteration: there the slope from the model again.
        // The step from the first guess is the exception: it usually lands
        // close enough for an estimate to do.
        exact_slope = !newton || (k > 0 && step > exact_slope_step);
        vol = next;
        if (step <= step_tolerance * (1.0 + vol) || last) {
            converged = true;
            break;
        }
    }
    if (!converged)
        return {vol, implied_vol_status::no_convergence};

    // A price that barely moves with volatility around the root says
    // nothing about it: where the price is near the model's floor or the
    // vega (the slope times the time value) says it may move little, look
    // at half and twice the root.
    if (!(slope * (price - floor) * vol > 100.0 * accuracy) || !(price - floor > 100.0 * accuracy)) {
        const double below = integral_price(S, K, T, r, q, 0.5 * vol, flag, settings);
        const double above = integral_price(S, K, T, r, q, 2.0 * vol, flag, settings);
        if (std::fabs(below - price) <= accuracy || std::fabs(above - price) <= accuracy)
            return {nan, implied_vol_status::no_volatility_info};
    }
    return {vol, implied_vol_status::solved};
}

}  // namespace vornet
