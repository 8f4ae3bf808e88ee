// vornet.vornet_core: the module itself. Its initialisation checks the
// interpreter and NumPy it runs with, binds SciPy's compiled root finder and
// NumPy's native interface, and creates the four functions (core/functions.cpp)
// as objects of the module's function type (core/function_type.cpp).
//
// All state is process-wide: the module is made once, by the first
// interpreter that imports it, and lives until the process ends. A failed
// initialisation leaves nothing behind, so that a later import starts over.

#include "capi.h"

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <atomic>
#include <cstdint>

#include "core/function_type.h"
#include "core/functions.h"
#include "numerics/root_finder.h"

namespace {

using namespace vornet;
using namespace vornet::core;

constexpr char init_entry_name[] = "init vornet.vornet_core";

// The module (a strong reference, never released once initialised) and the
// interpreter it belongs to: both set when the exec step starts, and cleared
// again if it fails.
std::atomic<PyObject *> the_module{nullptr};
std::atomic<std::int64_t> owner_interpreter{-1};

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

    if (check_runtime_version() < 0
        || create_function_constants(PyModule_GetDict(builtins.get())) < 0
        || ready_function_type() < 0)
        return -1;

    line = 1;
    for (const expected_type &t : expected_types)
        if (check_type(t) < 0)
            return -1;
    if (import_brentq() < 0)
        return -1;

    line = 7;
    py_ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy || PyDict_SetItemString(ns, "np", numpy.get()) < 0)
        return -1;
    line = 12;
    if (import_numpy_api() < 0)
        return -1;

    for (std::size_t row = 0; row < function_count; ++row) {
        const function_def &f = functions[row];
        py_ref defaults(Py_NewRef(Py_None));
        if (f.nrequired < f.nparams) {
            line = f.defaults_line;
            defaults.reset(new_defaults_tuple(f));
            if (!defaults)
                return -1;
        }
        line = f.line;
        py_ref fn(new_function(f, module, defaults.get()));
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
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred())
        return -1;
    the_module.store(Py_NewRef(module));
    owner_interpreter.store(id);
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif

    int line = 0;
    if (initialise(module, line) == 0)
        return 0;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, init_entry_name);
    if (line != 0)
        add_traceback_entry(init_entry_name, line, PyModule_GetDict(module));
    // A failed initialisation leaves nothing behind: the next import, from
    // this interpreter or another, starts over.
    owner_interpreter.store(-1);
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
    // Only the interpreter that initialised the module (or is initialising it)
    // may use it: its state is process-wide.
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    const std::int64_t owner = owner_interpreter.load();
    if (owner != -1 && owner != id) {
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
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vornet_core",
    .m_doc =
        "Barone-Adesi-Whaley (1987) American option pricer and IV solver.\n"
        "\n"
        "baw_price, baw_implied_vol, vectorized_baw_implied_vol and find_forward_baw run as "
        "compiled\n"
        "code, with loops that release the interpreter lock and SciPy's compiled brentq inside.\n",
    .m_size = 0,
    .m_slots = module_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_vornet_core(void) { return PyModuleDef_Init(&module_def); }
