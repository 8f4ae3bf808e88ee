// Forward search: the forward at which the implied total standard deviations
// of calls and puts agree best, by Brent's bounded minimisation.
#ifndef VORNET_NUMERICS_FORWARD_H
#define VORNET_NUMERICS_FORWARD_H

#include <cstdint>

#include "root_finder.h"

namespace vornet {

// What forward_objective reads: the spot, the discount factor and the chosen
// quotes, count of each. The arrays belong to the caller.
struct forward_search_args {
    double S;
    double D;
    const double *calls;
    const double *puts;
    const double *strikes;
    std::int64_t count;
};

// The strikes a forward search uses: those within pct of the spot,
// (1 - pct) S <= K <= (1 + pct) S, for the first half-width pct of
// strike_pct, 2 %, 5 %, 10 %, 20 %, 50 % and 100 % that holds any; every
// strike when none does (a NaN strike or spot is within no band). Writes the
// chosen indices into strikes[0..count), in increasing order, to `chosen`
// (room for count of them) and returns how many it wrote.
std::int64_t choose_strikes(const double *strikes, std::int64_t count, double S,
                            double strike_pct, std::int64_t *chosen) noexcept;

// The half-width a search starts with when the caller names none.
inline constexpr double default_strike_pct = 0.01;

// Put-call-parity first guess: the mean over the chosen strikes of
// K + (C - P) / D, in index order; the spot when no strike was chosen.
double parity_forward(const forward_search_args &params) noexcept;

// The forward minimising forward_objective on [0.97, 1.03] times F_init.
double search_forward(forward_search_args &params, double F_init) noexcept;

// Mean |sigma_call - sigma_put| over the strikes whose call and put both have
// a positive implied value at forward F; 1e10 when no strike is usable.
double forward_objective(double F, void *record) noexcept;

// Brent's method (golden-section steps with parabolic interpolation) for a
// minimum of f on [search_lo, search_hi]: at most 101 evaluations; returns the
// best point found.
double minimize_bounded(objective_fn f, double search_lo, double search_hi,
                        void *record) noexcept;

}  // namespace vornet

#endif
