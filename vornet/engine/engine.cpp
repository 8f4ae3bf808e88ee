// vornet._engine: the kernels of kernels.cpp as module functions, the forward
// search over the expiries of a chain, and the rule that turns `workers`
// into a thread count.
//
// Every kernel function takes its inputs positionally, then the option
// sides, then `workers`; the inversions also take the keyword `method`, the
// market-terms kernels the keyword `model` ('baw' or 'integral', for the
// American options), and every kernel the keyword `european` (False by
// default: American options; True, or a bool buffer of one flag per option). Given Python floats and
// ints, a bool side and no buffer of flags it computes one option and
// returns a float (or a tuple of them, with the status as an int).
// Otherwise each input is a one-dimensional float64 buffer and the sides
// (and flags) bool buffers, all of one length, in any layout (a zero stride
// repeats one value, which is then kept as that one value); the results are
// new arrays.
//
// The inputs are copied into memory the call owns before the loop detaches
// from the interpreter: while it runs, other threads may do anything to the
// caller's arrays. On the main thread the loop looks at the interpreter's
// signals every few tens of milliseconds: Ctrl-C stops every thread after
// the block it is on, and the call raises KeyboardInterrupt, its results
// dropped. The module keeps no Python state and does not need the
// interpreter lock. Its root finder is the numerics' own copy of SciPy's
// (brent_root), so importing it imports NumPy but not SciPy.

#include "../capi.h"

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <array>
#include <utility>

#include "../numerics/american_integral.h"
#include "../numerics/brent_root.h"
#include "../numerics/option_flag.h"
#include "../numerics/vector_math.h"
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

// A positive count as it is, -1 every core, -k every core but k - 1, at
// most max_threads. Any integer (an object with __index__: an int, a bool, a
// NumPy integer) is accepted.
int resolve_workers(PyObject *obj, int &workers)
{
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "workers must be an integer, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    py_ref index(PyNumber_Index(obj));
    if (!index)
        return -1;
    const long value = PyLong_AsLong(index.get());
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
// Interrupts

// The interpreter's main thread, the only one whose signal handlers run:
// written once by the module's initialisation.
unsigned long main_thread_ident = 0;

int find_main_thread()
{
    py_ref threading(PyImport_ImportModule("threading"));
    if (!threading)
        return -1;
    py_ref main_thread(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main_thread)
        return -1;
    py_ref ident(PyObject_GetAttrString(main_thread.get(), "ident"));
    if (!ident)
        return -1;
    main_thread_ident = PyLong_AsUnsignedLong(ident.get());
    return PyErr_Occurred() ? -1 : 0;
}

// How often the calling thread of a loop on the main thread runs the signal
// handlers, between its blocks.
constexpr std::chrono::milliseconds signal_interval{20};

// The stop check of a loop run by a detached thread (parallel.h): true once a
// signal handler raised (Ctrl-C: KeyboardInterrupt), the exception then set
// for the thread. Elsewhere than on the main thread it never stops.
class signal_check {
  public:
    signal_check(detached_thread &thread, bool main_thread) noexcept
        : thread_(thread), main_thread_(main_thread),
          next_(std::chrono::steady_clock::now() + signal_interval)
    {
    }

    bool operator()() noexcept
    {
        if (!main_thread_)
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_)
            return false;
        next_ = now + signal_interval;
        return thread_.check_signals() < 0;
    }

  private:
    detached_thread &thread_;
    bool main_thread_;
    std::chrono::steady_clock::time_point next_;
};

// Whether the calling (attached) thread is the main thread.
bool on_main_thread() { return PyThread_get_thread_ident() == main_thread_ident; }

// ---------------------------------------------------------------------------
// Arguments

struct call_args {
    PyObject *inputs[max_inputs];
    PyObject *is_call;
    PyObject *european = nullptr;  // not given, a bool, or a bool buffer
    int workers = 1;
    element_fn element = nullptr;
    bool integral = false;  // model="integral"
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

// model="baw" or "integral"; true for the integral model.
int resolve_model(const char *function, PyObject *obj, bool &integral)
{
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s(): model must be 'baw' or 'integral', not %.100s",
                     function, Py_TYPE(obj)->tp_name);
        return -1;
    }
    if (PyUnicode_CompareWithASCIIString(obj, "baw") == 0)
        integral = false;
    else if (PyUnicode_CompareWithASCIIString(obj, "integral") == 0)
        integral = true;
    else {
        PyErr_Format(PyExc_ValueError, "%s(): model must be 'baw' or 'integral', got %R",
                     function, obj);
        return -1;
    }
    return 0;
}

