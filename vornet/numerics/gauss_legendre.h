// Gauss-Legendre rules on [-1, 1], tabulated when the library is compiled:
//   integral of f over [-1, 1] ~ sum_k w_k f(y_k),
// exact for polynomials up to degree 2 size - 1.
#ifndef VORNET_NUMERICS_GAUSS_LEGENDRE_H
#define VORNET_NUMERICS_GAUSS_LEGENDRE_H

namespace vornet {

// The sizes tabulated: every size from 1 to this, and the two below.
inline constexpr int gauss_legendre_all_sizes = 64;
inline constexpr int gauss_legendre_large_sizes[2] = {96, 128};

struct gauss_legendre_rule {
    int size;               // 0 for a size that is not tabulated
    const double *nodes;    // ascending
    const double *weights;
};

gauss_legendre_rule gauss_legendre(int size) noexcept;

}  // namespace vornet

#endif
