// _native_loop: the implied-volatility inversion as a plain C++ loop, the
// yardstick the engine's benchmark measures the engine against. No part of
// the package: built by `make yardstick` into a folder of its own and
// imported from there (benchmarks/yardstick.py).
//
// implied_sigma(price, S, K, D, F, is_call, /, repeats=1, solver="exact")
// copies its inputs (one-dimensional float64 buffers and a bool buffer of one
// length, any layout) into contiguous arrays, then runs
//
//     for i in [0, n): sigma[i] = solve(price[i], ..., flag[i])
//
// `repeats` times with the thread detached from the interpreter, timing each
// run with the steady clock. It returns (seconds, sigma): the list of
// per-run times and the last run's sigma, NaN where not solved. Unlike the
// engine, the loop does not screen the inputs first: it is meant for chains
// the model is defined for, where the two must agree bit for bit.
//
// solve is the exact solver (solver="exact"), the fast one ("fast"), or the
// exact one as it was before its price evaluations shared work ("baseline",
// see baseline_solver.cpp).

#include "../vornet/capi.h"

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "../vornet/numerics/fast_implied_vol.h"
#include "../vornet/numerics/implied_vol.h"
#include "../vornet/numerics/option_flag.h"
#include "baseline_solver.h"

namespace {

using namespace vornet;

constexpr int input_count = 5;
const char *const input_names[input_count] = {"price", "S", "K", "D", "F"};

// The loop's inputs, contiguous (a broadcast input expanded to every
// element), with the sides as the numerics' flag codes.
struct loop_inputs {
    owned_columns copy;
    owned_array<std::int32_t> flags;
};

int copy_inputs(PyObject *const *inputs, PyObject *is_call, loop_inputs &loop)
{
    if (loop.copy.copy("implied_sigma", inputs, input_names, input_count, is_call,
                       owned_columns::broadcasts::expand)
            < 0
        || loop.flags.allocate(loop.copy.n) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < loop.copy.n; ++i)
        loop.flags.data()[i] = loop.copy.side_data()[i] ? flag_call : flag_put;
    return 0;
}

using solver_fn = double (*)(double price, double S, double K, double D, double F,
                             std::int32_t flag) noexcept;

template <implied_vol_result (*solve)(double, double, double, double, double,
                                      std::int32_t) noexcept>
double solved_or_nan(double price, double S, double K, double D, double F,
                     std::int32_t flag) noexcept
{
    const implied_vol_result r = solve(price, S, K, D, F, flag);
    return r.status == implied_vol_status::solved ? r.sigma
                                                  : std::numeric_limits<double>::quiet_NaN();
}

struct solver_def {
    const char *name;
    solver_fn solve;
};

const solver_def solvers[] = {
    {"exact", solved_or_nan<solve_implied_vol>},
    {"fast", solved_or_nan<solve_implied_vol_fast>},
    {"baseline", baseline::implied_sigma},
};

// The loop itself: nothing but the numerics between one option and the next
// (the call through a pointer costs a nanosecond against microseconds).
void solve_all(solver_fn solve, const double *price, const double *S, const double *K, const double *D,
               const double *F, const std::int32_t *flag, Py_ssize_t n, double *sigma) noexcept
{
    for (Py_ssize_t i = 0; i < n; ++i)
        sigma[i] = solve(price[i], S[i], K[i], D[i], F[i], flag[i]);
}

PyObject *implied_sigma(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"", "", "", "", "", "", "repeats", "solver", nullptr};
    PyObject *inputs[input_count];
    PyObject *is_call;
    Py_ssize_t repeats = 1;
    const char *solver_name = "exact";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|ns:implied_sigma",
                                     const_cast<char **>(keywords), &inputs[0], &inputs[1],
                                     &inputs[2], &inputs[3], &inputs[4], &is_call, &repeats,
                                     &solver_name))
        return nullptr;
    int solver = -1;
    for (int i = 0; i < static_cast<int>(std::size(solvers)); ++i) {
        if (std::strcmp(solver_name, solvers[i].name) == 0)
            solver = i;
    }
    if (solver < 0) {
        PyErr_Format(PyExc_ValueError,
                     "implied_sigma(): solver must be 'exact', 'fast' or 'baseline', got '%s'",
                     solver_name);
        return nullptr;
    }
    if (repeats < 1) {
        PyErr_Format(PyExc_ValueError, "implied_sigma(): repeats must be at least 1, got %zd",
                     repeats);
        return nullptr;
    }

    loop_inputs loop;
    if (copy_inputs(inputs, is_call, loop) < 0)
        return nullptr;
    const Py_ssize_t n = loop.copy.n;
    npy_intp shape[1] = {n};
    py_ref sigma_array(PyArray_SimpleNew(1, shape, NPY_DOUBLE));
    if (!sigma_array)
        return nullptr;
    double *sigma =
        static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(sigma_array.get())));
    owned_array<double> seconds;
    if (seconds.allocate(repeats) < 0)
        return nullptr;

    const owned_columns &columns = loop.copy;
    {
        detached_thread detached;
        for (Py_ssize_t r = 0; r < repeats; ++r) {
            const auto start = std::chrono::steady_clock::now();
            solve_all(solvers[solver].solve, columns.column(0), columns.column(1),
                      columns.column(2), columns.column(3), columns.column(4),
                      loop.flags.data(), n, sigma);
            const auto stop = std::chrono::steady_clock::now();
            seconds.data()[r] = std::chrono::duration<double>(stop - start).count();
        }
    }

    py_ref times(PyList_New(repeats));
    if (!times)
        return nullptr;
    for (Py_ssize_t r = 0; r < repeats; ++r) {
        PyObject *value = PyFloat_FromDouble(seconds.data()[r]);
        if (value == nullptr)
            return nullptr;
        PyList_SET_ITEM(times.get(), r, value);
    }
    return PyTuple_Pack(2, times.get(), sigma_array.get());
}

PyMethodDef module_methods[] = {
    {"implied_sigma", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&implied_sigma)),
     METH_VARARGS | METH_KEYWORDS,
     "implied_sigma($module, price, S, K, D, F, is_call, /, repeats=1, solver='exact')\n--\n\n"
     "Runs the inversion over the options as a plain C++ loop, repeats times with the "
     "interpreter released; returns (seconds per run, implied total standard deviation, NaN "
     "unless solved). solver: 'exact', 'fast', or 'baseline' (the exact solver before its "
     "price evaluations shared work).\n"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *)
{
    return import_brentq() < 0 || PyArray_ImportNumPyAPI() < 0 ? -1 : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native_loop",
    .m_doc = "The implied-volatility inversion as a plain C++ loop, for the engine's benchmark.",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit__native_loop(void) { return PyModuleDef_Init(&module_def); }
