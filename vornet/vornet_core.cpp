// vornet.vornet_core: the Python face of the Barone-Adesi-Whaley pricer.
//
// This file holds the module definition and its initialisation, the one
// argument binder that every function goes through (driven by the table of
// functions below), the conversions, the option-flag test, the traceback
// entries, and the bodies of the module functions. The numerics they call live
// in numerics/ and never touch a Python object.
//
// Failures report a fixed line of the module's source listing: binding and
// conversion failures the line of the function's definition, every other step
// a line of its own. The line travels back to the one place, call_function(),
// that adds the traceback entry.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "numerics/baw.h"
#include "numerics/forward.h"
#include "numerics/implied_vol.h"
#include "numerics/normal.h"
#include "numerics/root_finder.h"
#include "pycompat.h"

namespace {

using namespace vornet;

constexpr char source_file[] = "vornet/vornet_core";
constexpr char module_name[] = "vornet.vornet_core";
constexpr char init_entry_name[] = "init vornet.vornet_core";

// ---------------------------------------------------------------------------
// Owned references

// Owns one strong reference and drops it when it goes out of scope, so that
// each early return releases exactly what the call took.
class py_ref {
  public:
    py_ref() noexcept = default;
    explicit py_ref(PyObject *owned) noexcept : obj_(owned) {}
    py_ref(const py_ref &) = delete;
    py_ref &operator=(const py_ref &) = delete;
    ~py_ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset(PyObject *owned) noexcept
    {
        PyObject *old = obj_;
        obj_ = owned;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    PyObject *obj_ = nullptr;
};

// ---------------------------------------------------------------------------
// Process-wide state. Written by the create and exec steps only; afterwards
// nothing here changes, so calls share no mutable state.

// The initialised module (a strong reference, never released) and the
// interpreter that first created it.
std::atomic<PyObject *> the_module{nullptr};
std::atomic<std::int64_t> owner_interpreter{-1};

// The namespace of `builtins`, where global look-ups fall back to.
PyObject *builtins_namespace = nullptr;

// Interned identifiers, created once by the exec step.
enum identifier : int {
    id_c,
    id_np,
    id_dtype,
    id_ascontiguousarray,
    id_array,
    id_empty,
    id_asarray,
    id_float64,
    id_intc,
    id_nan,
    id_ones,
    id_any,
    id_count
};
constexpr const char *identifier_text[id_count] = {
    "c", "np", "dtype", "ascontiguousarray", "array", "empty", "asarray", "float64", "intc",
    "nan", "ones", "any",
};
PyObject *identifiers[id_count];

PyObject *ident(identifier id) noexcept { return identifiers[id]; }

// Constant objects, created with the identifiers: the flag codes of the
// batch, and ("dtype",), the keyword names of the NumPy calls.
PyObject *code_call_obj = nullptr;
PyObject *code_put_obj = nullptr;
PyObject *dtype_kwnames = nullptr;

// ---------------------------------------------------------------------------
// Traceback entries

// Adds one entry `funcname` at `file:line` to the exception being raised. The
// entry is a frame over the module namespace running an empty code object
// whose first line is `line`; the exception is set aside while they are made.
void add_traceback_entry(const char *funcname, int line)
{
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *module = the_module.load();
    PyCodeObject *code = PyCode_NewEmpty(source_file, funcname, line);
    PyFrameObject *frame = nullptr;
    if (code != nullptr && module != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(module), nullptr);
    // Failing to build the entry must not replace the error being reported.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr)
        PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// ---------------------------------------------------------------------------
// Shared helpers of the function bodies

// Option-flag test: 1 when `flag` equals "c" (a call), 0 when it does not,
// -1 with an exception set when the comparison or its truth test raised.
// Exact strings and None are decided without calling any comparison.
int flag_is_call(PyObject *flag)
{
    PyObject *c = ident(id_c);
    if (flag == c)
        return 1;
    if (PyUnicode_CheckExact(flag))
        return PyUnicode_GET_LENGTH(flag) == 1 && PyUnicode_READ_CHAR(flag, 0) == 'c';
    if (flag == Py_None)
        return 0;
    PyObject *equal = PyObject_RichCompare(flag, c, Py_EQ);
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

// The numeric flag code of a flag object: 1 for a call, -1 for a put.
int read_flag(PyObject *flag, std::int32_t &code)
{
    const int is_call = flag_is_call(flag);
    code = is_call ? flag_call : flag_put;
    return is_call < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------
// NumPy, through the module global `np`

// The value of a module global, looked up as the module's own code would
// look it up: in the namespace first, then among the built-ins. `np` is an
// ordinary global; callers may rebind or delete it.
PyObject *load_global(PyObject *name)
{
    PyObject *value;
    int found = PyDict_GetItemRef(PyModule_GetDict(the_module.load()), name, &value);
    if (found == 0)
        found = PyDict_GetItemRef(builtins_namespace, name, &value);
    if (found == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

// np.<attr>
PyObject *numpy_attr(identifier attr)
{
    py_ref np(load_global(ident(id_np)));
    return np ? PyObject_GetAttr(np.get(), ident(attr)) : nullptr;
}

// func(arg, dtype=dtype)
PyObject *call_with_dtype(PyObject *func, PyObject *arg, PyObject *dtype)
{
    PyObject *args[] = {arg, dtype};
    return PyObject_Vectorcall(func, args, 1, dtype_kwnames);
}

// np.<func>(arg, dtype=np.<dtype>), the attributes looked up in that order.
PyObject *numpy_call(identifier func, PyObject *arg, identifier dtype)
{
    py_ref callable(numpy_attr(func));
    if (!callable)
        return nullptr;
    py_ref type(numpy_attr(dtype));
    if (!type)
        return nullptr;
    return call_with_dtype(callable.get(), arg, type.get());
}

// ---------------------------------------------------------------------------
// One-dimensional views of array memory

template <typename T>
struct element_format;
template <>
struct element_format<double> {
    static constexpr char code = 'd';
    static constexpr const char *name = "double";
};
template <>
struct element_format<std::int32_t> {
    static constexpr char code = 'i';
    static constexpr const char *name = "int";
};

// A struct-module format of one element of type `code` in native layout.
bool format_is(const char *format, char code)
{
    if (format == nullptr)
        return code == 'B';
    if (*format == '@' || *format == '=' || *format == (PY_LITTLE_ENDIAN ? '<' : '>'))
        ++format;
    return format[0] == code && format[1] == '\0';
}

// A one-dimensional view of T elements over an object's buffer, addressed by
// stride and held, with the object kept alive, until the view goes out of
// scope. Elements are copied in and out with memcpy, so that memory that is
// not aligned for T is read correctly as well.
template <typename T>
class array_view {
  public:
    array_view() = default;
    array_view(const array_view &) = delete;
    array_view &operator=(const array_view &) = delete;
    ~array_view()
    {
        if (held_)
            PyBuffer_Release(&buffer_);
    }

    // `flags`: PyBUF_STRIDES (any layout) or PyBUF_C_CONTIGUOUS, with
    // PyBUF_WRITABLE for a view that may be written.
    int acquire(PyObject *obj, int flags)
    {
        if (PyObject_GetBuffer(obj, &buffer_, flags | PyBUF_FORMAT) < 0)
            return -1;
        held_ = true;
        if (buffer_.ndim != 1) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected 1, got %d)",
                         buffer_.ndim);
            return -1;
        }
        if (!format_is(buffer_.format, element_format<T>::code)
            || buffer_.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'",
                         element_format<T>::name,
                         buffer_.format != nullptr ? buffer_.format : "B");
            return -1;
        }
        return 0;
    }

    // acquire() for data(): C-contiguous elements aligned for T (NumPy's
    // fresh arrays always are).
    int acquire_contiguous(PyObject *obj)
    {
        if (acquire(obj, PyBUF_C_CONTIGUOUS) < 0)
            return -1;
        if (reinterpret_cast<std::uintptr_t>(buffer_.buf) % alignof(T) != 0) {
            PyErr_Format(PyExc_ValueError, "Buffer is not aligned for '%s'",
                         element_format<T>::name);
            return -1;
        }
        return 0;
    }

    Py_ssize_t size() const noexcept { return buffer_.shape[0]; }

    // The elements in place, for a view acquired as C-contiguous over memory
    // aligned for T (see aligned_contiguous()).
    const T *data() const noexcept { return static_cast<const T *>(buffer_.buf); }

    T load(Py_ssize_t i) const noexcept
    {
        T value;
        std::memcpy(&value, address(i), sizeof value);
        return value;
    }

    void store(Py_ssize_t i, T value) const noexcept { std::memcpy(address(i), &value, sizeof value); }

  private:
    char *address(Py_ssize_t i) const noexcept
    {
        return static_cast<char *>(buffer_.buf) + i * buffer_.strides[0];
    }

    Py_buffer buffer_{};
    bool held_ = false;
};

// Detaches the calling thread from the interpreter for its scope: no Python
// object may be touched meanwhile.
class detached_thread {
  public:
    detached_thread() noexcept : state_(PyEval_SaveThread()) {}
    detached_thread(const detached_thread &) = delete;
    detached_thread &operator=(const detached_thread &) = delete;
    ~detached_thread() { PyEval_RestoreThread(state_); }

  private:
    PyThreadState *state_;
};

// ---------------------------------------------------------------------------
// The table of functions

constexpr Py_ssize_t max_params = 6;

struct param_spec {
    const char *name;
    bool numeric;        // converted to a double after binding
    bool optional;       // may be omitted; then it takes `fallback`
    double fallback;     // the value of an omitted parameter, fixed in the code
    int conversion_line; // where a failed conversion is reported; 0: the definition line
};

constexpr param_spec number(const char *name) { return {name, true, false, 0.0, 0}; }
constexpr param_spec object(const char *name) { return {name, false, false, 0.0, 0}; }
constexpr param_spec optional_number(const char *name, double fallback, int line)
{
    return {name, true, true, fallback, line};
}

// The arguments of one call after binding: borrowed objects, NULL for an
// omitted optional parameter, and the doubles of the numeric parameters.
struct bound_args {
    PyObject *obj[max_params];
    double num[max_params];
};

// A function body: runs after binding and conversion; on failure returns NULL
// with an exception set and `line` naming the failing step.
using body_fn = PyObject *(*)(const bound_args &args, int &line);

struct function_spec {
    const char *name;
    const char *doc;
    int line;                        // line of the definition
    Py_ssize_t nparams;
    Py_ssize_t nrequired;            // the first nrequired parameters have no default
    const param_spec *params;
    Py_ssize_t nlocals;              // locals beyond the parameters, for __code__
    const char *const *locals;
    body_fn body;
    void (*write_constants)() noexcept; // module constants its numerics read, or NULL
    int defaults_line;               // line of the default tuple, when there is one
};

// ---------------------------------------------------------------------------
// baw_price

constexpr param_spec baw_price_params[] = {
    number("S"), number("K"), number("D"), number("F"), number("sigma"), object("flag"),
};

PyObject *baw_price_body(const bound_args &a, int &line)
{
    const double S = a.num[0], K = a.num[1], D = a.num[2], F = a.num[3], sigma = a.num[4];
    line = 403;
    std::int32_t flag;
    if (read_flag(a.obj[5], flag) < 0)
        return nullptr;
    const double price = baw_price_core(S, K, D, F, sigma, flag);
    line = 404;
    return PyFloat_FromDouble(price);
}

// ---------------------------------------------------------------------------
// baw_implied_vol

constexpr param_spec baw_implied_vol_params[] = {
    number("price"), number("S"), number("K"), number("D"), number("F"), object("flag"),
};
constexpr const char *baw_implied_vol_locals[] = {"q", "result"};

PyObject *baw_implied_vol_body(const bound_args &a, int &line)
{
    const double price = a.num[0], S = a.num[1], K = a.num[2], D = a.num[3], F = a.num[4];
    line = 412;
    std::int32_t q;
    if (read_flag(a.obj[5], q) < 0)
        return nullptr;
    const double result = baw_implied_vol_core(price, S, K, D, F, q);
    // The solver's failure value (-1) is NaN to Python: float("nan"), sign
    // bit clear. A NaN result is not below 0 and is returned as it is.
    if (result < 0.0) {
        line = 415;
        return PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN());
    }
    line = 416;
    return PyFloat_FromDouble(result);
}

// ---------------------------------------------------------------------------
// vectorized_baw_implied_vol

constexpr param_spec vectorized_params[] = {
    object("prices"), object("S_arr"), object("K_arr"),
    object("D_arr"),  object("F_arr"), object("flags"),
};
constexpr const char *vectorized_locals[] = {
    "n", "i", "result", "p_view", "s_view", "k_view", "d_view", "f_view", "q_view", "out",
    "out_view", "result_arr", "f",
};

// Refuses an input with fewer than `n` elements: the loop reads n from each.
int check_length(const char *what, Py_ssize_t size, Py_ssize_t n)
{
    if (size >= n)
        return 0;
    PyErr_Format(PyExc_ValueError,
                 "vectorized_baw_implied_vol(): %s holds %zd elements after conversion, fewer "
                 "than len(prices) = %zd",
                 what, size, n);
    return -1;
}

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
                // Shrunk by another thread since its length was read: done.
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
    PyObject *const prices = a.obj[0];
    PyObject *const flags = a.obj[5];

