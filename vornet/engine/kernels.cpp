#include "kernels.h"

#include <cmath>
#include <limits>

#include "../numerics/baw.h"
#include "../numerics/european.h"
#include "../numerics/european_implied_vol.h"
#include "../numerics/fast_implied_vol.h"
#include "../numerics/forward.h"
#include "../numerics/greeks.h"
#include "../numerics/implied_vol.h"
#include "../numerics/integral_forward.h"
#include "../numerics/integral_greeks.h"
#include "../numerics/integral_implied_vol.h"
#include "../numerics/market_implied_vol.h"
#include "../numerics/market_terms.h"
#include "../numerics/option_flag.h"

namespace vornet::engine {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::int32_t flag_of(bool is_call) noexcept { return is_call ? flag_call : flag_put; }

bool valid_deviation(double v) noexcept { return std::isfinite(v) && v >= 0.0; }

using solver_fn = implied_vol_solver;

// The inversion for inputs already checked or not: invalid ones never reach
// the solver, and every outcome but a solved one is NaN. European options
// have one solver, whatever the American one.
template <solver_fn solver>
implied_vol_result solve(double price, double S, double K, double D, double F, bool valid,
                         bool is_call, bool european) noexcept
{
    if (!(valid && std::isfinite(price) && price >= 0.0))
        return {nan, implied_vol_status::invalid_input};
    if (european)
        return solve_european_implied_vol(price, K, D, F, flag_of(is_call));
    return solver(price, S, K, D, F, flag_of(is_call));
}

// The root and its status written out: NaN unless solved.
double report(const implied_vol_result &result, std::int8_t *status) noexcept
{
    *status = static_cast<std::int8_t>(result.status);
    return result.status == implied_vol_status::solved ? result.sigma : nan;
}

void write_greeks(const option_greeks &g, double *out) noexcept
{
    out[0] = g.delta;
    out[1] = g.gamma;
    out[2] = g.vega;
    out[3] = g.theta;
    out[4] = g.rho;
}

// The price of a valid option at total standard deviation sigma >= 0.
double model_price(double S, double K, double D, double F, double sigma, bool is_call,
                   bool european) noexcept
{
    return european ? european_price(K, D, F, sigma, flag_of(is_call))
                    : baw_price_core(S, K, D, F, sigma, flag_of(is_call));
}

// S, K, D, F, sigma
void price_model(const double *in, bool is_call, bool european, double *out,
                 std::int8_t *) noexcept
{
    const double S = in[0], K = in[1], D = in[2], F = in[3], sigma = in[4];
    out[0] = valid_model_inputs(S, K, D, F) && valid_deviation(sigma)
                 ? model_price(S, K, D, F, sigma, is_call, european)
                 : nan;
}

// The option's discount factor and forward from its two market inputs after
// T: the rate and the dividend yield, or the discount factor and forward.
enum class terms { rates, forward };

template <terms given>
model_forward model_of(double S, double T, double a, double b) noexcept
{
    if constexpr (given == terms::rates)
        return {discount_factor(T, a), forward_price(S, T, a, b)};
    else
        return {a, b};
}

// S, K, T, then r, q or D, F, then vol
template <terms given>
void price_market(const double *in, bool is_call, bool european, double *out,
                  std::int8_t *) noexcept
{
    const double S = in[0], K = in[1], T = in[2], vol = in[5];
    const model_forward m = model_of<given>(S, T, in[3], in[4]);
    out[0] = valid_option(S, K, T, m.D, m.F) && valid_deviation(vol)
                 ? model_price(S, K, m.D, m.F, total_deviation(T, vol), is_call, european)
                 : nan;
}

// price, S, K, D, F
template <solver_fn solver>
void implied_sigma_model(const double *in, bool is_call, bool european, double *out,
                         std::int8_t *status) noexcept
{
    const double price = in[0], S = in[1], K = in[2], D = in[3], F = in[4];
    out[0] = report(solve<solver>(price, S, K, D, F, valid_model_inputs(S, K, D, F), is_call,
                                  european),
                    status);
}

// price, S, K, T, then r, q or D, F: the annualised volatility
template <terms given, solver_fn solver>
void implied_vol_market(const double *in, bool is_call, bool european, double *out,
                        std::int8_t *status) noexcept
{
    const double price = in[0], S = in[1], K = in[2], T = in[3];
    const model_forward m = model_of<given>(S, T, in[4], in[5]);
    out[0] = report(solve<solver>(price, S, K, m.D, m.F, valid_option(S, K, T, m.D, m.F), is_call,
                                  european),
                    status)
             / std::sqrt(T);
}

// price, S, K, T, D, F: the annualised volatility, as implied_vol_market
// gives it, and delta and vega (per 1.00 of vol) at that volatility, in
// closed form (for the American price its formula's delta and the
// approximation's analytic vega, the critical spot moving with sigma: from
// the fast solver's model at its root where it has one, else from one more
// price); NaN in all three unless solved.
template <bool fast>
void solve_market(const double *in, bool is_call, bool european, double *out,
                  std::int8_t *status) noexcept
{
    const double price = in[0], S = in[1], K = in[2], T = in[3], D = in[4], F = in[5];
    const bool valid = valid_option(S, K, T, D, F);
    root_sensitivities at_root{nan, nan, false};
    implied_vol_result result;
    if (fast && valid && !european && std::isfinite(price) && price >= 0.0)
        result = solve_market_implied_vol_fast(price, S, K, D, F, flag_of(is_call), &at_root);
    else
        result = solve<solve_market_implied_vol>(price, S, K, D, F, valid, is_call, european);
    const double sigma = report(result, status);
    const double root_T = std::sqrt(T);
    out[0] = sigma / root_T;
    if (result.status != implied_vol_status::solved) {
        out[1] = nan;
        out[2] = nan;
        return;
    }
    if (european) {
        const delta_vega g = european_delta_vega(S, K, T, D, F, sigma, flag_of(is_call));
        out[1] = g.delta;
        out[2] = g.vega;
        return;
    }
    if (!at_root.known) {
        price_sensitivities g{};
        baw_price_with_sensitivities(S, K, D, F, sigma, flag_of(is_call), g);
        at_root = {g.delta, g.vega, true};
    }
    out[1] = at_root.delta;
    out[2] = at_root.vega * root_T;
}

// S, K, T, r, q, vol
void greeks_rates(const double *in, bool is_call, bool european, double *out,
                  std::int8_t *) noexcept
{
    const double S = in[0], K = in[1], T = in[2], r = in[3], q = in[4], vol = in[5];
    if (european) {
        write_greeks(european_greeks(S, K, T, discount_factor(T, r), forward_price(S, T, r, q), r,
                                     q, vol, flag_of(is_call)),
                     out);
        return;
    }
    write_greeks(baw_greeks(S, K, T, r, q, vol, flag_of(is_call)), out);
}

// S, K, T, D, F, vol: at the rates that give D and F
void greeks_forward(const double *in, bool is_call, bool european, double *out,
                    std::int8_t *) noexcept
{
    const double S = in[0], K = in[1], T = in[2], D = in[3], F = in[4], vol = in[5];
    if (!valid_option(S, K, T, D, F)) {
        write_greeks({nan, nan, nan, nan, nan}, out);
        return;
    }
    const market_rates rates = rates_of(S, T, D, F);
    if (european) {
        write_greeks(european_greeks(S, K, T, D, F, rates.r, rates.q, vol, flag_of(is_call)), out);
        return;
    }
    write_greeks(baw_greeks(S, K, T, rates.r, rates.q, vol, flag_of(is_call)), out);
}

// ---------------------------------------------------------------------------
// The integral model (model="integral"): the same inputs and outputs, its
// price, inversion and Greeks for American options; European ones as above.

// The option's rate and dividend yield from its two market inputs after T.
template <terms given>
market_rates rates_from(double S, double T, double a, double b) noexcept
{
    if constexpr (given == terms::rates)
        return {a, b};
    else
        return rates_of(S, T, a, b);
}

template <terms given>
void price_integral(const double *in, bool is_call, bool european, double *out,
                    std::int8_t *status) noexcept
{
    if (european) {
        price_market<given>(in, is_call, european, out, status);
        return;
    }
    const double S = in[0], K = in[1], T = in[2], vol = in[5];
    const model_forward m = model_of<given>(S, T, in[3], in[4]);
    if (!(valid_option(S, K, T, m.D, m.F) && valid_deviation(vol))) {
        out[0] = nan;
        return;
    }
    const market_rates rates = rates_from<given>(S, T, in[3], in[4]);
    out[0] = integral_price(S, K, T, rates.r, rates.q, vol, flag_of(is_call));
}

// The integral model's inversion of a valid American option's price.
implied_vol_result integral_inversion(double price, double S, double K, double T,
                                      const market_rates &rates, bool is_call) noexcept
{
    return integral_implied_vol(price, S, K, T, rates.r, rates.q, flag_of(is_call));
}

template <terms given>
void implied_vol_integral(const double *in, bool is_call, bool european, double *out,
                          std::int8_t *status) noexcept
{
    const double price = in[0], S = in[1], K = in[2], T = in[3];
    const model_forward m = model_of<given>(S, T, in[4], in[5]);
    const bool valid = valid_option(S, K, T, m.D, m.F);
    if (european || !(valid && std::isfinite(price) && price >= 0.0)) {
        implied_vol_market<given, solve_market_implied_vol>(in, is_call, european, out, status);
        return;
    }
    const market_rates rates = rates_from<given>(S, T, in[4], in[5]);
    out[0] = report(integral_inversion(price, S, K, T, rates, is_call), status);
}

// price, S, K, T, D, F: the volatility, and delta and vega at it (the
// model's own, exact for its price as computed).
void solve_integral(const double *in, bool is_call, bool european, double *out,
                    std::int8_t *status) noexcept
{
    const double price = in[0], S = in[1], K = in[2], T = in[3], D = in[4], F = in[5];
    const bool valid = valid_option(S, K, T, D, F);
    if (european || !(valid && std::isfinite(price) && price >= 0.0)) {
        solve_market<false>(in, is_call, european, out, status);
        return;
    }
    const market_rates rates = rates_of(S, T, D, F);
    const double vol = report(integral_inversion(price, S, K, T, rates, is_call), status);
    out[0] = vol;
    if (!(vol > 0.0)) {
        out[1] = nan;
        out[2] = nan;
        return;
    }
    out[1] = integral_price_delta_gamma(S, K, T, rates.r, rates.q, vol, flag_of(is_call)).delta;
    out[2] = integral_price_derivative(S, K, T, rates.r, rates.q, vol, flag_of(is_call),
                                       integral_input::vol)
                 .derivative;
}

template <terms given>
void greeks_integral(const double *in, bool is_call, bool european, double *out,
                     std::int8_t *status) noexcept
{
    if (european) {
        if constexpr (given == terms::rates)
            greeks_rates(in, is_call, european, out, status);
        else
            greeks_forward(in, is_call, european, out, status);
        return;
    }
    const double S = in[0], K = in[1], T = in[2], vol = in[5];
    const model_forward m = model_of<given>(S, T, in[3], in[4]);
    if (!valid_option(S, K, T, m.D, m.F)) {
        write_greeks({nan, nan, nan, nan, nan}, out);
        return;
    }
    const market_rates rates = rates_from<given>(S, T, in[3], in[4]);
    write_greeks(integral_greeks(S, K, T, rates.r, rates.q, vol, flag_of(is_call)), out);
}

#define VORNET_ENGINE_WORKERS_DOC                                                                 \
    "workers splits the loop over native threads: 1 (the default), -1 for every core the "       \
    "process may use, -k for all but k-1; the results do not depend on it.\n"

#define VORNET_ENGINE_EUROPEAN_DOC                                                                \
    "european (keyword): False (the default) for American options, True for European ones "     \
    "(Black-76 on the forward), or a bool array of one element per option.\n"

#define VORNET_ENGINE_METHOD_DOC                                                                  \
    "method is 'exact' (the default: the bracketing solver) or 'fast' (Newton's method with "   \
    "the analytic vega: the same statuses, values within 2e-9 in total standard deviation); "   \
    "European options have one solver (Householder's method to the last place).\n"

#define VORNET_ENGINE_MODEL_DOC                                                                   \
    "model (keyword): 'baw' (the default: the Barone-Adesi-Whaley approximation) or "            \
    "'integral' (the exercise boundary solved: accurate to about 1e-7 relative) for American "    \
    "options.\n"

#define VORNET_ENGINE_MARKET_INVERSION_DOC                                                        \
    "The status is implied_sigma's, or 5 where the price does not move with volatility; the "   \
    "core's root, bit for bit, except where its price is not monotone near zero volatility: "   \
    "there the root on the monotone branch.\n"

}  // namespace

