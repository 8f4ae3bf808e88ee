// The bodies of the four module functions, each beside its function_def row
// and the source lines its steps report in traceback entries; the
// option-flag test and the NumPy helpers they share.
//
// NumPy is reached through the module global `np`, looked up at each use as
// the module's own code would look it up. Before a loop detaches from the
// interpreter, every input it reads is copied into memory the call owns:
// Python code that runs during a call (a flag's __eq__, another thread) may
// replace an array's storage while its buffer is held.

#include "functions.h"

#include <cstdint>
#include <limits>

#include "../numerics/forward.h"
#include "../numerics/implied_vol.h"
#include "../numerics/baw.h"
#include "../numerics/option_flag.h"

namespace vornet::core {

namespace {

// ---------------------------------------------------------------------------
// Interned identifiers and constant objects

// One row per identifier: the interned string of the same text, ids.<name>.
#define VORNET_CORE_IDENTIFIERS(X)                                                                 \
    X(c) X(np) X(dtype) X(ascontiguousarray) X(array) X(empty) X(asarray) X(float64) X(intc)      \
        X(nan) X(ones) X(any)

struct identifier_table {
#define VORNET_DECLARE_IDENTIFIER(name) PyObject *name = nullptr;
    VORNET_CORE_IDENTIFIERS(VORNET_DECLARE_IDENTIFIER)
#undef VORNET_DECLARE_IDENTIFIER
};
identifier_table ids;

// The flag codes as the batch's list holds them, and ("dtype",), the keyword
// names of the NumPy calls.
PyObject *code_call_obj = nullptr;
PyObject *code_put_obj = nullptr;
PyObject *dtype_kwnames = nullptr;
PyObject *builtins = nullptr;

// ---------------------------------------------------------------------------
// The option-flag test

// 1 when `flag` equals "c" (a call), 0 when it does not, -1 with an
// exception set when the comparison or its truth test raised. Exact strings
// and None are decided without calling any comparison.
int flag_is_call(PyObject *flag)
{
    if (flag == ids.c)
        return 1;
    if (PyUnicode_CheckExact(flag))
        return PyUnicode_GET_LENGTH(flag) == 1 && PyUnicode_READ_CHAR(flag, 0) == 'c';
    if (flag == Py_None)
        return 0;
    PyObject *equal = PyObject_RichCompare(flag, ids.c, Py_EQ);
    if (equal == nullptr)
        return -1;
    int truth;
    if (equal == Py_True)
        truth = 1;
    else if (equal == Py_False || equal == Py_None)
        truth = 0;
    else
        truth = PyObject_IsTrue(equal);
    Py_DECREF(equal);
    return truth;
}

// The flag code of a flag object: flag_call or flag_put.
int read_flag_code(PyObject *flag, std::int32_t &code)
{
    const int is_call = flag_is_call(flag);
    code = is_call ? flag_call : flag_put;
    return is_call < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------
// NumPy, through the module global `np`

// The value of a module global: in the namespace first, then among the
// built-ins. `np` is an ordinary global; callers may rebind or delete it.
PyObject *load_global(PyObject *globals, PyObject *name)
{
    PyObject *value;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found == 0)
        found = PyDict_GetItemRef(builtins, name, &value);
    if (found == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

// np.<attr>
PyObject *numpy_attr(PyObject *globals, PyObject *attr)
{
    py_ref np(load_global(globals, ids.np));
    return np ? PyObject_GetAttr(np.get(), attr) : nullptr;
}

// func(arg, dtype=dtype)
PyObject *call_with_dtype(PyObject *func, PyObject *arg, PyObject *dtype)
{
    PyObject *args[] = {arg, dtype};
    return PyObject_Vectorcall(func, args, 1, dtype_kwnames);
}

// np.<func>(arg, dtype=np.<dtype>), the attributes looked up in that order.
PyObject *numpy_call(PyObject *globals, PyObject *func, PyObject *arg, PyObject *dtype)
{
    py_ref callable(numpy_attr(globals, func));
    if (!callable)
        return nullptr;
    py_ref type(numpy_attr(globals, dtype));
    if (!type)
        return nullptr;
    return call_with_dtype(callable.get(), arg, type.get());
}

// Refuses an array of fewer than `n` elements where a loop reads n of them.
int check_length(const char *function, const char *what, Py_ssize_t size,
                 const char *expected, Py_ssize_t n)
{
    if (size >= n)
        return 0;
    PyErr_Format(PyExc_ValueError,
                 "%s(): %s holds %zd elements after conversion, fewer than %s = %zd", function,
                 what, size, expected, n);
    return -1;
}

// Copies the first n elements of `array` (a one-dimensional buffer of T,
// `flags` as for array_view::acquire) into `copy`, memory of the call's own;
// with n < 0, every element. Returns the number copied, or -1 on failure.
// No Python code runs between taking the buffer and copying it.
template <typename T>
Py_ssize_t copy_array(PyObject *array, int flags, const char *function, const char *what,
                      const char *expected, Py_ssize_t n, owned_array<T> &copy)
{
    array_view<T> view;
    if (view.acquire(array, flags) < 0)
        return -1;
    if (n < 0)
        n = view.size();
    if (check_length(function, what, view.size(), expected, n) < 0 || copy.allocate(n) < 0)
        return -1;
    view.copy_to(copy.data(), n);
    return n;
}

// ---------------------------------------------------------------------------
// baw_price

namespace baw_price_lines {
constexpr int definition = 397;
constexpr int flag = 403;
constexpr int result = 404;
}  // namespace baw_price_lines

constexpr param_def baw_price_params[] = {
    number("S"), number("K"), number("D"), number("F"), number("sigma"), object("flag"),
};

PyObject *baw_price_body(const bound_args &a, int &line)
{
    const double S = a.num[0], K = a.num[1], D = a.num[2], F = a.num[3], sigma = a.num[4];
    line = baw_price_lines::flag;
    std::int32_t flag;
    if (read_flag_code(a.obj[5], flag) < 0)
        return nullptr;
    const double price = baw_price_core(S, K, D, F, sigma, flag);
    line = baw_price_lines::result;
    return PyFloat_FromDouble(price);
}

// ---------------------------------------------------------------------------
// baw_implied_vol

namespace baw_implied_vol_lines {
constexpr int definition = 407;
constexpr int flag = 412;
constexpr int nan_result = 415;
constexpr int result = 416;
}  // namespace baw_implied_vol_lines

constexpr param_def baw_implied_vol_params[] = {
    number("price"), number("S"), number("K"), number("D"), number("F"), object("flag"),
};
// The locals its code object lists (the flag code was called q).
constexpr const char *baw_implied_vol_locals[] = {"q", "result"};

PyObject *baw_implied_vol_body(const bound_args &a, int &line)
{
    const double price = a.num[0], S = a.num[1], K = a.num[2], D = a.num[3], F = a.num[4];
    line = baw_implied_vol_lines::flag;
    std::int32_t flag;
    if (read_flag_code(a.obj[5], flag) < 0)
        return nullptr;
    const double result = baw_implied_vol_core(price, S, K, D, F, flag);
    // The solver's failure value (-1) is NaN to Python: float("nan"), sign
    // bit clear. A NaN result is not below 0 and is returned as it is.
    if (result < 0.0) {
        line = baw_implied_vol_lines::nan_result;
        return PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN());
    }
    line = baw_implied_vol_lines::result;
    return PyFloat_FromDouble(result);
}

// ---------------------------------------------------------------------------
// vectorized_baw_implied_vol

namespace vectorized_lines {
constexpr int definition = 419;
constexpr int length = 425;
constexpr int first_input = 429;  // prices; S_arr to F_arr on the four lines after it
constexpr int flag_array = 436;
constexpr int flag_list = 437;
constexpr int output = 440;
constexpr int output_view = 441;
constexpr int as_array = 450;
constexpr int failures_to_nan = 451;
}  // namespace vectorized_lines

constexpr char vectorized_name[] = "vectorized_baw_implied_vol";

constexpr param_def vectorized_params[] = {
    object("prices"), object("S_arr"), object("K_arr"),
    object("D_arr"),  object("F_arr"), object("flags"),
};
constexpr const char *vectorized_locals[] = {
    "n", "i", "result", "p_view", "s_view", "k_view", "d_view", "f_view", "q_view", "out",
    "out_view", "result_arr", "f",
};

// [1 if f == "c" else -1 for f in flags]. A list or tuple is walked by index
// (a list's length read afresh each time, since the comparisons may change
// it), anything else through its iterator.
PyObject *flag_code_list(PyObject *flags)
{
    py_ref codes(PyList_New(0));
    if (!codes)
        return nullptr;
    auto append = [&codes](PyObject *f) {
        const int is_call = flag_is_call(f);
        if (is_call < 0)
            return -1;
        return PyList_Append(codes.get(), is_call ? code_call_obj : code_put_obj);
    };
    if (PyList_CheckExact(flags)) {
        for (Py_ssize_t i = 0; i < PyList_Size(flags); ++i) {
            py_ref f(PyList_GetItemRef(flags, i));
            if (!f) {
                // Without the GIL another thread may shrink the list between
                // reading its length and taking the item: the list has ended.
                if (!PyErr_ExceptionMatches(PyExc_IndexError))
                    return nullptr;
                PyErr_Clear();
                break;
            }
            if (append(f.get()) < 0)
                return nullptr;
        }
    } else if (PyTuple_CheckExact(flags)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(flags); ++i)
            if (append(PyTuple_GET_ITEM(flags, i)) < 0)
                return nullptr;
    } else {
        py_ref iterator(PyObject_GetIter(flags));
        if (!iterator)
            return nullptr;
        while (PyObject *next = PyIter_Next(iterator.get())) {
            py_ref f(next);
            if (append(f.get()) < 0)
                return nullptr;
        }
        if (PyErr_Occurred())
            return nullptr;
    }
    return codes.release();
}

PyObject *vectorized_baw_implied_vol_body(const bound_args &a, int &line)
{
    using namespace vectorized_lines;
    PyObject *const prices = a.obj[0];
    PyObject *const flags = a.obj[5];
    constexpr int writable = PyBUF_STRIDES | PyBUF_WRITABLE;

    line = length;
    const Py_ssize_t n = PyObject_Length(prices);
    if (n < 0)
        return nullptr;

    // The five numeric inputs as float64 arrays (NumPy copies one only when
    // it is not already C-contiguous float64; the buffer asks for writable
    // memory), each copied out at once.
    static const char *const names[] = {"prices", "S_arr", "K_arr", "D_arr", "F_arr"};
    owned_array<double> inputs[5];
    for (int k = 0; k < 5; ++k) {
        line = first_input + k;
        py_ref converted(numpy_call(a.globals, ids.ascontiguousarray, a.obj[k], ids.float64));
        if (!converted
            || copy_array(converted.get(), writable, vectorized_name, names[k], "len(prices)", n,
                          inputs[k]) < 0)
            return nullptr;
    }

    // np.array([1 if f == "c" else -1 for f in flags], dtype=np.intc)
    line = flag_array;
    py_ref array_fn(numpy_attr(a.globals, ids.array));
    if (!array_fn)
        return nullptr;
    line = flag_list;
    py_ref codes(flag_code_list(flags));
    if (!codes)
        return nullptr;
    py_ref intc(numpy_attr(a.globals, ids.intc));
    if (!intc)
        return nullptr;
    line = flag_array;
    owned_array<std::int32_t> flag_codes;
    py_ref code_array(call_with_dtype(array_fn.get(), codes.get(), intc.get()));
    if (!code_array
        || copy_array(code_array.get(), writable, vectorized_name, "flags", "len(prices)", n,
                      flag_codes) < 0)
        return nullptr;

    line = output;
    py_ref size(PyLong_FromSsize_t(n));
    if (!size)
        return nullptr;
    py_ref out(numpy_call(a.globals, ids.empty, size.get(), ids.float64));
    if (!out)
        return nullptr;
    // With NumPy's own np.empty the output always has n elements and no other
    // owner; the checks here and after the loop guard against a rebound `np`.
    line = output_view;
    array_view<double> out_view;
    const auto take_output = [&] {
        return out_view.acquire(out.get(), writable) < 0
                   ? -1
                   : check_length(vectorized_name, "the output", out_view.size(), "len(prices)", n);
    };
    owned_array<double> results;
    if (take_output() < 0 || results.allocate(n) < 0)
        return nullptr;
    out_view.release();

    {
        detached_thread unlocked;
        const double *p = inputs[0].data(), *s = inputs[1].data(), *k = inputs[2].data(),
                     *d = inputs[3].data(), *f = inputs[4].data();
        const std::int32_t *flag = flag_codes.data();
        double *result = results.data();
        for (Py_ssize_t i = 0; i < n; ++i)
            result[i] = baw_implied_vol_core(p[i], s[i], k[i], d[i], f[i], flag[i]);
    }
    // Other threads ran meanwhile: the output's buffer is taken afresh.
    if (take_output() < 0)
        return nullptr;
    out_view.copy_from(results.data(), n);
    out_view.release();

    // result_arr[result_arr < 0] = np.nan: the solver's -1.0 becomes NaN.
    line = as_array;
    py_ref asarray(numpy_attr(a.globals, ids.asarray));
    if (!asarray)
        return nullptr;
    py_ref result_arr(PyObject_CallOneArg(asarray.get(), out.get()));
    if (!result_arr)
        return nullptr;
    line = failures_to_nan;
    py_ref nan(numpy_attr(a.globals, ids.nan));
    if (!nan)
        return nullptr;
    py_ref zero(PyLong_FromLong(0));
    if (!zero)
        return nullptr;
    py_ref failed(PyObject_RichCompare(result_arr.get(), zero.get(), Py_LT));
    if (!failed || PyObject_SetItem(result_arr.get(), failed.get(), nan.get()) < 0)
        return nullptr;
    return result_arr.release();
}

// ---------------------------------------------------------------------------
// find_forward_baw

namespace find_forward_lines {
constexpr int definition = 579;
constexpr int strike_pct = 580;
constexpr int first_array = 582;  // call_prices; put_prices and strikes on the next two
constexpr int band = 590;
constexpr int band_test = 591;
constexpr int all_strikes = 594;
constexpr int calls = 596;
constexpr int puts = 597;
constexpr int strikes = 598;
constexpr int result = 628;
}  // namespace find_forward_lines

constexpr char find_forward_name[] = "find_forward_baw";

constexpr param_def find_forward_params[] = {
    object("call_prices"), object("put_prices"), object("strikes"), number("S"), number("D"),
    optional_number("strike_pct", 0.01, find_forward_lines::strike_pct),
};
constexpr const char *find_forward_locals[] = {
    "pct", "lo", "hi", "mask", "c_calls", "c_puts", "c_strikes", "n_sel", "j", "f_est_sum",
    "f_est_count", "F_init", "params", "search_lo", "search_hi", "result",
};

// (strikes >= (1 - pct) S) & (strikes <= (1 + pct) S) for the first band
// that holds a strike, trying `strike_pct` and then the fixed half-widths, in
// that order; all of them (a mask of ones) when none does.
PyObject *strike_mask(PyObject *globals, PyObject *strikes, double S, double strike_pct,
                      int &line)
{
    using namespace find_forward_lines;
    const double bands[] = {strike_pct, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0};
    for (const double pct : bands) {
        const double lo = (1.0 - pct) * S;
        const double hi = (1.0 + pct) * S;
        line = band;
        py_ref lo_obj(PyFloat_FromDouble(lo));
        py_ref hi_obj(PyFloat_FromDouble(hi));
        if (!lo_obj || !hi_obj)
            return nullptr;
        py_ref above(PyObject_RichCompare(strikes, lo_obj.get(), Py_GE));
        if (!above)
            return nullptr;
        py_ref below(PyObject_RichCompare(strikes, hi_obj.get(), Py_LE));
        if (!below)
            return nullptr;
        py_ref mask(PyNumber_And(above.get(), below.get()));
        if (!mask)
            return nullptr;
        line = band_test;
        py_ref any(PyObject_CallMethodNoArgs(mask.get(), ids.any));
        if (!any)
            return nullptr;
        const int found = PyObject_IsTrue(any.get());
        if (found < 0)
            return nullptr;
        if (found)
            return mask.release();
    }

    line = all_strikes;
    py_ref ones(numpy_attr(globals, ids.ones));
    if (!ones)
        return nullptr;
    const Py_ssize_t count = PyObject_Length(strikes);
    if (count < 0)
        return nullptr;
    py_ref size(PyLong_FromSsize_t(count));
    if (!size)
        return nullptr;
    return call_with_dtype(ones.get(), size.get(), reinterpret_cast<PyObject *>(&PyBool_Type));
}

// np.ascontiguousarray(values[mask], dtype=np.float64), copied into `copy`;
// n_sel < 0 (the calls) takes every element and sets n_sel. Boolean indexing
// always copies, so with NumPy's own `np` every selection has n_sel
// elements; the length check guards against a rebound `np`.
int select_quotes(PyObject *globals, PyObject *values, PyObject *mask, const char *what,
                  Py_ssize_t &n_sel, owned_array<double> &copy)
{
    py_ref chosen(PyObject_GetItem(values, mask));
    if (!chosen)
        return -1;
    py_ref selection(numpy_call(globals, ids.ascontiguousarray, chosen.get(), ids.float64));
    if (!selection)
        return -1;
    const Py_ssize_t count = copy_array(selection.get(), PyBUF_C_CONTIGUOUS, find_forward_name,
                                        what, "len(c_calls)", n_sel, copy);
    if (count < 0)
        return -1;
    n_sel = count;
    return 0;
}

PyObject *find_forward_baw_body(const bound_args &a, int &line)
{
    using namespace find_forward_lines;
    const double S = a.num[3], D = a.num[4], strike_pct = a.num[5];

    // call_prices = np.asarray(call_prices, dtype=np.float64), and so on
    py_ref arrays[3];
    for (int k = 0; k < 3; ++k) {
        line = first_array + k;
        arrays[k].reset(numpy_call(a.globals, ids.asarray, a.obj[k], ids.float64));
        if (!arrays[k])
            return nullptr;
    }

    py_ref mask(strike_mask(a.globals, arrays[2].get(), S, strike_pct, line));
    if (!mask)
        return nullptr;

    Py_ssize_t n_sel = -1;
    owned_array<double> c_calls, c_puts, c_strikes;
    line = calls;
    if (select_quotes(a.globals, arrays[0].get(), mask.get(), "c_calls", n_sel, c_calls) < 0)
        return nullptr;
    line = puts;
    if (select_quotes(a.globals, arrays[1].get(), mask.get(), "c_puts", n_sel, c_puts) < 0)
        return nullptr;
    line = strikes;
    if (select_quotes(a.globals, arrays[2].get(), mask.get(), "c_strikes", n_sel, c_strikes) < 0)
        return nullptr;

    forward_search_args params{S, D, c_calls.data(), c_puts.data(), c_strikes.data(), n_sel};
    const double F_init = parity_forward(params);
    double result;
    {
        detached_thread unlocked;
        result = search_forward(params, F_init);
    }
    line = find_forward_lines::result;
    return PyFloat_FromDouble(result);
}

}  // namespace

// ---------------------------------------------------------------------------

const function_def functions[] = {
    {"baw_price",
     "BAW American option price.\n\n"
     "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
     "    flag: 'c' or 'p'.\n"
     "    ",
     baw_price_lines::definition, 6, 6, baw_price_params, 0, nullptr, baw_price_body, 0},
    {"baw_implied_vol",
     "BAW implied total std dev.\n\n"
     "    Returns sigma or NaN on failure.\n"
     "    ",
     baw_implied_vol_lines::definition, 6, 6, baw_implied_vol_params, 2, baw_implied_vol_locals,
     baw_implied_vol_body, 0},
    {vectorized_name,
     "Batch BAW IV extraction.\n\n"
     "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
     "    Returns numpy array of implied vols.\n"
     "    ",
     vectorized_lines::definition, 6, 6, vectorized_params, 13, vectorized_locals,
     vectorized_baw_implied_vol_body, 0},
    {find_forward_name,
     "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes.",
     find_forward_lines::definition, 6, 5, find_forward_params, 16, find_forward_locals,
     find_forward_baw_body, find_forward_lines::strike_pct},
};
const std::size_t function_count = sizeof functions / sizeof functions[0];

int create_function_constants(PyObject *builtins_namespace)
{
#define VORNET_CREATE_IDENTIFIER(name)                                                             \
    if (create_once(ids.name, [] { return PyUnicode_InternFromString(#name); }) < 0)              \
        return -1;
    VORNET_CORE_IDENTIFIERS(VORNET_CREATE_IDENTIFIER)
#undef VORNET_CREATE_IDENTIFIER
    if (create_once(code_call_obj, [] { return PyLong_FromLong(flag_call); }) < 0
        || create_once(code_put_obj, [] { return PyLong_FromLong(flag_put); }) < 0
        || create_once(dtype_kwnames, [] { return PyTuple_Pack(1, ids.dtype); }) < 0)
        return -1;
    return create_once(builtins, [=] { return Py_NewRef(builtins_namespace); });
}

}  // namespace vornet::core