// A keyword a function takes besides `workers`, and where its value goes.
struct keyword_slot {
    const char *name;
    PyObject **slot;
};

// The arguments after the `required` positional ones: `workers`, given
// positionally or by keyword, and the keywords of `keywords` (count of
// them); each left as it is when not given.
int parse_options(const char *function, Py_ssize_t required, PyObject *const *args,
                  Py_ssize_t nargs, PyObject *kwnames, PyObject *&workers,
                  const keyword_slot *keywords = nullptr, int count = 0)
{
    if (nargs == required + 1) {
        workers = args[required];
    }
    else if (nargs != required) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments and workers (%zd given)",
                     function, required, nargs);
        return -1;
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        PyObject **slot = nullptr;
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "workers") == 0)
            slot = &workers;
        for (int k = 0; slot == nullptr && k < count; ++k)
            if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, keywords[k].name) == 0)
                slot = keywords[k].slot;
        if (slot == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         function, name);
            return -1;
        }
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", function,
                         name);
            return -1;
        }
        *slot = args[nargs + i];
    }
    return 0;
}

int bind(const kernel_def &k, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
         call_args &bound)
{
    PyObject *workers = nullptr;
    PyObject *method = nullptr;
    PyObject *model = nullptr;
    keyword_slot keywords[3] = {{"european", &bound.european}};
    int count = 1;
    if (k.fast_element != nullptr)
        keywords[count++] = {"method", &method};
    if (k.integral_element != nullptr)
        keywords[count++] = {"model", &model};
    if (parse_options(k.name, k.ninputs + 1, args, nargs, kwnames, workers, keywords, count) < 0)
        return -1;
    for (int j = 0; j < k.ninputs; ++j)
        bound.inputs[j] = args[j];
    bound.is_call = args[k.ninputs];
    if (bound.european == Py_None)
        bound.european = nullptr;
    bound.element = k.element;
    if (method != nullptr && resolve_method(k, method, bound.element) < 0)
        return -1;
    if (model != nullptr && resolve_model(k.name, model, bound.integral) < 0)
        return -1;
    if (bound.integral)
        bound.element = k.integral_element;
    return workers != nullptr ? resolve_workers(workers, bound.workers) : 0;
}

// ---------------------------------------------------------------------------
// One option given as Python numbers

bool is_number(PyObject *obj) { return PyFloat_CheckExact(obj) || PyLong_CheckExact(obj); }