    line = 425;
    const Py_ssize_t n = PyObject_Length(prices);
    if (n < 0)
        return nullptr;

    // The five numeric inputs as float64 arrays, copied only when they are
    // not already C-contiguous float64; a view asks for writable memory.
    static const char *const names[] = {"prices", "S_arr", "K_arr", "D_arr", "F_arr"};
    array_view<double> inputs[5];
    for (int k = 0; k < 5; ++k) {
        line = 429 + k;
        py_ref converted(numpy_call(id_ascontiguousarray, a.obj[k], id_float64));
        if (!converted || inputs[k].acquire(converted.get(), PyBUF_STRIDES | PyBUF_WRITABLE) < 0
            || check_length(names[k], inputs[k].size(), n) < 0)
            return nullptr;
    }
    const array_view<double> &p_view = inputs[0], &s_view = inputs[1], &k_view = inputs[2],
                             &d_view = inputs[3], &f_view = inputs[4];

    // np.array([1 if f == "c" else -1 for f in flags], dtype=np.intc)
    line = 436;
    py_ref array_fn(numpy_attr(id_array));
    if (!array_fn)
        return nullptr;
    line = 437;
    py_ref codes(flag_code_list(flags));
    if (!codes)
        return nullptr;
    py_ref intc(numpy_attr(id_intc));
    if (!intc)
        return nullptr;
    line = 436;
    array_view<std::int32_t> q_view;
    py_ref code_array(call_with_dtype(array_fn.get(), codes.get(), intc.get()));
    if (!code_array || q_view.acquire(code_array.get(), PyBUF_STRIDES | PyBUF_WRITABLE) < 0
        || check_length("flags", q_view.size(), n) < 0)
        return nullptr;

