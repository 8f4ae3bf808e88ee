// vornet._engine: the kernels of kernels.cpp as module functions.
//
// Every function takes its inputs positionally, then the option sides, then
// `workers`; the inversions also take the keyword `method`. Given Python floats and ints and a bool side it computes one
// option and returns a float (or a tuple of them, with the status as an
// int). Otherwise each input is a one-dimensional float64 buffer and the
// sides a bool buffer, all of one length, in any layout (a zero stride
// repeats one value); the results are new arrays.
//
// The inputs are copied into memory the call owns before the loop detaches
// from the interpreter: while it runs, other threads may do anything to the
// caller's arrays. The module keeps no Python state and does not need the
// interpreter lock.

#include "../capi.h"

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <sched.h>
#include <unistd.h>

#include <cstdint>
#include <array>
#include <utility>

#include "kernels.h"
#include "parallel.h"

namespace {

using namespace vornet;
using namespace vornet::engine;

// ---------------------------------------------------------------------------
// workers

// The cores this process may run on.
int available_cores()
{
#ifdef CPU_COUNT
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

// A positive count as it is, -1 every core, -k every core but k - 1.
int resolve_workers(PyObject *obj, int &workers)
{
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "workers must be an integer, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred())
        return -1;
    const long cores = available_cores();
    const long resolved = value < 0 ? cores + 1 + value : value;
    if (resolved < 1) {
        PyErr_Format(PyExc_ValueError,
                     "workers must be a positive integer, or -k for all %ld cores but k - 1; "
                     "got %ld",
                     cores, value);
        return -1;
    }
    workers = resolved > max_threads ? max_threads : static_cast<int>(resolved);
    return 0;
}

// ---------------------------------------------------------------------------
// Arguments

struct call_args {
    PyObject *inputs[max_inputs];
    PyObject *is_call;
    int workers = 1;
    element_fn element = nullptr;
};

// method="exact" or "fast", for the kernels that have both.
int resolve_method(const kernel_def &k, PyObject *obj, element_fn &element)
{
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s(): method must be 'exact' or 'fast', not %.100s",
                     k.name, Py_TYPE(obj)->tp_name);
        return -1;
    }
    if (PyUnicode_CompareWithASCIIString(obj, "exact") == 0)
        element = k.element;
    else if (PyUnicode_CompareWithASCIIString(obj, "fast") == 0)
        element = k.fast_element;
    else {
        PyErr_Format(PyExc_ValueError, "%s(): method must be 'exact' or 'fast', got %R", k.name,
                     obj);
        return -1;
    }
    return 0;
}

int bind(const kernel_def &k, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
         call_args &bound)
{
    const Py_ssize_t required = k.ninputs + 1;
    PyObject *workers = nullptr;
    PyObject *method = nullptr;
    if (nargs == required + 1) {
        workers = args[required];
    }
    else if (nargs != required) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments and workers (%zd given)",
                     k.name, required, nargs);
        return -1;
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        PyObject **slot = nullptr;
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "workers") == 0)
            slot = &workers;
        else if (k.fast_element != nullptr && PyUnicode_Check(name)
                 && PyUnicode_CompareWithASCIIString(name, "method") == 0)
            slot = &method;
        if (slot == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", k.name,
                         name);
            return -1;
        }
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", k.name,
                         name);
            return -1;
        }
        *slot = args[nargs + i];
    }
    for (int j = 0; j < k.ninputs; ++j)
        bound.inputs[j] = args[j];
    bound.is_call = args[k.ninputs];
    bound.element = k.element;
    if (method != nullptr && resolve_method(k, method, bound.element) < 0)
        return -1;
    return workers != nullptr ? resolve_workers(workers, bound.workers) : 0;
}

// ---------------------------------------------------------------------------
// One option given as Python numbers

bool is_number(PyObject *obj) { return PyFloat_CheckExact(obj) || PyLong_CheckExact(obj); }

bool all_scalars(const kernel_def &k, const call_args &a)
{
    if (!PyBool_Check(a.is_call))
        return false;
    for (int j = 0; j < k.ninputs; ++j)
        if (!is_number(a.inputs[j]))
            return false;
    return true;
}

