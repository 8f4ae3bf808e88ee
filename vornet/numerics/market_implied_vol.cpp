#include "market_implied_vol.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "baw.h"
#include "fast_implied_vol.h"
#include "root_finder.h"

namespace vornet {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// As in solve_implied_vol: the margin above the floor under which a price has
// no time value, the root finder's tolerances and limit, the bracket.
constexpr double time_value_tol = 1e-10;
constexpr int maxiter = 200;
constexpr double sigma_lo = 1e-8;
constexpr double sigma_first_hi = 1.0;
constexpr double sigma_cap = 10.0;
// Below this the price is most often noise, with jumps the check at half and
// twice the root does not see: a root there is compared with the monotone
// branch's.
constexpr double noise_end = 1e-6;
// Prices this close (relative to the target) are the same price.
constexpr double same_price_tol = 4.0 * DBL_EPSILON;

bool same_price(double model, double price) noexcept
{
    return std::fabs(model - price) <= same_price_tol * price;
}

// The objective of the search on the monotone branch, with the values at its
// ends, which the search has computed, handed back.
struct branch_inversion {
    const option_terms *option;
    double price;
    double ends[2];
    double end_values[2];
};

double branch_objective(double sigma, void *record) noexcept
{
    const auto &a = *static_cast<const branch_inversion *>(record);
    if (sigma == a.ends[0])
        return a.end_values[0];
    if (sigma == a.ends[1])
        return a.end_values[1];
    return baw_price_of(*a.option, sigma) - a.price;
}

// The root where the price, coming down from the top of the bracket, first
// falls below the target: NaN when it does not above sigma = 1e-8, or when
// the root finder runs out of iterations.
double monotone_root(const option_terms &option, double price) noexcept
{
    double upper = sigma_first_hi;
    double model_upper;
    for (;;) {
        model_upper = baw_price_of(option, upper);
        if (!(price > model_upper && upper < sigma_cap))
            break;
        upper = upper + upper;
    }
    if (!(upper < sigma_cap && model_upper >= price))
        return nan;
    double lower, model_lower;
    for (;;) {
        lower = 0.5 * upper;
        if (lower < sigma_lo)
            return nan;
        model_lower = baw_price_of(option, lower);
        if (model_lower < price)
            break;
        if (!(model_lower >= price))
            return nan;  // a NaN price
        upper = lower;
        model_upper = model_lower;
    }
    branch_inversion args{&option, price, {lower, upper},
                          {model_lower - price, model_upper - price}};
    bool converged = true;
    const double sigma = brentq(branch_objective, lower, upper, &args, time_value_tol,
                                time_value_tol, maxiter, &converged);
    return converged ? sigma : nan;
}

// A root, unless the price does not move with sigma around it.
implied_vol_result checked_root(const option_terms &option, double price, double sigma) noexcept
{
    if (same_price(baw_price_of(option, 0.5 * sigma), price)
        && same_price(baw_price_of(option, sigma + sigma), price))
        return {nan, implied_vol_status::no_volatility_info};
    return {sigma, implied_vol_status::solved};
}

// The solver's result, moved to the monotone branch or found to carry no
// volatility where it must be (market_implied_vol.h).
implied_vol_result on_monotone_branch(const implied_vol_result &found, double price, double S,
                                      double K, double D, double F, std::int32_t flag) noexcept
{
    const bool solved = found.status == implied_vol_status::solved;
    if (!solved && found.status != implied_vol_status::no_time_value)
        return found;
    const option_terms option = terms_of(S, K, D, F, flag);
    bool wrong_way = true;
    if (solved) {
        const double s = found.sigma;
        const double below = baw_price_of(option, 0.5 * s);
        const double above = baw_price_of(option, s + s);
        if (same_price(below, price) && same_price(above, price))
            return {nan, implied_vol_status::no_volatility_info};
        wrong_way = (below > price && !same_price(below, price))
                    || (above < price && !same_price(above, price));
        if (!wrong_way && !(s < noise_end))
            return found;
    }
    // The model's floor: its price without volatility.
    if (!(price > baw_price_of(option, 0.0) + time_value_tol))
        return found;
    const double sigma = monotone_root(option, price);
    if (std::isnan(sigma))
        return found;
    // A root in the noise that the monotone branch confirms, to the root
    // finder's tolerance, stays as the solver found it.
    if (!wrong_way && std::fabs(sigma - found.sigma) <= 2.0 * time_value_tol * (1.0 + sigma))
        return found;
    return checked_root(option, price, sigma);
}

}  // namespace

implied_vol_result solve_market_implied_vol(double price, double S, double K, double D, double F,
                                            std::int32_t flag) noexcept
{
    return on_monotone_branch(solve_implied_vol(price, S, K, D, F, flag), price, S, K, D, F, flag);
}

implied_vol_result solve_market_implied_vol_fast(double price, double S, double K, double D,
                                                 double F, std::int32_t flag) noexcept
{
    return solve_implied_vol_fast(price, S, K, D, F, flag, solve_market_implied_vol);
}

implied_vol_result solve_market_implied_vol_fast(double price, double S, double K, double D,
                                                 double F, std::int32_t flag,
                                                 root_sensitivities *at_root) noexcept
{
    return solve_implied_vol_fast(price, S, K, D, F, flag, solve_market_implied_vol, at_root);
}

}  // namespace vornet
