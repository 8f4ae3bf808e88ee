// Binding of the compiled Brent root finder taken from SciPy at import.
//
// The module initialisation looks the entry point up once and installs it with
// bind_brentq(); every solver in this directory then reaches it through
// brentq(), which runs on the calling thread and needs no interpreter lock.
#ifndef VORNET_NUMERICS_ROOT_FINDER_H
#define VORNET_NUMERICS_ROOT_FINDER_H

namespace vornet {

// f(x, record): the function whose root is sought, given the caller's record.
// The root finder calls it back synchronously; it must not fail.
using objective_fn = double (*)(double x, void *record) noexcept;

// The root finder's statistics record. The solvers hand one in, as the entry
// point requires, and never read it.
struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;  // 0 converged, -1 no sign change, -2 iteration limit
    double root;
};

using brentq_fn = double (*)(objective_fn f, double xa, double xb, void *record,
                             double xtol, double rtol, int maxiter,
                             zeros_full_output *full_output);

// Installs the entry point; called once, before any solver can run.
void bind_brentq(brentq_fn entry) noexcept;

// Brent's method on [xa, xb]. An end where f is exactly 0 is returned at once,
// ends of equal sign give 0.0, an exhausted limit gives the last iterate.
double brentq(objective_fn f, double xa, double xb, void *record, double xtol,
              double rtol, int maxiter, zeros_full_output *full_output) noexcept;

}  // namespace vornet

#endif