PyObject *call_scalar(const kernel_def &k, const call_args &a)
{
    double in[max_inputs];
    for (int j = 0; j < k.ninputs; ++j) {
        in[j] = PyFloat_AsDouble(a.inputs[j]);
        if (in[j] == -1.0 && PyErr_Occurred())
            return nullptr;
    }
    double out[max_outputs];
    std::int8_t status = 0;
    a.element(in, a.is_call == Py_True, out, &status);
    if (k.noutputs == 1 && !k.with_status)
        return PyFloat_FromDouble(out[0]);
    py_ref result(PyTuple_New(k.noutputs + (k.with_status ? 1 : 0)));
    if (!result)
        return nullptr;
    for (int o = 0; o < k.noutputs; ++o) {
        PyObject *value = PyFloat_FromDouble(out[o]);
        if (value == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(result.get(), o, value);
    }
    if (k.with_status) {
        PyObject *value = PyLong_FromLong(status);
        if (value == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(result.get(), k.noutputs, value);
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// Arrays

PyObject *call_arrays(const kernel_def &k, const call_args &a)
{
    owned_columns copy;
    if (copy.copy(k.name, a.inputs, k.input_names, k.ninputs, a.is_call) < 0)
        return nullptr;
    const Py_ssize_t n = copy.n;
    npy_intp shape[1] = {n};

    // New arrays: no other code holds them until they are returned.
    py_ref results[max_outputs + 1];
    double *out_data[max_outputs];
    for (int o = 0; o < k.noutputs; ++o) {
        results[o].reset(PyArray_SimpleNew(1, shape, NPY_DOUBLE));
        if (!results[o])
            return nullptr;
        out_data[o] = static_cast<double *>(
            PyArray_DATA(reinterpret_cast<PyArrayObject *>(results[o].get())));
    }
    std::int8_t *status_data = nullptr;
    if (k.with_status) {
        results[k.noutputs].reset(PyArray_SimpleNew(1, shape, NPY_INT8));
        if (!results[k.noutputs])
            return nullptr;
        status_data = static_cast<std::int8_t *>(
            PyArray_DATA(reinterpret_cast<PyArrayObject *>(results[k.noutputs].get())));
    }

    const double *columns = copy.columns.data();
    const bool *sides = copy.sides.data();
    {
        detached_thread detached;
        for_each_block(n, a.workers, [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
            double in[max_inputs];
            double out[max_outputs];
            std::int8_t status = 0;
            for (std::ptrdiff_t i = begin; i < end; ++i) {
                for (int j = 0; j < k.ninputs; ++j)
                    in[j] = columns[j * n + i];
                a.element(in, sides[i], out, &status);
                for (int o = 0; o < k.noutputs; ++o)
                    out_data[o][i] = out[o];
                if (status_data != nullptr)
                    status_data[i] = status;
            }
        });
    }

    const int count = k.noutputs + (k.with_status ? 1 : 0);
    if (count == 1)
        return results[0].release();
    py_ref tuple(PyTuple_New(count));
    if (!tuple)
        return nullptr;
    for (int o = 0; o < count; ++o)
        PyTuple_SET_ITEM(tuple.get(), o, results[o].release());
    return tuple.release();
}

PyObject *call_kernel(const kernel_def &k, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames)
{
    call_args bound;
    if (bind(k, args, nargs, kwnames, bound) < 0)
        return nullptr;
    return all_scalars(k, bound) ? call_scalar(k, bound) : call_arrays(k, bound);
}

template <std::size_t row>
PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return call_kernel(kernels[row], args, nargs, kwnames);
}

template <std::size_t... rows>
constexpr auto method_table(std::index_sequence<rows...>)
{
    return std::array<PyMethodDef, sizeof...(rows) + 1>{{
        {kernels[rows].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<rows>)),
         METH_FASTCALL | METH_KEYWORDS, kernels[rows].doc}...,
        {nullptr, nullptr, 0, nullptr},
    }};
}

// ---------------------------------------------------------------------------
// The module

int module_exec(PyObject *module)
{
    if (import_brentq() < 0 || PyArray_ImportNumPyAPI() < 0)
        return -1;
    return PyModule_AddIntConstant(module, "max_workers", max_threads);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void)
{
    static auto methods = method_table(std::make_index_sequence<kernel_count>{});
    static PyModuleDef module_def = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = "vornet._engine",
        .m_doc = "The vectorised, multi-threaded engine behind vornet's market-terms functions.",
        .m_size = 0,
        .m_methods = methods.data(),
        .m_slots = module_slots,
    };
    return PyModuleDef_Init(&module_def);
}
