// A value with its derivative along one input (forward-mode differentiation):
// every operation carries d(result) = f'(x) dx along, so that a computation
// written once as a template gives its exact derivative as well.
#ifndef VORNET_NUMERICS_DUAL_NUMBER_H
#define VORNET_NUMERICS_DUAL_NUMBER_H

#include <cmath>

#include "normal.h"

namespace vornet {

struct dual {
    double v;  // the value
    double d;  // its derivative
};

inline dual operator+(dual a, dual b) noexcept { return {a.v + b.v, a.d + b.d}; }
inline dual operator-(dual a, dual b) noexcept { return {a.v - b.v, a.d - b.d}; }
inline dual operator-(dual a) noexcept { return {-a.v, -a.d}; }
inline dual operator*(dual a, dual b) noexcept { return {a.v * b.v, a.d * b.v + a.v * b.d}; }
inline dual operator/(dual a, dual b) noexcept
{
    const double v = a.v / b.v;
    return {v, (a.d - v * b.d) / b.v};
}
inline dual operator+(dual a, double b) noexcept { return {a.v + b, a.d}; }
inline dual operator+(double a, dual b) noexcept { return {a + b.v, b.d}; }
inline dual operator-(dual a, double b) noexcept { return {a.v - b, a.d}; }
inline dual operator-(double a, dual b) noexcept { return {a - b.v, -b.d}; }
inline dual operator*(dual a, double b) noexcept { return {a.v * b, a.d * b}; }
inline dual operator*(double a, dual b) noexcept { return {a * b.v, a * b.d}; }
inline dual operator/(dual a, double b) noexcept { return {a.v / b, a.d / b}; }
inline dual operator/(double a, dual b) noexcept
{
    const double v = a / b.v;
    return {v, -v * b.d / b.v};
}

// The value alone, for tests and branches.
inline double value_of(double x) noexcept { return x; }
inline double value_of(dual x) noexcept { return x.v; }

// The same functions over doubles and duals, for templates over both.
inline double d_exp(double x) noexcept { return std::exp(x); }
inline double d_log(double x) noexcept { return std::log(x); }
inline double d_sqrt(double x) noexcept { return std::sqrt(x); }
inline double d_expm1(double x) noexcept { return std::expm1(x); }
inline double d_norm_cdf(double x) noexcept { return norm_cdf(x); }

inline dual d_exp(dual x) noexcept
{
    const double e = std::exp(x.v);
    return {e, e * x.d};
}
inline dual d_expm1(dual x) noexcept { return {std::expm1(x.v), std::exp(x.v) * x.d}; }
inline dual d_log(dual x) noexcept { return {std::log(x.v), x.d / x.v}; }
inline dual d_sqrt(dual x) noexcept
{
    const double s = std::sqrt(x.v);
    return {s, s > 0.0 ? x.d / (2.0 * s) : 0.0};
}
inline dual d_norm_cdf(dual x) noexcept { return {norm_cdf(x.v), norm_pdf(x.v) * x.d}; }

// N(x) where the caller has the density phi(x) (to the last bit, as
// norm_pdf gives it) already: the derivative needs no second exp.
inline double d_norm_cdf(double x, double) noexcept { return norm_cdf(x); }
inline dual d_norm_cdf(dual x, double density) noexcept
{
    return {norm_cdf(x.v), density * x.d};
}

}  // namespace vornet

#endif