    line = 440;
    py_ref size(PyLong_FromSsize_t(n));
    if (!size)
        return nullptr;
    py_ref out(numpy_call(id_empty, size.get(), id_float64));
    if (!out)
        return nullptr;
    line = 441;
    array_view<double> out_view;
    if (out_view.acquire(out.get(), PyBUF_STRIDES | PyBUF_WRITABLE) < 0
        || check_length("the output", out_view.size(), n) < 0)
        return nullptr;

    {
        detached_thread unlocked;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const double result = baw_implied_vol_core(p_view.load(i), s_view.load(i),
                                                       k_view.load(i), d_view.load(i),
                                                       f_view.load(i), q_view.load(i));
            out_view.store(i, result);
        }
    }

    // result_arr[result_arr < 0] = np.nan: the solver's -1.0 becomes NaN.
    line = 450;
    py_ref asarray(numpy_attr(id_asarray));
    if (!asarray)
        return nullptr;
    py_ref result_arr(PyObject_CallOneArg(asarray.get(), out.get()));
    if (!result_arr)
        return nullptr;
    line = 451;
    py_ref nan(numpy_attr(id_nan));
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

constexpr param_spec find_forward_params[] = {
    object("call_prices"), object("put_prices"), object("strikes"),
    number("S"),           number("D"),          optional_number("strike_pct", 0.01, 580),
};
constexpr const char *find_forward_locals[] = {
    "pct", "lo", "hi", "mask", "c_calls", "c_puts", "c_strikes", "n_sel", "j", "f_est_sum",
    "f_est_count", "F_init", "params", "search_lo", "search_hi", "result",
};

// (strikes >= (1 - pct) S) & (strikes <= (1 + pct) S) for the first band
// that holds a strike, trying `strike_pct` and then the fixed half-widths, in
// that order; all of them (a mask of ones) when none does.
PyObject *strike_mask(PyObject *strikes, double S, double strike_pct, int &line)
{
    const double bands[] = {strike_pct, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0};
    for (const double pct : bands) {
        const double lo = (1.0 - pct) * S;
        const double hi = (1.0 + pct) * S;
        line = 590;
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
        line = 591;
        py_ref any(PyObject_CallMethodNoArgs(mask.get(), ident(id_any)));
        if (!any)
            return nullptr;
        const int found = PyObject_IsTrue(any.get());
        if (found < 0)
            return nullptr;
        if (found)
            return mask.release();
    }

    line = 594;
    py_ref ones(numpy_attr(id_ones));
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

// view <- np.ascontiguousarray(values[mask], dtype=np.float64): a fresh copy
// of the chosen quotes, so the search never reads a caller's buffer.
int select_quotes(PyObject *values, PyObject *mask, array_view<double> &view)
{
    py_ref chosen(PyObject_GetItem(values, mask));
    if (!chosen)
        return -1;
    py_ref copy(numpy_call(id_ascontiguousarray, chosen.get(), id_float64));
    if (!copy)
        return -1;
    return view.acquire_contiguous(copy.get());
}

// The search reads n_sel elements of each selection.
int check_selection(const char *what, Py_ssize_t size, Py_ssize_t n_sel)
{
    if (size >= n_sel)
        return 0;
    PyErr_Format(PyExc_ValueError,
                 "find_forward_baw(): %zd %s selected, fewer than the %zd call prices", size,
                 what, n_sel);
    return -1;
}

PyObject *find_forward_baw_body(const bound_args &a, int &line)
{
    const double S = a.num[3], D = a.num[4], strike_pct = a.num[5];

    // call_prices = np.asarray(call_prices, dtype=np.float64), and so on
    py_ref arrays[3];
    for (int k = 0; k < 3; ++k) {
        line = 582 + k;
        arrays[k].reset(numpy_call(id_asarray, a.obj[k], id_float64));
        if (!arrays[k])
            return nullptr;
    }
    PyObject *const call_prices = arrays[0].get(), *const put_prices = arrays[1].get(),
                    *const strikes = arrays[2].get();

    py_ref mask(strike_mask(strikes, S, strike_pct, line));
    if (!mask)
        return nullptr;

    array_view<double> c_calls, c_puts, c_strikes;
    line = 596;
    if (select_quotes(call_prices, mask.get(), c_calls) < 0)
        return nullptr;
    const Py_ssize_t n_sel = c_calls.size();
    line = 597;
    if (select_quotes(put_prices, mask.get(), c_puts) < 0
        || check_selection("put prices", c_puts.size(), n_sel) < 0)
        return nullptr;
    line = 598;
    if (select_quotes(strikes, mask.get(), c_strikes) < 0
        || check_selection("strikes", c_strikes.size(), n_sel) < 0)
        return nullptr;

    forward_search_args params{S, D, c_calls.data(), c_puts.data(), c_strikes.data(), n_sel};
    const double F_init = parity_forward(params);
    double result;
    {
        detached_thread unlocked;
        result = search_forward(params, F_init);
    }
    line = 628;
    return PyFloat_FromDouble(result);
}

// ---------------------------------------------------------------------------

constexpr function_spec functions[] = {
    {"baw_price",
     "BAW American option price.\n\n"
     "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
     "    flag: 'c' or 'p'.\n"
     "    ",
     397, 6, 6, baw_price_params, 0, nullptr, baw_price_body, nullptr, 0},
    {"baw_implied_vol",
     "BAW implied total std dev.\n\n"
     "    Returns sigma or NaN on failure.\n"
     "    ",
     407, 6, 6, baw_implied_vol_params, 2, baw_implied_vol_locals, baw_implied_vol_body,
     init_implied_vol_constants, 0},
    {"vectorized_baw_implied_vol",
     "Batch BAW IV extraction.\n\n"
     "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
     "    Returns numpy array of implied vols.\n"
     "    ",
     419, 6, 6, vectorized_params, 13, vectorized_locals, vectorized_baw_implied_vol_body,
     nullptr, 0},
    {"find_forward_baw",
     "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes.",
     579, 6, 5, find_forward_params, 16, find_forward_locals, find_forward_baw_body,
     init_forward_search_constants, 580},
};
constexpr std::size_t function_count = sizeof functions / sizeof functions[0];

// Interned parameter names, row by row, matched by identity before equality.
PyObject *param_names[function_count][max_params];

// ---------------------------------------------------------------------------
// Argument binding

void raise_count_error(const function_spec &f, Py_ssize_t given)
{
    const char *bound;
    Py_ssize_t expected;
    if (f.nrequired == f.nparams) {
        bound = "exactly";
        expected = f.nparams;
    } else if (given < f.nrequired) {
        bound = "at least";
        expected = f.nrequired;
    } else {
        bound = "at most";
        expected = f.nparams;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.name, bound, expected, expected == 1 ? "" : "s", given);
}

// Index in [from, to) of the parameter called `key`: by identity first (the
// names are interned), then by ==, which a str subclass may define itself.
// -1 when there is none, -2 when a comparison raised.
Py_ssize_t find_parameter(PyObject *const *names, Py_ssize_t from, Py_ssize_t to, PyObject *key)
{
    for (Py_ssize_t i = from; i < to; ++i)
        if (names[i] == key)
            return i;
    for (Py_ssize_t i = from; i < to; ++i) {
        const int equal = PyObject_RichCompareBool(key, names[i], Py_EQ);
        if (equal < 0)
            return -2;
        if (equal)
            return i;
    }
    return -1;
}

// Binds a vectorcall's positional arguments and keywords to the parameters
// of `f`. The first offending argument ends the binding with a TypeError.
int bind_arguments(const function_spec &f, PyObject *const *names, PyObject *const *argv,
                   Py_ssize_t nargs, PyObject *kwnames, bound_args &out)
{
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    // Too many positional arguments are refused before any keyword is read.
    if (nargs > f.nparams || (nkw == 0 && nargs < f.nrequired)) {
        raise_count_error(f, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < f.nparams; ++i)
        out.obj[i] = i < nargs ? argv[i] : nullptr;

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
            return -1;
        }
        Py_ssize_t index = find_parameter(names, nargs, f.nparams, key);
        if (index == -2)
            return -1;
        if (index >= 0 && out.obj[index] == nullptr) {
            out.obj[index] = argv[nargs + k];
            continue;
        }
        // Either a keyword repeated, or a name no unfilled parameter has:
        // it is a duplicate when some parameter has it, else unknown.
        if (index < 0) {
            index = find_parameter(names, 0, nargs, key);
            if (index == -2)
                return -1;
        }
        if (index >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f.name, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name,
                         key);
        return -1;
    }

    // A missing required parameter reports its index as the number given.
    for (Py_ssize_t i = nargs; i < f.nrequired; ++i) {
        if (out.obj[i] == nullptr) {
            raise_count_error(f, i);
            return -1;
        }
    }
    return 0;
}

// Converts the numeric parameters to doubles, in order. An exact float is
// read directly; anything else goes through __float__ or __index__.
int convert_arguments(const function_spec &f, bound_args &a, int &line)
{
    for (Py_ssize_t i = 0; i < f.nparams; ++i) {
        const param_spec &p = f.params[i];
        if (!p.numeric)
            continue;
        PyObject *obj = a.obj[i];
        if (obj == nullptr) {
            a.num[i] = p.fallback;
        } else if (PyFloat_CheckExact(obj)) {
            a.num[i] = PyFloat_AS_DOUBLE(obj);
        } else {
            a.num[i] = PyFloat_AsDouble(obj);
            if (a.num[i] == -1.0 && PyErr_Occurred()) {
                if (p.conversion_line != 0)
                    line = p.conversion_line;
                return -1;
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The function type

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const function_spec *spec;
    PyObject *const *param_names;
    PyObject *name;
    PyObject *doc;
    PyObject *code;
    PyObject *defaults;  // tuple or None; reported only, never read by a call
};

function_object *as_function(PyObject *self) { return reinterpret_cast<function_object *>(self); }

// Every call of every module function enters here.
PyObject *call_function(PyObject *self, PyObject *const *argv, size_t nargsf, PyObject *kwnames)
{
    const function_object *fn = as_function(self);
    const function_spec &f = *fn->spec;
    bound_args args;
    int line = f.line;
    PyObject *result = nullptr;
    if (bind_arguments(f, fn->param_names, argv, PyVectorcall_NARGS(nargsf), kwnames, args) == 0
        && convert_arguments(f, args, line) == 0)
        result = f.body(args, line);
    if (result == nullptr) {
        char entry[128];
        std::snprintf(entry, sizeof entry, "%s.%s", module_name, f.name);
        add_traceback_entry(entry, line);
    }
    return result;
}

PyObject *function_get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }

PyObject *function_get_module(PyObject *, void *) { return PyUnicode_FromString(module_name); }

PyObject *function_get_doc(PyObject *self, void *) { return Py_NewRef(as_function(self)->doc); }

PyObject *function_get_code(PyObject *self, void *) { return Py_NewRef(as_function(self)->code); }

PyObject *function_get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *function_get_defaults(PyObject *self, void *)
{
    PyObject *defaults;
    Py_BEGIN_CRITICAL_SECTION(self);
    defaults = Py_NewRef(as_function(self)->defaults);
    Py_END_CRITICAL_SECTION();
    return defaults;
}

// Like a Python function's: a tuple or None, and deleting means None. What an
// omitted argument means is fixed in the code and does not follow this.
int function_set_defaults(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr)
        value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    PyObject *old;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = as_function(self)->defaults;
    as_function(self)->defaults = Py_NewRef(value);
    Py_END_CRITICAL_SECTION();
    Py_DECREF(old);
    return 0;
}

// Pickled by reference, as module-level functions are: the name is looked up
// in __module__ on loading.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->name); }

PyObject *function_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<function %s.%U>", module_name, as_function(self)->name);
}

int function_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_function(self)->code);
    Py_VISIT(as_function(self)->defaults);
    return 0;
}

