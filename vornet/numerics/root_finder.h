// Binding of the compiled Brent root finder that the solvers call.
//
// The module initialisation installs an entry point with bind_brentq():
// either SciPy's, found in its capsule table under brentq_capsule_name, or
// this directory's copy of it, brent_root (brent_root.h), which gives the
// same results without importing SciPy. Every solver in this directory then
// reaches it through brentq(), which runs on the calling thread and needs no
// interpreter lock.
#ifndef VORNET_NUMERICS_ROOT_FINDER_H
#define VORNET_NUMERICS_ROOT_FINDER_H

namespace vornet {

// f(x, record): the function whose root is sought, given the caller's record.
// The root finder calls it back synchronously; it must not fail.
using objective_fn = double (*)(double x, void *record) noexcept;

// The root finder's statistics record, laid out as SciPy's: the evaluations
// and iterations made, how the search ended, and the value returned.
struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;
    double root;
};

// The values of zeros_full_output::error_num.
inline constexpr int brentq_converged = 0;
inline constexpr int brentq_sign_error = -1;      // no sign change between the ends
inline constexpr int brentq_iteration_limit = -2;  // the last iterate is returned
inline constexpr int brentq_in_progress = 1;

// The entry point's C signature, and the same signature spelt as SciPy names
// the capsule that carries it.
using brentq_fn = double (*)(objective_fn f, double xa, double xb, void *record,
                             double xtol, double rtol, int maxiter,
                             zeros_full_output *full_output);
inline constexpr char brentq_capsule_name[] =
    "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, double, "
    "void *, double, double, int, "
    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";

// Installs the entry point; called once, before any solver can run.
void bind_brentq(brentq_fn entry) noexcept;

// Brent's method on [xa, xb]. An end where f is exactly 0 is returned at once,
// ends of equal sign give 0.0, an exhausted limit gives the last iterate (and,
// when `converged` is given, sets it to false; otherwise it is set to true).
double brentq(objective_fn f, double xa, double xb, void *record, double xtol,
              double rtol, int maxiter, bool *converged = nullptr) noexcept;

}  // namespace vornet

#endif
