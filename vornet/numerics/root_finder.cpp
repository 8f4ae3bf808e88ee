#include "root_finder.h"

namespace vornet {

// Written once during module initialisation, before any function that solves
// exists, and only read afterwards.
static brentq_fn brentq_entry = nullptr;

void bind_brentq(brentq_fn entry) noexcept { brentq_entry = entry; }

double brentq(objective_fn f, double xa, double xb, void *record, double xtol,
              double rtol, int maxiter, zeros_full_output *full_output) noexcept
{
    return brentq_entry(f, xa, xb, record, xtol, rtol, maxiter, full_output);
}

}  // namespace vornet
