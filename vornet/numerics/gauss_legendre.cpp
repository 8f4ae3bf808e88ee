#include "gauss_legendre.h"

#include <array>

namespace vornet {

namespace {

constexpr double pi = 3.141592653589793238462643383279502884;

constexpr int total_points()
{
    int total = 0;
    for (int n = 1; n <= gauss_legendre_all_sizes; ++n)
        total += n;
    for (int n : gauss_legendre_large_sizes)
        total += n;
    return total;
}

constexpr int offset_of(int size)
{
    if (size <= gauss_legendre_all_sizes)
        return size * (size - 1) / 2;
    int offset = total_points();
    for (int i = 1; i >= 0; --i) {
        offset -= gauss_legendre_large_sizes[i];
        if (gauss_legendre_large_sizes[i] == size)
            return offset;
    }
    return -1;
}

constexpr double abs_of(double x) { return x < 0.0 ? -x : x; }

// cos(x) for 0 <= x <= pi, by its Taylor series about 0 or pi/2: only the
// first guesses of Newton's method below read it.
constexpr double rough_cos(double x)
{
    double sign = 1.0;
    if (x > pi / 2) {
        x = pi - x;
        sign = -1.0;
    }
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k < 30; ++k) {
        term *= -x * x / ((2 * k - 1) * (2 * k));
        sum += term;
    }
    return sign * sum;
}

// P_n(x) and P_n'(x) by the three-term recurrence.
struct legendre_value {
    double p;
    double dp;
};

constexpr legendre_value legendre(int n, double x)
{
    double p0 = 1.0;
    double p1 = x;
    for (int k = 2; k <= n; ++k) {
        const double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
    }
    if (n == 0)
        return {1.0, 0.0};
    return {p1, n * (x * p1 - p0) / (x * x - 1.0)};
}

struct tables {
    std::array<double, total_points()> nodes{};
    std::array<double, total_points()> weights{};
};

// The roots of P_n by Newton's method from the usual asymptotic guesses,
// the positive ones computed and mirrored so that the rule is symmetric to
// the bit, and the weights 2 / ((1 - y^2) P_n'(y)^2).
constexpr void fill(tables &t, int n)
{
    const int base = offset_of(n);
    for (int i = 0; i < (n + 1) / 2; ++i) {
        double x = rough_cos(pi * (i + 0.75) / (n + 0.5));
        for (int step = 0; step < 100; ++step) {
            const legendre_value v = legendre(n, x);
            const double dx = v.p / v.dp;
            x -= dx;
            if (abs_of(dx) < 1e-17)
                break;
        }
        if (2 * i + 1 == n)
            x = 0.0;
        const legendre_value v = legendre(n, x);
        const double w = 2.0 / ((1.0 - x * x) * v.dp * v.dp);
        t.nodes[base + n - 1 - i] = x;
        t.nodes[base + i] = -x;
        t.weights[base + n - 1 - i] = w;
        t.weights[base + i] = w;
    }
}

constexpr tables make_tables()
{
    tables t;
    for (int n = 1; n <= gauss_legendre_all_sizes; ++n)
        fill(t, n);
    for (int n : gauss_legendre_large_sizes)
        fill(t, n);
    return t;
}

constexpr tables rules = make_tables();

}  // namespace

gauss_legendre_rule gauss_legendre(int size) noexcept
{
    bool known = size >= 1 && size <= gauss_legendre_all_sizes;
    for (int n : gauss_legendre_large_sizes)
        known = known || size == n;
    if (!known)
        return {0, nullptr, nullptr};
    const int offset = offset_of(size);
    return {size, rules.nodes.data() + offset, rules.weights.data() + offset};
}

}  // namespace vornet
