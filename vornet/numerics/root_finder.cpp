#include "root_finder.h"

namespace vornet {

// SciPy's record of one search: 0 converged, -1 no sign change, -2 the
// iteration limit in error_num. The entry point requires one; the solvers
// decide by the returned value, and only the limit is reported on.
struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;
    double root;
};

constexpr int iteration_limit = -2;

// Written once during module initialisation, before any function that solves
// exists, and only read afterwards.
static brentq_fn brentq_entry = nullptr;

void bind_brentq(brentq_fn entry) noexcept { brentq_entry = entry; }

double brentq(objective_fn f, double xa, double xb, void *record, double xtol,
              double rtol, int maxiter, bool *converged) noexcept
{
    zeros_full_output statistics{};
    const double root = brentq_entry(f, xa, xb, record, xtol, rtol, maxiter, &statistics);
    if (converged != nullptr)
        *converged = statistics.error_num != iteration_limit;
    return root;
}

}  // namespace vornet
