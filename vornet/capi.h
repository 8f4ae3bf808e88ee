// C-API helpers shared by the package's compiled modules: an owned
// reference, a guard that detaches the thread from the interpreter, memory
// a call owns, typed one-dimensional views of array buffers, and the binding
// of SciPy's compiled root finder.
#ifndef VORNET_CAPI_H
#define VORNET_CAPI_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "numerics/root_finder.h"
#include "pycompat.h"

namespace vornet {

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

// Creates `*slot` with `make` unless an earlier, failed initialisation did:
// module state that outlives a failed import is made only once.
template <typename Make>
int create_once(PyObject *&slot, Make make)
{
    if (slot == nullptr)
        slot = make();
    return slot != nullptr ? 0 : -1;
}

// Detaches the calling thread from the interpreter for its scope: no Python
// object may be touched meanwhile.
class detached_thread {
  public:
    detached_thread() noexcept : state_(PyEval_SaveThread()) {}
    detached_thread(const detached_thread &) = delete;
    detached_thread &operator=(const detached_thread &) = delete;
    ~detached_thread() { PyEval_RestoreThread(state_); }

    // Attaches the thread for a moment to run the handlers of the signals
    // that arrived (only the main thread of the main interpreter runs them):
    // -1 when one raised, its exception (KeyboardInterrupt for Ctrl-C) then
    // set for the thread, which the caller finds once the guard has gone.
    int check_signals() noexcept
    {
        PyEval_RestoreThread(state_);
        const int result = PyErr_CheckSignals();
        state_ = PyEval_SaveThread();
        return result;
    }

  private:
    PyThreadState *state_;
};

// `count` elements of T in memory that belongs to the call alone: no Python
// code can free or resize it, so a loop running detached may read it.
template <typename T>
class owned_array {
  public:
    owned_array() = default;
    owned_array(const owned_array &) = delete;
    owned_array &operator=(const owned_array &) = delete;
    ~owned_array() { PyMem_RawFree(data_); }

    // MemoryError when the allocation fails.
    int allocate(Py_ssize_t count)
    {
        const std::size_t bytes = static_cast<std::size_t>(count > 0 ? count : 1) * sizeof(T);
        data_ = static_cast<T *>(PyMem_RawMalloc(bytes));
        if (data_ == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    T *data() const noexcept { return data_; }

  private:
    T *data_ = nullptr;
};

template <typename T>
struct element_format;
template <>
struct element_format<double> {
    static constexpr char code = 'd';
    static constexpr const char *name = "double";
};
template <>
struct element_format<bool> {
    static constexpr char code = '?';
    static constexpr const char *name = "bool";
};
template <>
struct element_format<std::int32_t> {
    static constexpr char code = 'i';
    static constexpr const char *name = "int";
};
// 'q' (long long), or 'l' where long has 64 bits (NumPy's int64 on LP64).
template <>
struct element_format<std::int64_t> {
    static constexpr char code = 'q';
    static constexpr char alternate = sizeof(long) == 8 ? 'l' : 'q';
    static constexpr const char *name = "int64";
};

// A struct-module format of one element of type `code` in native layout.
inline bool format_is(const char *format, char code)
{
    if (format == nullptr)
        return false;
    if (*format == '@' || *format == '=' || *format == (PY_LITTLE_ENDIAN ? '<' : '>'))
        ++format;
    return format[0] == code && format[1] == '\0';
}

// A format of one T: its code, or the other spelling of the same type.
template <typename T>
bool format_matches(const char *format)
{
    if (format_is(format, element_format<T>::code))
        return true;
    if constexpr (requires { element_format<T>::alternate; })
        return format_is(format, element_format<T>::alternate);
    return false;
}

// A one-dimensional view of T elements over an object's buffer, held (and
// the object with it) until the view goes out of scope. Elements are read
// and written as T, by stride; contiguous memory is copied in one block,
// which also serves a buffer that is not aligned for T.
//
// The memory behind a view is the exporter's: Python code that runs while
// the view is held may free it (an ndarray's __setstate__ does), so read it
// only before any such code can run, or copy it out first (copy_to).
template <typename T>
class array_view {
  public:
    array_view() = default;
    array_view(const array_view &) = delete;
    array_view &operator=(const array_view &) = delete;
    ~array_view() { release(); }

    // `flags`: PyBUF_STRIDES (any layout) or PyBUF_C_CONTIGUOUS (which
    // implies strides), with
    // PyBUF_WRITABLE for a view that may be written. A view acquired twice
    // lets go of the first buffer.
    int acquire(PyObject *obj, int flags)
    {
        release();
        if (PyObject_GetBuffer(obj, &buffer_, flags | PyBUF_FORMAT) < 0)
            return -1;
        held_ = true;
        if (buffer_.ndim != 1) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected 1, got %d)",
                         buffer_.ndim);
            return -1;
        }
        if (!format_matches<T>(buffer_.format)
            || buffer_.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'",
                         element_format<T>::name,
                         buffer_.format != nullptr ? buffer_.format : "B");
            return -1;
        }
        size_ = buffer_.shape[0];
        stride_ = buffer_.strides[0];  // every request above asks for strides
        // Element-wise access needs aligned elements; only a contiguous view,
        // copied as a block, may sit anywhere.
        const auto misaligned = [](std::uintptr_t x) { return x % alignof(T) != 0; };
        if (!contiguous()
            && (misaligned(reinterpret_cast<std::uintptr_t>(buffer_.buf))
                || misaligned(static_cast<std::uintptr_t>(stride_)))) {
            PyErr_Format(PyExc_ValueError, "Buffer is not aligned for '%s'",
                         element_format<T>::name);
            return -1;
        }
        return 0;
    }

    void release() noexcept
    {
        if (held_)
            PyBuffer_Release(&buffer_);
        held_ = false;
    }

    Py_ssize_t size() const noexcept { return size_; }
    bool contiguous() const noexcept { return stride_ == static_cast<Py_ssize_t>(sizeof(T)); }
    Py_ssize_t stride() const noexcept { return stride_; }

    // The first n elements into dest (n <= size()).
    void copy_to(T *dest, Py_ssize_t n) const noexcept
    {
        if (contiguous()) {
            if (n > 0)
                std::memcpy(dest, buffer_.buf, static_cast<std::size_t>(n) * sizeof(T));
            return;
        }
        const char *src = static_cast<const char *>(buffer_.buf);
        for (Py_ssize_t i = 0; i < n; ++i, src += stride_)
            dest[i] = *reinterpret_cast<const T *>(src);
    }

    // src[0..n) into the first n elements (n <= size(); a writable view).
    void copy_from(const T *src, Py_ssize_t n) const noexcept
    {
        if (contiguous()) {
            if (n > 0)
                std::memcpy(buffer_.buf, src, static_cast<std::size_t>(n) * sizeof(T));
            return;
        }
        char *dest = static_cast<char *>(buffer_.buf);
        for (Py_ssize_t i = 0; i < n; ++i, dest += stride_)
            *reinterpret_cast<T *>(dest) = src[i];
    }

  private:
    Py_buffer buffer_{};
    Py_ssize_t size_ = 0;
    Py_ssize_t stride_ = 0;
    bool held_ = false;
};

