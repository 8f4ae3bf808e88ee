#include "integral_forward.h"

#include <cmath>
#include <limits>

#include "integral_implied_vol.h"
#include "market_terms.h"
#include "option_flag.h"

namespace vornet {

namespace {

constexpr double no_usable_strike = 1e10;
constexpr double bracket_low = 0.97;
constexpr double bracket_high = 1.03;

}  // namespace

double integral_forward_vol(double price, double S, double K, double D, double F, double T,
                            std::int32_t flag) noexcept
{
    if (!(valid_option(S, K, T, D, F) && std::isfinite(price) && price >= 0.0))
        return std::numeric_limits<double>::quiet_NaN();
    const market_rates rates = rates_of(S, T, D, F);
    const implied_vol_result result = integral_implied_vol(price, S, K, T, rates.r, rates.q, flag);
    return result.status == implied_vol_status::solved ? result.sigma
                                                       : std::numeric_limits<double>::quiet_NaN();
}

double integral_forward_objective(double F, void *record) noexcept
{
    const auto &a = *static_cast<const integral_forward_args *>(record);
    const forward_search_args &p = a.quotes;
    if (p.count <= 0)
        return no_usable_strike;
    const double root_T = std::sqrt(a.T);
    double sum = 0.0;
    std::int64_t used = 0;
    for (std::int64_t j = 0; j < p.count; ++j) {
        const double c = integral_forward_vol(p.calls[j], p.S, p.strikes[j], p.D, F, a.T, flag_call);
        const double q = integral_forward_vol(p.puts[j], p.S, p.strikes[j], p.D, F, a.T, flag_put);
        if (!(c > 0.0 && q > 0.0))
            continue;
        sum += std::fabs(c - q) * root_T;
        used += 1;
    }
    return used > 0 ? sum / static_cast<double>(used) : no_usable_strike;
}

double search_forward_integral(integral_forward_args &args, double F_init) noexcept
{
    return minimize_bounded(integral_forward_objective, F_init * bracket_low,
                            F_init * bracket_high, &args);
}

}  // namespace vornet