bool all_scalars(const kernel_def &k, const call_args &a)
{
    if (!PyBool_Check(a.is_call) || (a.european != nullptr && !PyBool_Check(a.european)))
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
    a.element(in, a.is_call == Py_True, a.european == Py_True, out, &status);
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

// The options' exercise flags (true: European): none given (all
// American), one bool for all, or a bool buffer of n flags copied into
// memory the call owns (one broadcast value kept as that value).
struct exercise_flags {
    owned_array<bool> copy;
    bool constant = false;
    const bool *data = &constant;
    Py_ssize_t step = 0;

    int take(const char *function, PyObject *obj, Py_ssize_t n)
    {
        if (obj == nullptr || PyBool_Check(obj)) {
            constant = obj == Py_True;
            return 0;
        }
        array_view<bool> view;
        if (view.acquire(obj, PyBUF_STRIDES) < 0)
            return -1;
        if (view.size() != n) {
            PyErr_Format(PyExc_ValueError, "%s(): european has %zd elements, is_call has %zd",
                         function, view.size(), n);
            return -1;
        }
        const bool one_value = n > 1 && view.stride() == 0;
        if (copy.allocate(one_value ? 1 : n) < 0)
            return -1;
        view.copy_to(copy.data(), one_value ? 1 : n);
        data = copy.data();
        step = one_value ? 0 : 1;
        return 0;
    }
};

PyObject *call_arrays(const kernel_def &k, const call_args &a)
{
    owned_columns copy;
    if (copy.copy(k.name, a.inputs, k.input_names, k.ninputs, a.is_call) < 0)
        return nullptr;
    const Py_ssize_t n = copy.n;
    exercise_flags european;
    if (european.take(k.name, a.european, n) < 0)
        return nullptr;
    const bool *european_data = european.data;
    const Py_ssize_t european_step = european.step;
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

    // Element i of input j at columns[j][i * steps[j]]: a broadcast value
    // has step 0.
    const double *columns[max_inputs];
    Py_ssize_t steps[max_inputs];
    for (int j = 0; j < k.ninputs; ++j) {
        columns[j] = copy.column(j);
        steps[j] = copy.step(j);
    }
    const bool *sides = copy.side_data();
    const Py_ssize_t side_step = copy.side_step();
    const auto body = [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        double in[max_inputs];
        double out[max_outputs];
        std::int8_t status = 0;
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            for (int j = 0; j < k.ninputs; ++j)
                in[j] = columns[j][i * steps[j]];
            a.element(in, sides[i * side_step], european_data[i * european_step], out, &status);
            for (int o = 0; o < k.noutputs; ++o)
                out_data[o][i] = out[o];
            if (status_data != nullptr)
                status_data[i] = status;
        }
    };
    const bool main_thread = on_main_thread();
    bool completed;
    {
        detached_thread detached;
        completed = for_each_block(n, a.workers, body,
                                   a.integral ? integral_elements : cheap_elements,
                                   signal_check(detached, main_thread));
    }
    if (!completed)
        return nullptr;  // the signal handler's exception; the results are dropped

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

// ---------------------------------------------------------------------------
// Forwards of many expiries

constexpr char find_forwards_name[] = "find_forwards";

// An int64 as the long long that %lld formats.
long long as_long_long(std::int64_t value) { return static_cast<long long>(value); }

// A ValueError or TypeError about an argument's buffer (none, or one of
// the wrong dimensions, type or alignment) raised again, of the same type,
// with the argument's name, the first as its cause.
int name_buffer_error(const char *what)
{
    PyObject *type = PyErr_ExceptionMatches(PyExc_ValueError)  ? PyExc_ValueError
                     : PyErr_ExceptionMatches(PyExc_TypeError) ? PyExc_TypeError
                                                               : nullptr;
    if (type == nullptr)
        return -1;
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_Format(type, "%s(): %s: %S", find_forwards_name, what, cause);
    PyObject *error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    return -1;
}

// The one-dimensional buffer of T named `what` copied into `copy`; its
// length in `size`.
template <typename T>
int copy_input(PyObject *obj, const char *what, owned_array<T> &copy, Py_ssize_t &size)
{
    array_view<T> view;
    if (view.acquire(obj, PyBUF_STRIDES) < 0)
        return name_buffer_error(what);
    size = view.size();
    if (copy.allocate(size) < 0)
        return -1;
    view.copy_to(copy.data(), size);
    return 0;
}

// A ValueError unless the quotes named `what` are one per pair.
int check_pairs(const char *what, Py_ssize_t size, Py_ssize_t pairs)
{
    if (size == pairs)
        return 0;
    PyErr_Format(PyExc_ValueError, "%s(): %s has %zd elements, calls has %zd",
                 find_forwards_name, what, size, pairs);
    return -1;
}

// A ValueError unless the values named `what` are one per group.
int check_groups(const char *what, Py_ssize_t size, Py_ssize_t groups)
{
    if (size == groups)
        return 0;
    PyErr_Format(PyExc_ValueError,
                 "%s(): %s has %zd elements, one per group, and bounds delimits %zd groups",
                 find_forwards_name, what, size, groups);
    return -1;
}

// The groups' bounds: bounds[0] == 0, never decreasing, bounds[groups] == pairs.
int check_bounds(const std::int64_t *bounds, Py_ssize_t groups, Py_ssize_t pairs)
{
    if (bounds[0] != 0) {
        PyErr_Format(PyExc_ValueError, "%s(): bounds[0] is %lld, not 0", find_forwards_name,
                     as_long_long(bounds[0]));
        return -1;
    }
    for (Py_ssize_t g = 0; g < groups; ++g) {
        if (bounds[g + 1] < bounds[g]) {
            PyErr_Format(PyExc_ValueError,
                         "%s(): bounds decrease: bounds[%zd] = %lld is below bounds[%zd] = %lld",
                         find_forwards_name, g + 1, as_long_long(bounds[g + 1]), g,
                         as_long_long(bounds[g]));
            return -1;
        }
    }
    if (bounds[groups] != pairs) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): the last bound, bounds[%zd] = %lld, is not the number of pairs %zd",
                     find_forwards_name, groups, as_long_long(bounds[groups]), pairs);
        return -1;
    }
    return 0;
}