int function_clear(PyObject *self)
{
    Py_CLEAR(as_function(self)->code);
    Py_CLEAR(as_function(self)->defaults);
    return 0;
}

void function_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->doc);
    PyObject_GC_Del(self);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", function_get_name, nullptr, nullptr, nullptr},
    {"__module__", function_get_module, nullptr, nullptr, nullptr},
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A static type: its instances report __module__ through the getter above,
// which a heap type's own __module__ entry would shadow. No instances can be
// made from Python (no tp_new).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

int ready_function_type()
{
    if (function_type.tp_flags & Py_TPFLAGS_READY)
        return 0;
    function_type.tp_name = "vornet_core.function";
    function_type.tp_basicsize = sizeof(function_object);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    function_type.tp_vectorcall_offset = offsetof(function_object, vectorcall);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_repr = function_repr;
    function_type.tp_getset = function_getset;
    function_type.tp_methods = function_methods;
    return PyType_Ready(&function_type);
}

// A code object that lists the parameters and locals, so that introspection
// (inspect.signature) sees the function's true parameters.
PyObject *new_code_object(const function_spec &f)
{
    py_ref empty(reinterpret_cast<PyObject *>(PyCode_NewEmpty(source_file, f.name, f.line)));
    if (!empty)
        return nullptr;
    py_ref varnames(PyTuple_New(f.nparams + f.nlocals));
    if (!varnames)
        return nullptr;
    for (Py_ssize_t i = 0; i < f.nparams + f.nlocals; ++i) {
        const char *text = i < f.nparams ? f.params[i].name : f.locals[i - f.nparams];
        PyObject *name = PyUnicode_InternFromString(text);
        if (name == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    py_ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    py_ref changes(Py_BuildValue("{s:n,s:n,s:O,s:i}", "co_argcount", f.nparams, "co_nlocals",
                                 f.nparams + f.nlocals, "co_varnames", varnames.get(), "co_flags",
                                 CO_OPTIMIZED | CO_NEWLOCALS));
    if (!replace || !changes)
        return nullptr;
    py_ref no_args(PyTuple_New(0));
    if (!no_args)
        return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), changes.get());
}