const kernel_def kernels[kernel_count] = {
    {"price", "price($module, S, K, D, F, sigma, is_call, /, workers=1, *, european=False)\n--\n\n"
              "Price in the model's terms: discount factor D, forward F, total standard "
              "deviation sigma; NaN where an input is invalid.\n" VORNET_ENGINE_WORKERS_DOC
              VORNET_ENGINE_EUROPEAN_DOC,
     5, {"S", "K", "D", "F", "sigma"}, 1, false, price_model},
    {"price_rates",
     "price_rates($module, S, K, T, r, q, vol, is_call, /, workers=1, *, european=False, model='baw')\n--\n\n"
     "Price in market terms: years T, continuously compounded r and q, annualised vol; NaN "
     "where an input is invalid.\n" VORNET_ENGINE_WORKERS_DOC VORNET_ENGINE_EUROPEAN_DOC VORNET_ENGINE_MODEL_DOC,
     6, {"S", "K", "T", "r", "q", "vol"}, 1, false, price_market<terms::rates>, nullptr, price_integral<terms::rates>},
    {"price_forward",
     "price_forward($module, S, K, T, D, F, vol, is_call, /, workers=1, *, european=False, "
     "model='baw')\n--\n\n"
     "Price from the discount factor D and forward F, annualised vol over T years; NaN where "
     "an input is invalid.\n" VORNET_ENGINE_WORKERS_DOC VORNET_ENGINE_EUROPEAN_DOC VORNET_ENGINE_MODEL_DOC,
     6, {"S", "K", "T", "D", "F", "vol"}, 1, false, price_market<terms::forward>, nullptr, price_integral<terms::forward>},
    {"implied_sigma",
     "implied_sigma($module, price, S, K, D, F, is_call, /, workers=1, *, method='exact', "
     "european=False)\n--\n\n"
     "Implied total standard deviation and its status (0 solved, 1 no time value, 2 above the "
     "model's maximum, 3 invalid input, 4 no convergence); NaN unless solved. The exact method "
     "is the core's search, bit for bit.\n"
     VORNET_ENGINE_WORKERS_DOC VORNET_ENGINE_METHOD_DOC VORNET_ENGINE_EUROPEAN_DOC,
     5, {"price", "S", "K", "D", "F"}, 1, true, implied_sigma_model<solve_implied_vol>,
     implied_sigma_model<solve_implied_vol_fast>},
    {"implied_vol_rates",
     "implied_vol_rates($module, price, S, K, T, r, q, is_call, /, workers=1, *, method='exact', "
     "european=False, model='baw')\n--\n\n"
     "Implied annualised volatility in market terms and its status; NaN unless solved.\n"
     VORNET_ENGINE_MARKET_INVERSION_DOC VORNET_ENGINE_WORKERS_DOC VORNET_ENGINE_METHOD_DOC
     VORNET_ENGINE_EUROPEAN_DOC VORNET_ENGINE_MODEL_DOC,
     6, {"price", "S", "K", "T", "r", "q"}, 1, true,
     implied_vol_market<terms::rates, solve_market_implied_vol>,
     implied_vol_market<terms::rates, solve_market_implied_vol_fast>,
     implied_vol_integral<terms::rates>},
    {"implied_vol_forward",
     "implied_vol_forward($module, price, S, K, T, D, F, is_call, /, workers=1, *, "
     "method='exact', european=False, model='baw')\n--\n\n"
     "Implied annualised volatility from the discount factor and forward, and its status; NaN "
     "unless solved.\n" VORNET_ENGINE_MARKET_INVERSION_DOC VORNET_ENGINE_WORKERS_DOC
     VORNET_ENGINE_METHOD_DOC VORNET_ENGINE_EUROPEAN_DOC VORNET_ENGINE_MODEL_DOC,
     6, {"price", "S", "K", "T", "D", "F"}, 1, true,
     implied_vol_market<terms::forward, solve_market_implied_vol>,
     implied_vol_market<terms::forward, solve_market_implied_vol_fast>,
     implied_vol_integral<terms::forward>},
    {"solve_forward",
     "solve_forward($module, price, S, K, T, D, F, is_call, /, workers=1, *, method='exact', "
     "european=False, model='baw')\n--\n\n"
     "(vol, delta, vega, status): implied_vol_forward's volatility and status, bit for bit, "
     "and delta and vega (per 1.00 of vol) at that volatility in closed form (the American "
     "price's formula delta and the approximation's analytic vega); NaN unless solved.\n"
     VORNET_ENGINE_WORKERS_DOC VORNET_ENGINE_METHOD_DOC VORNET_ENGINE_EUROPEAN_DOC VORNET_ENGINE_MODEL_DOC,
     6, {"price", "S", "K", "T", "D", "F"}, 3, true, solve_market<false>, solve_market<true>,
     solve_integral},
    {"greeks_rates",
     "greeks_rates($module, S, K, T, r, q, vol, is_call, /, workers=1, *, european=False, "
     "model='baw')\n--\n\n"
     "delta, gamma, vega (per 1.00 of vol), theta (per year) and rho (per 1.00 of r) in market "
     "terms; NaN where an input is invalid or vol <= 0.\n" VORNET_ENGINE_WORKERS_DOC
     VORNET_ENGINE_EUROPEAN_DOC VORNET_ENGINE_MODEL_DOC,
     6, {"S", "K", "T", "r", "q", "vol"}, 5, false, greeks_rates, nullptr, greeks_integral<terms::rates>},
    {"greeks_forward",
     "greeks_forward($module, S, K, T, D, F, vol, is_call, /, workers=1, *, european=False, "
     "model='baw')\n--\n\n"
     "The five Greeks from the discount factor and forward, at the rates r = -ln(D)/T and "
     "q = r - ln(F/S)/T that give them.\n" VORNET_ENGINE_WORKERS_DOC VORNET_ENGINE_EUROPEAN_DOC VORNET_ENGINE_MODEL_DOC,
     6, {"S", "K", "T", "D", "F", "vol"}, 5, false, greeks_forward, nullptr, greeks_integral<terms::forward>},
};