PyObject *find_forwards(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *workers_obj = nullptr;
    PyObject *search_obj = nullptr;
    PyObject *model_obj = nullptr;
    PyObject *times_obj = nullptr;
    const keyword_slot keywords[] = {
        {"search", &search_obj}, {"model", &model_obj}, {"times", &times_obj}};
    if (parse_options(find_forwards_name, 6, args, nargs, kwnames, workers_obj, keywords, 3) < 0)
        return nullptr;
    bool integral = false;
    if (model_obj != nullptr && resolve_model(find_forwards_name, model_obj, integral) < 0)
        return nullptr;
    if (integral && (times_obj == nullptr || times_obj == Py_None)) {
        PyErr_Format(PyExc_TypeError, "%s(): model='integral' needs times, one per group",
                     find_forwards_name);
        return nullptr;
    }
    int workers = 1;
    if (workers_obj != nullptr && resolve_workers(workers_obj, workers) < 0)
        return nullptr;

    // Every input copied as it is taken: calls, puts, strikes, bounds,
    // spots, discounts.
    owned_array<double> calls, puts, strikes, spots, discounts;
    owned_array<std::int64_t> bounds;
    Py_ssize_t pairs, size;
    if (copy_input(args[0], "calls", calls, pairs) < 0)
        return nullptr;
    if (copy_input(args[1], "puts", puts, size) < 0 || check_pairs("puts", size, pairs) < 0)
        return nullptr;
    if (copy_input(args[2], "strikes", strikes, size) < 0
        || check_pairs("strikes", size, pairs) < 0)
        return nullptr;
    if (copy_input(args[3], "bounds", bounds, size) < 0)
        return nullptr;
    if (size < 1) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): bounds is empty; it needs one element more than there are groups",
                     find_forwards_name);
        return nullptr;
    }
    const Py_ssize_t groups = size - 1;
    if (copy_input(args[4], "spots", spots, size) < 0 || check_groups("spots", size, groups) < 0)
        return nullptr;
    if (copy_input(args[5], "discounts", discounts, size) < 0
        || check_groups("discounts", size, groups) < 0)
        return nullptr;
    // Which groups are searched: all of them unless `search` says otherwise.
    owned_array<bool> search;
    const bool search_all = search_obj == nullptr || search_obj == Py_None;
    if (!search_all
        && (copy_input(search_obj, "search", search, size) < 0
            || check_groups("search", size, groups) < 0))
        return nullptr;
    const bool *searched = search_all ? nullptr : search.data();
    // The integral model's times to expiry, one per group.
    owned_array<double> times;
    if (integral
        && (copy_input(times_obj, "times", times, size) < 0
            || check_groups("times", size, groups) < 0))
        return nullptr;
    if (check_bounds(bounds.data(), groups, pairs) < 0)
        return nullptr;

    // The searches' working memory: each group uses its own stretch.
    owned_array<std::int64_t> chosen;
    owned_array<double> quotes;
    if (chosen.allocate(pairs) < 0 || quotes.allocate(3 * pairs) < 0)
        return nullptr;

    npy_intp shape[1] = {groups};
    py_ref forward_array(PyArray_SimpleNew(1, shape, NPY_DOUBLE));
    py_ref parity_array(PyArray_SimpleNew(1, shape, NPY_DOUBLE));
    py_ref code_array(PyArray_SimpleNew(1, shape, NPY_INT8));
    if (!forward_array || !parity_array || !code_array)
        return nullptr;
    const auto data_of = [](const py_ref &array) {
        return PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get()));
    };
    double *forward = static_cast<double *>(data_of(forward_array));
    double *parity = static_cast<double *>(data_of(parity_array));
    std::int8_t *code = static_cast<std::int8_t *>(data_of(code_array));

    const std::int64_t *bound = bounds.data();
    const auto body = [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        for (std::ptrdiff_t g = begin; g < end; ++g) {
            const std::int64_t first = bound[g];
            const forward_group group{calls.data() + first, puts.data() + first,
                                      strikes.data() + first, bound[g + 1] - first,
                                      spots.data()[g], discounts.data()[g]};
            const forward_fit fit =
                !(searched == nullptr || searched[g])
                    ? parity_fit(group, chosen.data() + first, quotes.data() + 3 * first)
                : integral ? fit_forward_integral(group, times.data()[g], chosen.data() + first,
                                                  quotes.data() + 3 * first)
                           : fit_forward(group, chosen.data() + first, quotes.data() + 3 * first);
            forward[g] = fit.forward;
            parity[g] = fit.parity;
            code[g] = static_cast<std::int8_t>(fit.code);
        }
    };
    const bool main_thread = on_main_thread();
    bool completed;
    {
        detached_thread detached;
        completed = for_each_block(groups, workers, body, costly_elements,
                                   signal_check(detached, main_thread));
    }
    if (!completed)
        return nullptr;  // the signal handler's exception; the results are dropped
    return PyTuple_Pack(3, forward_array.get(), parity_array.get(), code_array.get());
}