PyObject *new_function(std::size_t row, PyObject *defaults)
{
    const function_spec &f = functions[row];
    py_ref code(new_code_object(f));
    if (!code)
        return nullptr;
    function_object *fn = PyObject_GC_New(function_object, &function_type);
    if (fn == nullptr)
        return nullptr;
    fn->vectorcall = call_function;
    fn->spec = &f;
    fn->param_names = param_names[row];
    fn->name = PyUnicode_InternFromString(f.name);
    fn->doc = PyUnicode_FromString(f.doc);
    fn->code = code.release();
    fn->defaults = Py_NewRef(defaults);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(fn));
    if (fn->name == nullptr || fn->doc == nullptr) {
        Py_DECREF(fn);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(fn);
}

// The fixed values of a row's optional parameters, as __defaults__ shows them.
PyObject *new_defaults_tuple(const function_spec &f)
{
    py_ref defaults(PyTuple_New(f.nparams - f.nrequired));
    if (!defaults)
        return nullptr;
    for (Py_ssize_t i = f.nrequired; i < f.nparams; ++i) {
        PyObject *value = PyFloat_FromDouble(f.params[i].fallback);
        if (value == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(defaults.get(), i - f.nrequired, value);
    }
    return defaults.release();
}

// ---------------------------------------------------------------------------
// Module initialisation

// Warns, as a RuntimeWarning, when the running interpreter's major.minor
// differs from the one the module was compiled for.
int check_runtime_version()
{
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)
        return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match",
                            major, minor);
}

