#include "fast_implied_vol.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "baw.h"
#include "normal.h"
#include "option_flag.h"

namespace vornet {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// As in the exact solver: no time value within this margin of the exercise
// value; the region [sigma_lo, sigma_hi] is the widest the exact solver
// searches below its cap.
constexpr double time_value_tol = 1e-10;
constexpr double sigma_lo = 1e-8;
constexpr double sigma_hi = 8.0;
// A Newton step this small leaves an error of the order of its square.
constexpr double sigma_step_tol = 1e-8;
constexpr int sigma_steps = 40;
// The critical spot: steps relative to it, and their number.
constexpr double spot_step_tol = 1e-11;
constexpr int spot_steps = 30;
constexpr double call_search_limit = 1048576.0;  // 2^20
// The exact pricer's tolerance on S*, relative and absolute.
constexpr double spot_tol = 1e-10;
// Where the exact price's error may move the root by more than this, or the
// rounding of a price (price_noise relative), the exact solver decides.
constexpr double exact_gap_tol = 1e-10;
constexpr double price_noise = 16.0 * DBL_EPSILON;
constexpr double two_pi_sqrt = 2.5066282746310002;  // sqrt(2 pi)
constexpr double pi = 3.141592653589793;

struct priced {
    double value;
    double vega;  // dP/ds
    bool ok;      // false: the critical spot was not found
    // How far the exact price may be from this one: the exact pricer stops
    // its search for S* within its tolerance, and the price moves with S* by
    // (S/S*)^q g'(S*).
    double exact_gap = 0.0;
    // dP/dS with F/S held, where asked for (the formula's, as baw.h's
    // spot derivatives have it).
    double delta = nan;
};

// One option's price and vega as functions of s, remembering its last
// critical spot.
class american_model {
public:
    explicit american_model(const option_terms &o) noexcept
        : o_(o), call_(o.flag == flag_call), D_rho_(o.D * o.rho),
          c_(((o.ln_D * -2.0) * 4.0) / (1.0 - o.D))  // m^2 = beta^2 + c / s^2
    {
    }

    priced at(double s) noexcept { return evaluate<false>(s); }
    // The same with delta.
    priced with_delta(double s) noexcept { return evaluate<true>(s); }
    const option_terms &option() const noexcept { return o_; }

private:
    template <bool delta>
    priced evaluate(double s) noexcept;
    bool critical_spot(double s, double q, double &x, double &n, double &slope) noexcept;
    double seed(double s, double beta) const noexcept;

    option_terms o_;
    bool call_;
    double D_rho_;
    double c_;
    double s_star_ = nan;
};

// Newton's method on g from the last critical spot (or the closed-form
// seed); x receives S*, n receives N(+-d1(S*)) and slope g'(S*).
bool american_model::critical_spot(double s, double q, double &x, double &n,
                                   double &slope) noexcept
{
    const critical_price_args args{o_.K, o_.D, o_.rho, s, q};
    for (int step = 0; step < spot_steps; ++step) {
        critical_terms t;
        const double g = call_ ? call_critical_objective(x, args, t)
                               : put_critical_objective(x, args, t);
        const double h = 1.0 - D_rho_ * t.n;
        const double pdf = norm_pdf(t.d1);
        slope = (call_ ? h * (1.0 / q - 1.0) : h * (1.0 - 1.0 / q)) - D_rho_ * pdf / (s * q);
        const double delta = g / slope;
        const double next = x - delta;
        if (!(call_ ? next > o_.K : next > 0.0 && next < o_.K) || !std::isfinite(next))
            return false;
        if (std::fabs(delta) <= spot_step_tol * x) {
            // N(+-d1) moved to the new point to first order: its error is of
            // the order of the square of a step this small.
            n = t.n + (call_ ? pdf : -pdf) * (std::log(next / x) / s);
            x = next;
            return true;
        }
        x = next;
    }
    return false;
}

// The 1987 paper's first guess for the critical spot: the infinite-maturity
// spot K / (1 - 1/q_inf), moved towards K by the factor exp(h).
double american_model::seed(double s, double beta) const noexcept
{
    const double K = o_.K;
    const double root = std::sqrt(beta * beta + (-8.0 * o_.ln_D) / (s * s));
    if (call_) {
        const double q_inf = (-beta + root) * 0.5;
        const double far = K / (1.0 - 1.0 / q_inf);
        const double h = -(o_.ln_rho + 2.0 * s) * K / (far - K);
        return K + (far - K) * (1.0 - std::exp(h));
    }
    const double q_inf = (-beta - root) * 0.5;
    const double far = K / (1.0 - 1.0 / q_inf);
    const double h = (o_.ln_rho - 2.0 * s) * K / (K - far);
    return far + (K - far) * std::exp(h);
}

template <bool with_delta>
priced american_model::evaluate(double s) noexcept
{
    const double S = o_.S, K = o_.K, D = o_.D, F = o_.F;
    const double side = call_ ? 1.0 : -1.0;
    const double d1 = black76_d1_from_log(o_.ln_F_over_K, s);
    const double european = black76_price_from_log(o_.ln_F_over_K, K, D, F, s, o_.flag);
    const double european_vega = D * F * norm_pdf(d1);
    const double exercise = exercise_value(S, K, o_.flag);
    const bool exercise_bound = exercise > european;
    // The slopes in S of the Black-76 price (F/S held) and of the exercise
    // value, where asked for.
    const double european_delta =
        with_delta ? side * (D * o_.rho) * norm_cdf(side * d1) : nan;
    const double exercise_delta = exercise > 0.0 ? side : 0.0;
    priced bound{exercise_bound ? exercise : european, exercise_bound ? 0.0 : european_vega,
                 true};
    bound.delta = exercise_bound ? exercise_delta : european_delta;
    if (D >= 1.0 || (call_ && D_rho_ >= 1.0))
        return bound;

    const double s2 = s * s;
    const double beta = carry_exponent(o_.ln_rho, s);
    const double beta_slope = -4.0 * o_.ln_rho / (s2 * s);
    const double m = std::sqrt(quadratic_discriminant(D, o_.ln_D, s, beta));
    const double m_slope = m > 0.0 ? (beta * beta_slope - c_ / (s2 * s)) / m : 0.0;
    const double q = (-beta + side * m) * 0.5;
    const double q_slope = (-beta_slope + side * m_slope) * 0.5;
    if (call_ ? q <= 0.0 : q >= 0.0)
        return bound;

    double x = std::isnan(s_star_) ? seed(s, beta) : s_star_;
    double n = nan, slope = nan;
    if (!(std::isfinite(x) && (call_ ? x > K : x > 0.0 && x < K))
        || !critical_spot(s, q, x, n, slope))
        return {nan, nan, false};
    // The exact pricer stops looking for the call's S* beyond 2^20 K and
    // takes 2^21 K; there the two would differ.
    if (call_ && !(x < call_search_limit * K))
        return {nan, nan, false};
    s_star_ = x;
    if (call_ ? S >= x : x >= S)
        return {exercise, 0.0, true, 0.0, exercise_delta};

    const double A = side * (1.0 - n * D_rho_) * (x / q);
    const double log_ratio = std::log(S / x);
    const double power = std::exp(q * log_ratio);
    const double premium = A * power;
    const double d1_star = black76_d1(x * o_.rho, K, s);
    const double vega =
        european_vega + premium * q_slope * log_ratio - power * D_rho_ * x * norm_pdf(d1_star);
    const double american = european + premium;
    if (bound.value > american)
        return bound;
    return {american, vega, true, power * std::fabs(slope) * (spot_tol * (1.0 + x)),
            european_delta + premium * q / S};
}

// Corrado-Miller on the undiscounted time value over the forward, within
// the region the iteration works in.
double first_guess(double price, double K, double D, double F, std::int32_t flag) noexcept
{
    const double call = flag == flag_call ? price / D : price / D + (F - K);
    const double half_gap = (F - K) * 0.5;
    const double a = call - half_gap;
    const double disc = a * a - (F - K) * (F - K) / pi;
    const double guess = two_pi_sqrt / (F + K) * (a + std::sqrt(disc > 0.0 ? disc : 0.0));
    if (!(guess > 1e-3))
        return 1e-3;
    return guess < 4.0 ? guess : 4.0;
}

bool positive_finite(double v) noexcept { return std::isfinite(v) && v > 0.0; }

}  // namespace

