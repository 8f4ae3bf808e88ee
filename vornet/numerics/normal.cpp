#include "normal.h"

#include <cfloat>
#include <cmath>

#include "float_ops.h"
#include "option_flag.h"

namespace vornet {

namespace {

// N(x) switches from erfc to the asymptotic series at and below this point.
constexpr double tail_threshold = -10.0;
// 1/sqrt(2): erfc's argument is -x times this (a product, not a quotient).
constexpr double inv_sqrt2 = 0.7071067811865476;
// 1/sqrt(2 pi): the normal density factor.
constexpr double inv_sqrt_2pi = 0.3989422804014327;
// Below -2^26, 1/x^2 is already under DBL_EPSILON: the series is left at 1.
constexpr double series_cutoff = -67108864.0;
// erfcx: 1/sqrt(pi), Veltkamp's splitting factor 2^27 + 1, and where the
// asymptotic series takes over from erfc (which underflows past 26.5).
constexpr double inv_sqrt_pi = 0.5641895835477563;
constexpr double dekker_split = 134217729.0;
constexpr double erfcx_series_start = 26.0;

// The factor a of the tail form N(x) = -phi(x) a / x, x <= -10:
//   a = 1 - 1/x^2 + 3/x^4 - 15/x^6 + ... = sum_n (-1)^n (2n-1)!! / x^(2n),
// summed a pair of terms at a time, a = 1 - e1 - e2 - ..., where with b = x^2
//   e_k = (4k-3)!!/b^(2k-1) - (4k-1)!!/b^(2k),
// carried forward by c_k = (4k-1)!!/b^(2k):  h = (4j-3)/b, l = ((4j-1)/b) h,
//   e_j = (h - l) c_(j-1),  c_j = l c_(j-1).
// The series diverges, so summing stops as soon as a pair no longer shrinks or
// has fallen below DBL_EPSILON relative to the running sum; the pair that
// triggers the stop has been subtracted already.
double tail_series(double x) noexcept
{
    if (x < series_cutoff)
        return 1.0;
    const double b = x * x;
    double c = (3.0 / b) * (1.0 / b);
    double e = (1.0 / b) - c;
    double previous = DBL_MAX;
    long j = 2;
    double a = 1.0;
    for (;;) {
        a = a - e;
        const double g = std::fabs(e);
        if (!(previous > g))
            break;
        if (!(g >= std::fabs(DBL_EPSILON * a)))
            break;
        previous = g;
        const double h = static_cast<double>(4 * j - 3) / b;
        const double l = (static_cast<double>(4 * j - 1) / b) * h;
        j = j + 1;
        e = (h - l) * c;
        c = l * c;
    }
    return a;
}

}  // namespace

double norm_cdf(double x) noexcept
{
    // Written as "not <=" so that NaN takes the erfc branch and comes out NaN.
    if (!(x <= tail_threshold))
        return std::erfc(negated(x) * inv_sqrt2) * 0.5;
    const double a = tail_series(x);
    return (negated(norm_pdf(x)) * a) / x;
}

double norm_pdf(double x) noexcept { return std::exp((x * -0.5) * x) * inv_sqrt_2pi; }

double erfcx(double z) noexcept
{
    // Below 0.5 exp(z^2) is within an ulp of its argument's rounding.
    if (!(z >= 0.5))
        return std::exp(z * z) * std::erfc(z);
    if (z <= erfcx_series_start) {
        // z^2 = square + error exactly (Dekker's product), so that
        // exp(z^2) = exp(square) (1 + error) loses nothing to the square's
        // rounding, which exp would multiply by z^2.
        const double split = dekker_split * z;
        const double high = split - (split - z);
        const double low = z - high;
        const double square = z * z;
        const double error = ((high * high - square) + 2.0 * high * low) + low * low;
        return (std::erfc(z) * std::exp(square)) * (1.0 + error);
    }
    // 1/(z sqrt(pi)) (1 - 1/(2z^2) + 3/(2z^2)^2 - 15/(2z^2)^3 + ...): beyond
    // z = 26 the seventh term is below 1e-17.
    const double w = 1.0 / (2.0 * z * z);
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 7; ++k) {
        term *= -static_cast<double>(2 * k - 1) * w;
        sum += term;
    }
    return sum * inv_sqrt_pi / z;
}

double black76_d1(double F, double K, double sigma) noexcept
{
    return black76_d1_from_log(std::log(F / K), sigma);
}

double black76_d1_from_log(double ln_F_over_K, double sigma) noexcept
{
    return ln_F_over_K / sigma + sigma * 0.5;
}

double black76_call_value(double K, double D, double F, double n_d1, double n_d2) noexcept
{
    return (F * n_d1 - K * n_d2) * D;
}

double black76_put_value(double K, double D, double F, double n_md2, double n_md1) noexcept
{
    return (K * n_md2 - F * n_md1) * D;
}

double black76_price(double K, double D, double F, double sigma, std::int32_t flag) noexcept
{
    if (sigma <= 0.0)
        return black76_price_from_log(0.0, K, D, F, sigma, flag);  // the logarithm is not read
    return black76_price_from_log(std::log(F / K), K, D, F, sigma, flag);
}

double black76_price_from_log(double ln_F_over_K, double K, double D, double F, double sigma,
                              std::int32_t flag) noexcept
{
    if (sigma <= 0.0) {
        const double v = flag == flag_call ? (F - K) * D : (K - F) * D;
        return v > 0.0 ? v : 0.0;  // NaN floors to zero as well
    }
    const double d1 = black76_d1_from_log(ln_F_over_K, sigma);
    const double d2 = d1 - sigma;
    if (flag == flag_call) {
        const double n_d1 = norm_cdf(d1);
        const double n_d2 = norm_cdf(d2);
        return black76_call_value(K, D, F, n_d1, n_d2);
    }
    const double n_md2 = norm_cdf(negated(d2));
    const double n_md1 = norm_cdf(negated(d1));
    return black76_put_value(K, D, F, n_md2, n_md1);
}

}  // namespace vornet
