// exp, ln and the normal distribution function over arrays of doubles, four
// or eight at a time, for the integral model's quadratures, and the weighted sums of a
// matrix's rows (with a square root) for its interpolation.
//
// exp(x) = 2^k exp(r): k = round(x / ln 2), r = (x - k ln2_hi) - k ln2_lo with
// ln 2 in two parts (k ln2_hi is exact for |k| < 2^20), so |r| <= ln 2 / 2;
// exp(r) by its Taylor polynomial of degree 13 (the first term left out is
// below 5e-18 relative) in Estrin's form; 2^k as two powers of two, so that
// results down to the smallest subnormal are rounded once. Below -746 the
// result is 0, above 710 it is infinite, NaN stays NaN.
//
// ln(x) = k ln 2 + ln m, x = 2^k m, m in [sqrt(1/2), sqrt(2)) (a subnormal x
// scaled by 2^54 first, k and m read from the bits): ln m = 2 atanh(f),
// f = (m - 1)/(m + 1), |f| < 0.172 (m - 1 is exact), by its series to f^25
// (the first term left out is below 2e-20 relative); k ln 2 in two parts as
// for exp.
//
// N(x) from g = exp(-x^2/2), which the callers have already:
//   N(-|x|) = erfcx(t) g / 2,  t = |x| / sqrt(2),  erfcx(t) = exp(t^2) erfc(t),
// and N(x) = 1 - N(-x) for x >= 0. On t in [0, inf), u = (t - 4) / (t + 4) maps
// onto [-1, 1), and f(u) = (4 + t) erfcx(t), which runs from 4 at t = 0 to
// 1/sqrt(pi) as t grows, is smooth in u: its Chebyshev series to degree 23
// (the terms left out sum to below 3e-17, over f >= 0.56), written out in
// powers of u, is summed in Estrin's form, and erfcx(t) = f / (4 + t).
//
// The polynomials are summed in Estrin's form, whose chain of dependent
// operations is short: a lone call costs little more than its latency, and
// the arrays go four or eight values to a vector, sixteen values at a time.
//
// Every step is a correctly rounded operation, in the same order in every
// lane and on every path, and the compiler may not fuse a multiply and an
// add: the wider paths (AVX2, and AVX-512 with eight lanes, the widest the
// processor has chosen once at run time) give the same bits as the baseline
// one.
#ifndef VORNET_NUMERICS_VECTOR_MATH_H
#define VORNET_NUMERICS_VECTOR_MATH_H

namespace vornet {

// out[i] = exp(x[i]) for 0 <= i < n, to about one unit in the last place;
// out may be x.
void exp_array(const double *x, double *out, int n) noexcept;

// out[i] = ln(x[i]) for 0 <= i < n, within two units in the last place
// (-inf at 0, NaN below); out may be x.
void log_array(const double *x, double *out, int n) noexcept;

// out[i] = N(x[i]) given g[i] = exp(-x[i]^2 / 2), to a few units in the last
// place of N and g; out may be x or g.
void norm_cdf_array(const double *x, const double *g, double *out, int n) noexcept;

// out[p] = base - sqrt(max(s_p, 0)) for 0 <= p < size, where
// s_p = h[0] w[p] + h[1] w[size + p] + ... + h[rows-1] w[(rows-1) size + p],
// added in that order (a NaN sum gives NaN): the rows of a matrix weighted
// and summed, as in the interpolation of a function at many points from its
// values at the nodes, then a square root off a base. out may not overlap
// w or h.
void root_weighted_sums(const double *w, const double *h, int rows, int size, double base,
                        double *out) noexcept;

// The same on one path, for the tests that hold the paths to the same bits:
// 0 the baseline, 1 AVX2, 2 AVX-512, of which the processor has the first
// vector_paths() (a path it does not have runs the baseline).
int vector_paths() noexcept;
void exp_array_on(int path, const double *x, double *out, int n) noexcept;
void log_array_on(int path, const double *x, double *out, int n) noexcept;
void norm_cdf_array_on(int path, const double *x, const double *g, double *out, int n) noexcept;
void root_weighted_sums_on(int path, const double *w, const double *h, int rows, int size,
                           double base, double *out) noexcept;

}  // namespace vornet

#endif