// Creates `*slot` with `make` unless an earlier, failed initialisation did.
template <typename Make>
int create_once(PyObject *&slot, Make make)
{
    if (slot == nullptr)
        slot = make();
    return slot != nullptr ? 0 : -1;
}

int create_identifiers()
{
    for (int i = 0; i < id_count; ++i)
        if (create_once(identifiers[i], [i] { return PyUnicode_InternFromString(identifier_text[i]); }) < 0)
            return -1;
    if (create_once(code_call_obj, [] { return PyLong_FromLong(flag_call); }) < 0
        || create_once(code_put_obj, [] { return PyLong_FromLong(flag_put); }) < 0
        || create_once(dtype_kwnames, [] { return PyTuple_Pack(1, ident(id_dtype)); }) < 0)
        return -1;
    for (std::size_t row = 0; row < function_count; ++row) {
        for (Py_ssize_t i = 0; i < functions[row].nparams; ++i) {
            if (param_names[row][i] == nullptr) {
                param_names[row][i] = PyUnicode_InternFromString(functions[row].params[i].name);
                if (param_names[row][i] == nullptr)
                    return -1;
            }
        }
    }
    return 0;
}

// The types whose layout the module was compiled against: each must still be
// a type and no smaller than the headers say. Growth is accepted, with a
// warning for `type` and the scalar types.
struct expected_type {
    const char *module;
    const char *name;
    Py_ssize_t size;
    bool warn_if_larger;
};