// ---------------------------------------------------------------------------
// The integral model at settings of the caller's (its tests' references and
// the benchmarks' accuracy-against-time figures)

constexpr char integral_prices_name[] = "integral_prices";

PyObject *integral_prices(PyObject *, PyObject *args)
{
    PyObject *objs[7];
    integral_settings settings{};
    if (!PyArg_ParseTuple(args, "OOOOOOO(iiii):integral_prices", &objs[0], &objs[1], &objs[2],
                          &objs[3], &objs[4], &objs[5], &objs[6], &settings.boundary_points,
                          &settings.iterations, &settings.nodes, &settings.price_points))
        return nullptr;
    if (!valid_integral_settings(settings)) {
        PyErr_Format(PyExc_ValueError, "%s(): settings (%d, %d, %d, %d) out of range",
                     integral_prices_name, settings.boundary_points, settings.iterations,
                     settings.nodes, settings.price_points);
        return nullptr;
    }
    py_ref arrays[7];
    for (int j = 0; j < 7; ++j) {
        arrays[j].reset(PyArray_FROMANY(objs[j], j < 6 ? NPY_DOUBLE : NPY_BOOL, 1, 1,
                                        NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
        if (!arrays[j])
            return nullptr;
    }
    const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject *>(arrays[0].get()));
    for (int j = 1; j < 7; ++j)
        if (PyArray_SIZE(reinterpret_cast<PyArrayObject *>(arrays[j].get())) != n) {
            PyErr_Format(PyExc_ValueError, "%s(): the inputs differ in length",
                         integral_prices_name);
            return nullptr;
        }
    npy_intp shape[1] = {n};
    py_ref result(PyArray_SimpleNew(1, shape, NPY_DOUBLE));
    if (!result)
        return nullptr;
    const double *in[6];
    for (int j = 0; j < 6; ++j)
        in[j] = static_cast<const double *>(
            PyArray_DATA(reinterpret_cast<PyArrayObject *>(arrays[j].get())));
    const npy_bool *calls = static_cast<const npy_bool *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(arrays[6].get())));
    double *out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result.get())));
    for (npy_intp i = 0; i < n; ++i)
        out[i] = integral_price(in[0][i], in[1][i], in[2][i], in[3][i], in[4][i], in[5][i],
                                calls[i] ? flag_call : flag_put, settings);
    return result.release();
}

constexpr char vector_math_name[] = "vector_math";

// The path of the array functions a test asks for: -1 the one the
// processor takes, else one of those it has (vector_math.h).
bool valid_vector_path(int path, const char *name)
{
    if (path >= -1 && path < vector_paths())
        return true;
    PyErr_Format(PyExc_ValueError, "%s(): path must be -1 or below %d, not %d", name,
                 vector_paths(), path);
    return false;
}

