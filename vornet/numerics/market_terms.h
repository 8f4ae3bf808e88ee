// Market terms of an option and the model's total-variance terms.
//
// With spot S, time to expiry T in years, continuously compounded rate r and
// dividend yield q, and annualised volatility vol, the model reads
//   D = exp(-r T),  F = S exp((r - q) T),  sigma = vol sqrt(T),
// and back, for a discount factor and forward given directly,
//   r = -ln(D) / T,  q = r - ln(F / S) / T.
#ifndef VORNET_NUMERICS_MARKET_TERMS_H
#define VORNET_NUMERICS_MARKET_TERMS_H

#include <cmath>

namespace vornet {

struct model_forward {
    double D;
    double F;
};

struct market_rates {
    double r;
    double q;
};

inline double discount_factor(double T, double r) noexcept { return std::exp(-(r * T)); }

inline double forward_price(double S, double T, double r, double q) noexcept
{
    return S * std::exp((r - q) * T);
}

inline double total_deviation(double T, double vol) noexcept { return vol * std::sqrt(T); }

inline market_rates rates_of(double S, double T, double D, double F) noexcept
{
    const double r = -std::log(D) / T;
    return {r, r - std::log(F / S) / T};
}

// Inputs the model is defined for: a positive finite spot, strike,
// discount factor and forward, and in market terms a positive finite time.
inline bool valid_model_inputs(double S, double K, double D, double F) noexcept
{
    return std::isfinite(S) && S > 0.0 && std::isfinite(K) && K > 0.0 && std::isfinite(D)
           && D > 0.0 && std::isfinite(F) && F > 0.0;
}

inline bool valid_option(double S, double K, double T, double D, double F) noexcept
{
    return std::isfinite(T) && T > 0.0 && valid_model_inputs(S, K, D, F);
}

}  // namespace vornet

#endif