implied_vol_result solve_implied_vol_fast(double price, double S, double K, double D, double F,
                                          std::int32_t flag) noexcept
{
    return solve_implied_vol_fast(price, S, K, D, F, flag, solve_implied_vol);
}

implied_vol_result solve_implied_vol_fast(double price, double S, double K, double D, double F,
                                          std::int32_t flag, implied_vol_solver fallback) noexcept
{
    return solve_implied_vol_fast(price, S, K, D, F, flag, fallback, nullptr);
}

implied_vol_result solve_implied_vol_fast(double price, double S, double K, double D, double F,
                                          std::int32_t flag, implied_vol_solver fallback,
                                          root_sensitivities *at_root) noexcept
{
    if (at_root != nullptr)
        *at_root = {nan, nan, false};
    const auto exact = [&] { return fallback(price, S, K, D, F, flag); };
    if (!(positive_finite(price) && positive_finite(S) && positive_finite(K)
          && positive_finite(D) && positive_finite(F)))
        return exact();
    if (exercise_value(S, K, flag) + time_value_tol >= price)
        return {nan, implied_vol_status::no_time_value};

    american_model model(terms_of(S, K, D, F, flag));
    // [lo, hi] holds the root once both ends are prices' verdicts.
    double lo = sigma_lo, hi = sigma_hi;
    bool lo_known = false, hi_known = false;
    double s = first_guess(price, K, D, F, flag);
    for (int step = 0; step < sigma_steps; ++step) {
        const priced p = model.at(s);
        if (!p.ok)
            return exact();
        const double f = p.value - price;
        if (f < 0.0) {
            lo = s;
            lo_known = true;
        } else if (f > 0.0) {
            hi = s;
            hi_known = true;
        }
        double next = f == 0.0 ? s : s - f / p.vega;
        if (std::fabs(next - s) <= sigma_step_tol) {
            // Where the price hardly moves with s, the root is not defined
            // better than the exact pricer's own error; the exact solver's
            // answer is then the answer.
            const double noise = p.exact_gap + price_noise * price;
            if (!(noise < exact_gap_tol * p.vega))
                return exact();
            // Below the model's price at the exact solver's lowest s there is
            // no time value, as the exact solver decides.
            const double f_lo = baw_price_of(model.option(), sigma_lo) - price;
            if (!(f_lo <= 0.0))
                return exact();
            if (at_root != nullptr) {
                // One more evaluation, its critical spot a step or two of
                // Newton's method from the last one.
                const priced root = model.with_delta(next);
                if (root.ok)
                    *at_root = {root.delta, root.vega, true};
            }
            return {next, implied_vol_status::solved};
        }
        if (!(next > lo && next < hi)) {
            if (!(lo_known && hi_known))
                return exact();
            next = 0.5 * (lo + hi);
        }
        s = next;
    }
    return exact();
}

}  // namespace vornet