// exp(x), N(x) and ln(x) from the integral model's array functions, on the
// path the processor takes or on one asked for: for the tests.
PyObject *vector_math(PyObject *, PyObject *args)
{
    PyObject *x_obj;
    int path;
    if (!PyArg_ParseTuple(args, "Oi:vector_math", &x_obj, &path))
        return nullptr;
    if (!valid_vector_path(path, vector_math_name))
        return nullptr;
    py_ref x(PyArray_FROMANY(x_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!x)
        return nullptr;
    const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject *>(x.get()));
    if (n > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "%s(): too many values", vector_math_name);
        return nullptr;
    }
    npy_intp shape[1] = {n};
    py_ref exps(PyArray_SimpleNew(1, shape, NPY_DOUBLE));
    py_ref cdfs(PyArray_SimpleNew(1, shape, NPY_DOUBLE));
    py_ref logs(PyArray_SimpleNew(1, shape, NPY_DOUBLE));
    if (!exps || !cdfs || !logs)
        return nullptr;
    const double *in = static_cast<const double *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(x.get())));
    double *e = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(exps.get())));
    double *c = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(cdfs.get())));
    double *l = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(logs.get())));
    const int count = static_cast<int>(n);
    // c holds -x^2/2, then its exp, then N(x).
    for (int i = 0; i < count; ++i)
        c[i] = in[i] * in[i] * -0.5;
    exp_array_on(path, in, e, count);
    exp_array_on(path, c, c, count);
    norm_cdf_array_on(path, in, c, c, count);
    log_array_on(path, in, l, count);
    return PyTuple_Pack(3, exps.get(), cdfs.get(), logs.get());
}

constexpr char root_weighted_sums_name[] = "root_weighted_sums";

// base - sqrt(max(h @ w, 0)) by the integral model's interpolation kernel,
// on a path as for vector_math: for the tests.
PyObject *root_weighted_sums_function(PyObject *, PyObject *args)
{
    PyObject *w_obj;
    PyObject *h_obj;
    double base;
    int path;
    if (!PyArg_ParseTuple(args, "OOdi:root_weighted_sums", &w_obj, &h_obj, &base, &path))
        return nullptr;
    if (!valid_vector_path(path, root_weighted_sums_name))
        return nullptr;
    py_ref w(PyArray_FROMANY(w_obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!w)
        return nullptr;
    py_ref h(PyArray_FROMANY(h_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!h)
        return nullptr;
    const npy_intp *shape = PyArray_DIMS(reinterpret_cast<PyArrayObject *>(w.get()));
    const npy_intp rows = shape[0];
    const npy_intp size = shape[1];
    if (rows < 1 || PyArray_SIZE(reinterpret_cast<PyArrayObject *>(h.get())) != rows) {
        PyErr_Format(PyExc_ValueError, "%s(): h must have one value for each of w's rows",
                     root_weighted_sums_name);
        return nullptr;
    }
    if (rows > INT_MAX || size > INT_MAX / rows) {
        PyErr_Format(PyExc_ValueError, "%s(): too many values", root_weighted_sums_name);
        return nullptr;
    }
    npy_intp out_shape[1] = {size};
    py_ref out(PyArray_SimpleNew(1, out_shape, NPY_DOUBLE));
    if (!out)
        return nullptr;
    const double *w_data = static_cast<const double *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(w.get())));
    const double *h_data = static_cast<const double *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(h.get())));
    double *o = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
    root_weighted_sums_on(path, w_data, h_data, static_cast<int>(rows), static_cast<int>(size),
                          base, o);
    return out.release();
}

PyObject *vector_paths_function(PyObject *, PyObject *)
{
    return PyLong_FromLong(vector_paths());
}

PyObject *resolve_workers_function(PyObject *, PyObject *workers_obj)
{
    int workers;
    if (resolve_workers(workers_obj, workers) < 0)
        return nullptr;
    return PyLong_FromLong(workers);
}

template <std::size_t row>
PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return call_kernel(kernels[row], args, nargs, kwnames);
}

