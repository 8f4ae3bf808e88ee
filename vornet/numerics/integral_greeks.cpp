#include "integral_greeks.h"

namespace vornet {

option_greeks integral_greeks(double S, double K, double T, double r, double q, double vol,
                              std::int32_t flag, const integral_settings &settings) noexcept
{
    const price_delta_gamma spot = integral_price_delta_gamma(S, K, T, r, q, vol, flag, settings);
    const price_derivative v =
        integral_price_derivative(S, K, T, r, q, vol, flag, integral_input::vol, settings);
    const price_derivative t =
        integral_price_derivative(S, K, T, r, q, vol, flag, integral_input::time, settings);
    const price_derivative rate =
        integral_price_derivative(S, K, T, r, q, vol, flag, integral_input::rate, settings);
    return {spot.delta, spot.gamma, v.derivative, -t.derivative, rate.derivative};
}

}  // namespace vornet
