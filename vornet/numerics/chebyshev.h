// Chebyshev interpolation on [-1, 1] at the n + 1 extrema x_j = cos(j pi / n)
// (both ends included): the interpolant
//   p(x) = sum_{k=0..n} '' a_k T_k(x),  a_k = (2/n) sum_{j=0..n} '' f(x_j) cos(j k pi / n),
// where '' halves the first and the last term. The coefficients are kept
// with the halving applied, so that p(x) is the plain sum, summed by
// Clenshaw's recurrence. Templates over the number type, so that a
// derivative can ride along (dual_number.h).
#ifndef VORNET_NUMERICS_CHEBYSHEV_H
#define VORNET_NUMERICS_CHEBYSHEV_H

namespace vornet {

// The largest n tabulated.
inline constexpr int chebyshev_max_nodes = 64;

// cos(m pi / n) for 0 <= m < 2n, as row[m], for 1 <= n <= chebyshev_max_nodes.
const double *chebyshev_cos_row(int n) noexcept;

// cos(m pi / n), one value of the same row.
inline double chebyshev_cos(int n, int m) noexcept { return chebyshev_cos_row(n)[m]; }

// a[0..n] from f(x_0..x_n) (x_0 = 1, x_n = -1), the ends halved.
template <class R>
void chebyshev_coefficients(const R *values, int n, R *a) noexcept
{
    const double scale = 2.0 / n;
    const double *cosines = chebyshev_cos_row(n);
    for (int k = 0; k <= n; ++k) {
        R sum = values[0] * 0.5;
        int m = 0;
        for (int j = 1; j < n; ++j) {
            m += k;
            if (m >= 2 * n)
                m -= 2 * n;
            sum = sum + values[j] * cosines[m];
        }
        sum = sum + values[n] * ((k % 2 == 0) ? 0.5 : -0.5);
        a[k] = sum * ((k == 0 || k == n) ? 0.5 * scale : scale);
    }
}

// sum_{k=0..n} a_k T_k(x) by Clenshaw's recurrence.
template <class R>
R chebyshev_sum(const R *a, int n, double x) noexcept
{
    R b1 = a[n] * 0.0;
    R b2 = b1;
    const double two_x = 2.0 * x;
    for (int k = n; k >= 1; --k) {
        const R b0 = a[k] + b1 * two_x - b2;
        b2 = b1;
        b1 = b0;
    }
    return a[0] + b1 * x - b2;
}

// The same sum at count points at once (at most max_count): the
// recurrences run side by side, which keeps the processor's pipelines full
// where one recurrence would wait on each step.
template <class R, int max_count>
void chebyshev_sums(const R *a, int n, const double *x, int count, R *out) noexcept
{
    R b1[max_count];
    R b2[max_count];
    double two_x[max_count];
    for (int i = 0; i < count; ++i) {
        b1[i] = a[n] * 0.0;
        b2[i] = b1[i];
        two_x[i] = 2.0 * x[i];
    }
    for (int k = n; k >= 1; --k) {
        const R ak = a[k];
        for (int i = 0; i < count; ++i) {
            const R b0 = ak + b1[i] * two_x[i] - b2[i];
            b2[i] = b1[i];
            b1[i] = b0;
        }
    }
    for (int i = 0; i < count; ++i)
        out[i] = a[0] + b1[i] * x[i] - b2[i];
}

}  // namespace vornet

#endif
