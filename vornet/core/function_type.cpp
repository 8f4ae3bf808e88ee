#include "function_type.h"

#include <frameobject.h>

#include <cstddef>
#include <cstdio>

namespace vornet::core {

namespace {

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const function_def *def;
    PyObject *param_names[max_params];  // interned: keywords match by identity first
    PyObject *name;
    PyObject *doc;
    PyObject *globals;
    PyObject *code;
    PyObject *defaults;  // tuple or None; reported only, never read by a call
};

function_object *as_function(PyObject *self) { return reinterpret_cast<function_object *>(self); }

// ---------------------------------------------------------------------------
// Argument binding

void raise_count_error(const function_def &f, Py_ssize_t given)
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
    // Every function takes several arguments: the noun is always plural.
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.name, bound, expected, "s", given);
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
int bind_arguments(const function_def &f, PyObject *const *names, PyObject *const *argv,
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
int convert_arguments(const function_def &f, bound_args &a, int &line)
{
    for (Py_ssize_t i = 0; i < f.nparams; ++i) {
        const param_def &p = f.params[i];
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

// Every call of every module function enters here.
PyObject *call_function(PyObject *self, PyObject *const *argv, size_t nargsf, PyObject *kwnames)
{
    const function_object *fn = as_function(self);
    const function_def &f = *fn->def;
    bound_args args;
    args.globals = fn->globals;
    int line = f.line;
    PyObject *result = nullptr;
    if (bind_arguments(f, fn->param_names, argv, PyVectorcall_NARGS(nargsf), kwnames, args) == 0
        && convert_arguments(f, args, line) == 0)
        result = f.body(args, line);
    if (result == nullptr) {
        char entry[128];
        std::snprintf(entry, sizeof entry, "%s.%s", module_name, f.name);
        add_traceback_entry(entry, line, fn->globals);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Attributes and protocol

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
    Py_VISIT(as_function(self)->globals);
    Py_VISIT(as_function(self)->code);
    Py_VISIT(as_function(self)->defaults);
    return 0;
}

int function_clear(PyObject *self)
{
    Py_CLEAR(as_function(self)->globals);
    Py_CLEAR(as_function(self)->code);
    Py_CLEAR(as_function(self)->defaults);
    return 0;
}

void function_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    function_clear(self);
    function_object *fn = as_function(self);
    for (PyObject *&name : fn->param_names)
        Py_CLEAR(name);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->doc);
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
PyTypeObject function_type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vornet_core.function",
    .tp_basicsize = sizeof(function_object),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(function_object, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_methods = function_methods,
    .tp_getset = function_getset,
};

// A code object that lists the parameters and locals, so that introspection
// (inspect.signature) sees the function's true parameters.
PyObject *new_code_object(const function_def &f)
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

}  // namespace

void add_traceback_entry(const char *funcname, int line, PyObject *globals)
{
    PyObject *exc = PyErr_GetRaisedException();
    PyCodeObject *code = PyCode_NewEmpty(source_file, funcname, line);
    PyFrameObject *frame = nullptr;
    if (code != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    // Failing to build the entry must not replace the error being reported.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr)
        PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

int ready_function_type()
{
    if (function_type.tp_flags & Py_TPFLAGS_READY)
        return 0;
    return PyType_Ready(&function_type);
}

PyObject *new_function(const function_def &f, PyObject *module, PyObject *defaults)
{
    py_ref code(new_code_object(f));
    if (!code)
        return nullptr;
    function_object *fn = PyObject_GC_New(function_object, &function_type);
    if (fn == nullptr)
        return nullptr;
    fn->vectorcall = call_function;
    fn->def = &f;
    for (PyObject *&name : fn->param_names)
        name = nullptr;
    fn->name = PyUnicode_InternFromString(f.name);
    fn->doc = PyUnicode_FromString(f.doc);
    fn->globals = Py_NewRef(PyModule_GetDict(module));
    fn->code = code.release();
    fn->defaults = Py_NewRef(defaults);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(fn));
    py_ref owner(reinterpret_cast<PyObject *>(fn));
    if (fn->name == nullptr || fn->doc == nullptr)
        return nullptr;
    for (Py_ssize_t i = 0; i < f.nparams; ++i) {
        fn->param_names[i] = PyUnicode_InternFromString(f.params[i].name);
        if (fn->param_names[i] == nullptr)
            return nullptr;
    }
    return owner.release();
}

PyObject *new_defaults_tuple(const function_def &f)
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

}  // namespace vornet::core