namespace {

// The group's strikes within the narrowest band around the spot that holds
// any (choose_strikes with the default 1 %), their quotes side by side in
// `quotes`, as the search reads them.
forward_search_args chosen_quotes(const forward_group &group, std::int64_t *chosen,
                                  double *quotes) noexcept
{
    const std::int64_t n_sel =
        choose_strikes(group.strikes, group.count, group.S, default_strike_pct, chosen);
    double *calls = quotes;
    double *puts = quotes + n_sel;
    double *strikes = quotes + 2 * n_sel;
    for (std::int64_t j = 0; j < n_sel; ++j) {
        calls[j] = group.calls[chosen[j]];
        puts[j] = group.puts[chosen[j]];
        strikes[j] = group.strikes[chosen[j]];
    }
    return {group.S, group.D, calls, puts, strikes, n_sel};
}

}  // namespace

forward_fit fit_forward(const forward_group &group, std::int64_t *chosen,
                        double *quotes) noexcept
{
    forward_search_args params = chosen_quotes(group, chosen, quotes);
    const double parity = parity_forward(params);
    const double forward = search_forward(params, parity);

    forward_code code = forward_code::no_usable_strike;
    if (group.count == 0)
        code = forward_code::no_pairs;
    else if (!(std::isfinite(forward) && forward > 0.0))
        code = forward_code::not_positive;
    else {
        for (std::int64_t j = 0; j < params.count; ++j) {
            if (baw_implied_vol_core(params.calls[j], group.S, params.strikes[j], group.D,
                                     forward, flag_call)
                    > 0.0
                && baw_implied_vol_core(params.puts[j], group.S, params.strikes[j], group.D,
                                        forward, flag_put)
                       > 0.0) {
                code = forward_code::accepted;
                break;
            }
        }
    }
    return {forward, parity, code};
}

