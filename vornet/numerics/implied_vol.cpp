#include "implied_vol.h"

#include <cmath>
#include <limits>

#include "baw.h"
#include "root_finder.h"

namespace vornet {

namespace {

// The tolerance is both the margin above the exercise value under which a
// price has no time value and the root finder's xtol and rtol; the doubling
// of the upper bracket end stops once it is no longer below the cap, which
// therefore never becomes a bracket end.
constexpr double time_value_tol = 1e-10;
constexpr double sigma_cap = 10.0;

constexpr double sigma_first_hi = 1.0;
constexpr double sigma_lo = 1e-8;
constexpr int implied_vol_maxiter = 200;
constexpr double no_solution = -1.0;

// The objective as the root finder sees it: the option's terms are computed
// once, and the values at both bracket ends, which the bracket search has
// already computed and the root finder evaluates first, are handed back.
struct inversion {
    option_terms option;
    double price;
    double ends[2];
    double end_values[2];
};

double inversion_objective(double sigma, void *record) noexcept
{
    const auto &a = *static_cast<const inversion *>(record);
    if (sigma == a.ends[0])
        return a.end_values[0];
    if (sigma == a.ends[1])
        return a.end_values[1];
    return baw_price_of(a.option, sigma) - a.price;
}

}  // namespace


implied_vol_result solve_implied_vol(double price, double S, double K, double D, double F,
                                     std::int32_t flag) noexcept
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    // A NaN input has no solution, whatever the price (the exercise value
    // below would count a NaN spot or strike as zero).
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F))
        return {nan, implied_vol_status::invalid_input};
    // Zero and negative prices end here.
    if (exercise_value(S, K, flag) + time_value_tol >= price)
        return {nan, implied_vol_status::no_time_value};

    // Double the upper end from 1 while the model price is still short of the
    // target; the last model price evaluated is the one at the final hi.
    const option_terms option = terms_of(S, K, D, F, flag);
    double hi = sigma_first_hi;
    double model_hi;
    for (;;) {
        model_hi = baw_price_of(option, hi);
        if (!(price > model_hi && hi < sigma_cap))
            break;
        hi = hi + hi;
    }
    if (hi >= sigma_cap)
        return {nan, implied_vol_status::above_maximum};

    // Sign test on [1e-8, hi]. A NaN end (a NaN model price) shows no
    // sign change either: handed to the root finder it would come back as
    // the root finder's sign-error value 0.0, which reads as "no time value".
    const double f_lo = baw_price_of(option, sigma_lo) - price;
    const double f_hi = model_hi - price;
    if (!(f_hi * f_lo <= 0.0)) {
        // The loop left price <= model_hi, so a number here means that the
        // price is below the model's lowest.
        return {nan, f_lo > 0.0 ? implied_vol_status::no_time_value
                                : implied_vol_status::invalid_input};
    }

    inversion args{option, price, {sigma_lo, hi}, {f_lo, f_hi}};
    bool converged = true;
    const double sigma = brentq(inversion_objective, sigma_lo, hi, &args, time_value_tol,
                                time_value_tol, implied_vol_maxiter, &converged);
    return {sigma, converged ? implied_vol_status::solved : implied_vol_status::no_convergence};
}

double baw_implied_vol_core(double price, double S, double K, double D, double F,
                            std::int32_t flag) noexcept
{
    const implied_vol_result result = solve_implied_vol(price, S, K, D, F, flag);
    switch (result.status) {
    case implied_vol_status::solved:
    case implied_vol_status::no_convergence:
        return result.sigma;
    case implied_vol_status::no_time_value:
        // Only a price at or below the exercise value answers 0.0; one below
        // the model's lowest price above it has no sign change, -1.0.
        return exercise_value(S, K, flag) + time_value_tol >= price ? 0.0 : no_solution;
    default:
        return no_solution;
    }
}

}  // namespace vornet
