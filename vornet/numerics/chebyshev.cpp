#include "chebyshev.h"

#include <array>

namespace vornet {

namespace {

constexpr double pi = 3.141592653589793238462643383279502884;

// sin(x) and cos(x) for |x| <= pi/4 by their Taylor series, to the last bit
// or so.
constexpr double small_sin(double x)
{
    double term = x;
    double sum = x;
    for (int k = 1; k < 14; ++k) {
        term *= -x * x / ((2 * k) * (2 * k + 1));
        sum += term;
    }
    return sum;
}

constexpr double small_cos(double x)
{
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k < 14; ++k) {
        term *= -x * x / ((2 * k - 1) * (2 * k));
        sum += term;
    }
    return sum;
}

// cos(m pi / n), with the reduction to the first octant done on the
// integers, so that only the last step rounds.
constexpr double cos_fraction(int m, int n)
{
    m %= 2 * n;
    if (m > n)
        m = 2 * n - m;                       // cos(2 pi - x) = cos(x)
    double sign = 1.0;
    if (2 * m > n) {
        m = n - m;                           // cos(pi - x) = -cos(x)
        sign = -1.0;
    }
    if (4 * m > n)                           // cos(x) = sin(pi/2 - x)
        return sign * small_sin(pi * (n - 2 * m) / (2.0 * n));
    return sign * small_cos(pi * m / n);
}

constexpr int table_size = chebyshev_max_nodes * (chebyshev_max_nodes + 1);  // sum of 2n

constexpr std::array<double, table_size> make_table()
{
    std::array<double, table_size> t{};
    int offset = 0;
    for (int n = 1; n <= chebyshev_max_nodes; ++n) {
        for (int m = 0; m < 2 * n; ++m)
            t[offset + m] = cos_fraction(m, n);
        offset += 2 * n;
    }
    return t;
}

constexpr std::array<double, table_size> cosines = make_table();

}  // namespace

const double *chebyshev_cos_row(int n) noexcept { return cosines.data() + n * (n - 1); }

}  // namespace vornet