const expected_type expected_types[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), true},
    {"numpy", "dtype", sizeof(PyArray_Descr), false},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), false},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), false},
    {"numpy", "ndarray", sizeof(PyArrayObject), false},
    {"numpy", "generic", sizeof(PyObject), true},
    {"numpy", "number", sizeof(PyObject), true},
    {"numpy", "integer", sizeof(PyObject), true},
    {"numpy", "signedinteger", sizeof(PyObject), true},
    {"numpy", "unsignedinteger", sizeof(PyObject), true},
    {"numpy", "inexact", sizeof(PyObject), true},
    {"numpy", "floating", sizeof(PyObject), true},
    {"numpy", "complexfloating", sizeof(PyObject), true},
    {"numpy", "flexible", sizeof(PyObject), true},
    {"numpy", "character", sizeof(PyObject), true},
    {"numpy", "ufunc", sizeof(PyUFuncObject), false},
};

int check_type(const expected_type &t)
{
    py_ref module(PyImport_ImportModule(t.module));
    if (!module)
        return -1;
    py_ref type(PyObject_GetAttrString(module.get(), t.name));
    if (!type)
        return -1;
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", t.module, t.name);
        return -1;
    }
    const Py_ssize_t size = reinterpret_cast<PyTypeObject *>(type.get())->tp_basicsize;
    static const char size_changed[] = "%.200s.%.200s size changed, may indicate binary "
                                       "incompatibility. Expected %zd from C header, got %zd "
                                       "from PyObject";
    if (size < t.size) {
        PyErr_Format(PyExc_ValueError, size_changed, t.module, t.name, t.size, size);
        return -1;
    }
    if (size > t.size && t.warn_if_larger)
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 0, size_changed, t.module, t.name, t.size,
                                size);
    return 0;
}

// The signature SciPy's capsule carries for its compiled brentq, which is
// also the capsule's name.
constexpr char brentq_signature[] =
    "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, double, "
    "void *, double, double, int, "
    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";

