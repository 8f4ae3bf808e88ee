#include "european.h"

#include <cmath>
#include <limits>

#include "market_terms.h"
#include "normal.h"
#include "option_flag.h"

namespace vornet {

double european_price(double K, double D, double F, double sigma, std::int32_t flag) noexcept
{
    return black76_price(K, D, F, sigma, flag);
}

option_greeks european_greeks(double S, double K, double T, double D, double F, double r,
                              double q, double vol, std::int32_t flag) noexcept
{
    if (!(valid_option(S, K, T, D, F) && std::isfinite(vol) && vol > 0.0)) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan, nan, nan};
    }
    const double root_T = std::sqrt(T);
    const double sigma = vol * root_T;
    const double d1 = black76_d1(F, K, sigma);
    const double d2 = d1 - sigma;
    const double z = flag == flag_call ? 1.0 : -1.0;
    const double n1 = norm_cdf(z * d1);
    const double n2 = norm_cdf(z * d2);
    const double density = D * F * norm_pdf(d1);
    const double DF = D * F;
    const double DK = D * K;
    return {
        z * (DF / S) * n1,
        density / (S * S * sigma),
        density * root_T,
        z * (q * DF * n1 - r * DK * n2) - density * vol / (2.0 * root_T),
        z * T * DK * n2,
    };
}

delta_vega european_delta_vega(double S, double K, double T, double D, double F, double sigma,
                               std::int32_t flag) noexcept
{
    const double d1 = black76_d1(F, K, sigma);
    const double z = flag == flag_call ? 1.0 : -1.0;
    return {z * (D * F / S) * norm_cdf(z * d1), D * F * norm_pdf(d1) * std::sqrt(T)};
}

}  // namespace vornet