// Float64 inputs and the options' sides, all of one length n, copied into
// memory the call owns, so that a loop running detached may read them
// whatever Python code does to the callers' buffers. An input with a zero
// stride (NumPy's broadcast of one value) is kept as that one value, read
// with step 0, unless the caller asks for every column in full: element i of
// column j is column(j)[i * step(j)], and the side of option i is
// side_data()[i * side_step()].
struct owned_columns {
    static constexpr int max_count = 8;

    // share: a broadcast input stays one element; expand: every column and
    // the sides have n contiguous elements.
    enum class broadcasts { share, expand };

    owned_array<double> columns[max_count];
    Py_ssize_t steps[max_count] = {};
    owned_array<bool> sides;
    Py_ssize_t sides_step = 1;
    Py_ssize_t n = 0;

    const double *column(int j) const noexcept { return columns[j].data(); }
    Py_ssize_t step(int j) const noexcept { return steps[j]; }
    const bool *side_data() const noexcept { return sides.data(); }
    Py_ssize_t side_step() const noexcept { return sides_step; }

    // `inputs` one-dimensional float64 buffers named `names` (count of them,
    // at most max_count), `is_call` a bool buffer, any layout; a ValueError
    // names the function and the input whose length differs from the sides'.
    int copy(const char *function, PyObject *const *inputs, const char *const *names, int count,
             PyObject *is_call, broadcasts mode = broadcasts::share)
    {
        if (count < 0 || count > max_count) {
            PyErr_Format(PyExc_SystemError, "%s(): %d input columns, at most %d", function,
                         count, max_count);
            return -1;
        }
        array_view<bool> side_view;
        if (side_view.acquire(is_call, PyBUF_STRIDES) < 0)
            return -1;
        n = side_view.size();
        if (take(side_view, sides, sides_step, mode) < 0)
            return -1;
        side_view.release();
        for (int j = 0; j < count; ++j) {
            array_view<double> column;
            if (column.acquire(inputs[j], PyBUF_STRIDES) < 0)
                return -1;
            if (column.size() != n) {
                PyErr_Format(PyExc_ValueError, "%s(): %s has %zd elements, is_call has %zd",
                             function, names[j], column.size(), n);
                return -1;
            }
            if (take(column, columns[j], steps[j], mode) < 0)
                return -1;
        }
        return 0;
    }

  private:
    // The view's n elements into `copy`, or its one repeated element.
    template <typename T>
    int take(const array_view<T> &view, owned_array<T> &copy, Py_ssize_t &step, broadcasts mode)
    {
        const bool one_value = mode == broadcasts::share && n > 1 && view.stride() == 0;
        const Py_ssize_t count = one_value ? 1 : n;
        if (copy.allocate(count) < 0)
            return -1;
        view.copy_to(copy.data(), count);
        step = one_value ? 0 : 1;
        return 0;
    }
};

// Binds SciPy's compiled brentq, taken from its module's capsule table.
inline int import_brentq()
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
    if (!PyCapsule_IsValid(capsule.get(), brentq_capsule_name)) {
        const char *actual = PyCapsule_CheckExact(capsule.get())
                                 ? PyCapsule_GetName(capsule.get())
                                 : Py_TYPE(capsule.get())->tp_name;
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", zeros_module, "brentq", brentq_capsule_name,
                     actual != nullptr ? actual : "NULL");
        return -1;
    }
    void *entry = PyCapsule_GetPointer(capsule.get(), brentq_capsule_name);
    if (entry == nullptr)
        return -1;
    bind_brentq(reinterpret_cast<brentq_fn>(entry));
    return 0;
}

}  // namespace vornet

#endif
