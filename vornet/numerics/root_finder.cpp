#include "root_finder.h"

namespace vornet {

// Written once during module initialisation, before any function that solves
// exists, and only read afterwards.
static brentq_fn brentq_entry = nullptr;

void bind_brentq(brentq_fn entry) noexcept { brentq_entry = entry; }

// The entry point requires a record; the solvers decide by the returned
// value, and only the iteration limit is reported on.
double brentq(objective_fn f, double xa, double xb, void *record, double xtol,
              double rtol, int maxiter, bool *converged) noexcept
{
    zeros_full_output statistics{};
    const double root = brentq_entry(f, xa, xb, record, xtol, rtol, maxiter, &statistics);
    if (converged != nullptr)
        *converged = statistics.error_num != brentq_iteration_limit;
    return root;
}

}  // namespace vornet