forward_fit fit_forward_integral(const forward_group &group, double T, std::int64_t *chosen,
                                 double *quotes) noexcept
{
    integral_forward_args args{chosen_quotes(group, chosen, quotes), T};
    const double parity = parity_forward(args.quotes);
    const double forward = search_forward_integral(args, parity);

    forward_code code = forward_code::no_usable_strike;
    if (group.count == 0)
        code = forward_code::no_pairs;
    else if (!(std::isfinite(forward) && forward > 0.0 && std::isfinite(T) && T > 0.0))
        code = forward_code::not_positive;
    else {
        const forward_search_args &p = args.quotes;
        for (std::int64_t j = 0; j < p.count; ++j) {
            if (integral_forward_vol(p.calls[j], group.S, p.strikes[j], group.D, forward, T,
                                     flag_call)
                    > 0.0
                && integral_forward_vol(p.puts[j], group.S, p.strikes[j], group.D, forward, T,
                                        flag_put)
                       > 0.0) {
                code = forward_code::accepted;
                break;
            }
        }
    }
    return {forward, parity, code};
}

forward_fit parity_fit(const forward_group &group, std::int64_t *chosen, double *quotes) noexcept
{
    const double parity = parity_forward(chosen_quotes(group, chosen, quotes));
    forward_code code = forward_code::accepted;
    if (group.count == 0)
        code = forward_code::no_pairs;
    else if (!(std::isfinite(parity) && parity > 0.0))
        code = forward_code::not_positive;
    return {parity, parity, code};
}

}  // namespace vornet::engine