int import_brentq()
{
    static const char zeros_module[] = "scipy.optimize.cython_optimize._zeros";
    py_ref module(PyImport_ImportModule(zeros_module));
    if (!module)
        return -1;
    py_ref table(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!table)
        return -1;
    py_ref capsule(PyMapping_GetItemString(table.get(), "brentq"));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                     zeros_module, "function", "brentq");
        return -1;
    }
    if (!PyCapsule_IsValid(capsule.get(), brentq_signature)) {
        const char *actual = PyCapsule_CheckExact(capsule.get())
                                 ? PyCapsule_GetName(capsule.get())
                                 : Py_TYPE(capsule.get())->tp_name;
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", zeros_module, "brentq", brentq_signature,
                     actual != nullptr ? actual : "NULL");
        return -1;
    }
    void *entry = PyCapsule_GetPointer(capsule.get(), brentq_signature);
    if (entry == nullptr)
        return -1;
    bind_brentq(reinterpret_cast<brentq_fn>(entry));
    return 0;
}

// NumPy's native interface table. An Exception from NumPy's import facility
// (a missing module, a version or byte-order mismatch) becomes the ImportError
// below, with the original as its context.
int import_numpy_api()
{
    if (_import_array() >= 0)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject *exc = PyErr_GetRaisedException();
    PyException_SetContext(exc, cause);
    PyErr_SetRaisedException(exc);
    return -1;
}

// The steps of the exec step after the re-initialisation test. `line` is the
// module statement being run, 0 until a failure is worth a traceback entry.
int initialise(PyObject *module, int &line)
{
    PyObject *ns = PyModule_GetDict(module);
    py_ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(ns, "__builtins__", builtins.get()) < 0)
        return -1;
    // Kept, like the module, for the process (taken once, also across retries).
    if (builtins_namespace == nullptr)
        builtins_namespace = Py_NewRef(PyModule_GetDict(builtins.get()));

    if (check_runtime_version() < 0 || create_identifiers() < 0 || ready_function_type() < 0)
        return -1;

    line = 1;
    for (const expected_type &t : expected_types)
        if (check_type(t) < 0)
            return -1;
    if (import_brentq() < 0)
        return -1;

    line = 7;
    py_ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy || PyDict_SetItem(ns, ident(id_np), numpy.get()) < 0)
        return -1;
    line = 12;
    if (import_numpy_api() < 0)
        return -1;

    for (std::size_t row = 0; row < function_count; ++row) {
        const function_spec &f = functions[row];
        if (f.write_constants != nullptr)
            f.write_constants();
        py_ref defaults(Py_NewRef(Py_None));
        if (f.nrequired < f.nparams) {
            line = f.defaults_line;
            defaults.reset(new_defaults_tuple(f));
            if (!defaults)
                return -1;
        }
        line = f.line;
        py_ref fn(new_function(row, defaults.get()));
        if (!fn || PyDict_SetItemString(ns, f.name, fn.get()) < 0)
            return -1;
    }

    line = 1;
    py_ref test_dict(PyDict_New());
    if (!test_dict || PyDict_SetItemString(ns, "__test__", test_dict.get()) < 0)
        return -1;
    return 0;
}

// The module lives for the rest of the process once initialised: a later
// import (say after its sys.modules entry was removed) gets the same object
// back from module_create() and module_exec() then has nothing to do.
int module_exec(PyObject *module)
{
    PyObject *current = the_module.load();
    if (current != nullptr) {
        if (current == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'vornet_core' has already been imported. "
                                             "Re-initialisation is not supported.");
        return -1;
    }
    the_module.store(Py_NewRef(module));
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif

    int line = 0;
    if (initialise(module, line) == 0)
        return 0;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, init_entry_name);
    if (line != 0)
        add_traceback_entry(init_entry_name, line);
    // A failed initialisation leaves nothing behind: the next import starts over.
    the_module.store(nullptr);
    Py_DECREF(module);
    return -1;
}

// Copies spec.<attr> to module.<name>; a spec without the attribute (or, when
// `skip_none`, with None) leaves the module as it is.
int copy_spec_attribute(PyObject *spec, PyObject *module, const char *attr, const char *name,
                        bool skip_none)
{
    py_ref value(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None)
        return 0;
    return PyObject_SetAttrString(module, name, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *)
{
    // Only the first interpreter that loads the module may use it: its state
    // is process-wide.
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    std::int64_t owner = -1;
    if (!owner_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (PyObject *existing = the_module.load())
        return Py_NewRef(existing);

    py_ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    py_ref module(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0
        || copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0
        || copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0
        || copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true)
               < 0)
        return nullptr;
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vornet_core",
    "Barone-Adesi-Whaley (1987) American option pricer and IV solver.\n"
    "\n"
    "baw_price, baw_implied_vol, vectorized_baw_implied_vol and find_forward_baw run as compiled\n"
    "code, with loops that release the interpreter lock and SciPy's compiled brentq inside.\n",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vornet_core(void) { return PyModuleDef_Init(&module_def); }
