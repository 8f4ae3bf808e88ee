// Brent's root finder as SciPy compiles it for scipy.optimize.brentq: the
// same steps in the same order, with the same arithmetic, so that every
// iterate, and therefore the root returned, is the same double. Bound with
// bind_brentq(), it serves the solvers without SciPy being imported.
#ifndef VORNET_NUMERICS_BRENT_ROOT_H
#define VORNET_NUMERICS_BRENT_ROOT_H

#include "root_finder.h"

namespace vornet {

// A zero of f in [xa, xb] (brentq_fn's signature). An end where f is exactly
// zero is returned at once; ends whose values have the same sign bit (a NaN
// counts by its sign bit) give 0.0 and brentq_sign_error. Otherwise the search
// ends when f is exactly zero at the current iterate or the bracket is
// narrower than xtol + rtol |x| (brentq_converged), or after maxiter
// iterations with the last iterate (brentq_iteration_limit). The record, when
// given, holds the evaluations, the iterations (0 for the early returns), the
// outcome and the value returned.
double brent_root(objective_fn f, double xa, double xb, void *record, double xtol, double rtol,
                  int maxiter, zeros_full_output *full_output) noexcept;

}  // namespace vornet

#endif