template <std::size_t... rows>
constexpr auto method_table(std::index_sequence<rows...>)
{
    return std::array<PyMethodDef, sizeof...(rows) + 7>{{
        {kernels[rows].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<rows>)),
         METH_FASTCALL | METH_KEYWORDS, kernels[rows].doc}...,
        {find_forwards_name,
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&find_forwards)),
         METH_FASTCALL | METH_KEYWORDS,
         "find_forwards($module, calls, puts, strikes, bounds, spots, discounts, /, workers=1, *, "
         "search=None, model='baw', times=None)\n"
         "--\n\n"
         "The forward of every expiry of a chain, as find_forward_baw finds it (the strikes "
         "within 1 %, else 2, 5, 10, 20, 50 or 100 % of the spot, else all; the put-call-parity "
         "guess; the bounded minimisation of the call/put disagreement), one expiry per thread.\n"
         "calls, puts, strikes: float64 arrays of one length, expiry g's pairs at "
         "[bounds[g], bounds[g + 1]); bounds: int64, starting at 0, never decreasing, ending at "
         "that length; spots and discounts: float64, one per expiry.\n"
         "Returns (forward, parity, code): the forward, the parity first guess it started from "
         "(the spot without strikes), and a code: 0 accepted, 1 no pairs, 2 a forward that is "
         "not finite and positive, 3 no chosen strike with a call and a put of positive implied "
         "value at the forward.\n"
         "workers: as for the other functions (1, -1 every core, -k all but k-1); the results "
         "do not depend on it.\n"
         "search: None (every group searched) or a bool array of one element per group; where "
         "it is False the group's forward is its put-call-parity forward over the same strikes "
         "(exact for European quotes), with no search: forward and parity are both it, and the "
         "code is 0 where it is finite and positive, 1 without pairs, 2 otherwise.\n"
         "model: 'baw' (the default) or 'integral', whose implied volatilities the search then "
         "compares; it needs times, float64 years to expiry, one per group.\n"},
        {integral_prices_name,
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&integral_prices)),
         METH_VARARGS,
         "integral_prices($module, S, K, T, r, q, vol, is_call, settings, /)\n--\n\n"
         "The integral model's prices (American) at the given settings (boundary_points, "
         "iterations, nodes, price_points): the package's are (10, 4, 14, 40), with "
         "(16, 10, 16, 64) blended in for a put (in put form) whose (r - q) sqrt(T) / vol is "
         "above 0.3, in full from 0.5 on. One thread; "
         "for tests and benchmarks. The inputs are one-dimensional, of one length.\n"},
        {vector_math_name,
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&vector_math)),
         METH_VARARGS,
         "vector_math($module, x, path, /)\n--\n\n"
         "(exp(x), N(x), ln(x)) by the integral model's array functions, on the path this "
         "processor takes (path -1) or on one it has (0 the baseline, 1 AVX2, 2 AVX-512: "
         "below vector_paths()); N from exp(-x^2/2) by the same path. For tests.\n"},
        {root_weighted_sums_name,
         reinterpret_cast<PyCFunction>(
             reinterpret_cast<void (*)()>(&root_weighted_sums_function)),
         METH_VARARGS,
         "root_weighted_sums($module, w, h, base, path, /)\n--\n\n"
         "base - sqrt(max(s, 0)) for s = h @ w, w of shape (rows, size), each sum taken over "
         "the rows in order, by the integral model's interpolation kernel on a path as for "
         "vector_math. For tests.\n"},
        {"vector_paths",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&vector_paths_function)),
         METH_NOARGS,
         "vector_paths($module, /)\n--\n\n"
         "How many paths of the integral model's array functions this processor has: 1 the "
         "baseline alone, 2 with AVX2, 3 with AVX-512 too. For tests.\n"},
        {"resolve_workers",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&resolve_workers_function)),
         METH_O,
         "resolve_workers($module, workers, /)\n--\n\n"
         "The number of threads `workers` stands for: a positive count as it is, -1 every core "
         "the process may use, -k all of them but k - 1; at most max_workers.\n"},
        {nullptr, nullptr, 0, nullptr},
    }};
}

// ---------------------------------------------------------------------------
// The module

int module_exec(PyObject *module)
{
    bind_brentq(brent_root);
    if (PyArray_ImportNumPyAPI() < 0 || find_main_thread() < 0)
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
