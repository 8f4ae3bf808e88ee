// The function objects of vornet.vornet_core.
//
// Each module function is described by one function_def row: its name,
// docstring, parameters (param_def rows, like CPython's PyMethodDef tables)
// and body. Every call goes through one binder, which fills a bound_args
// record by the rules of Python's own functions (positional, then keywords,
// then the fixed values of omitted optional parameters), converts the
// numeric parameters to doubles and runs the body. A failure anywhere adds
// one traceback entry, in one place: the function's name and the source
// line the failing step reports.
#ifndef VORNET_CORE_FUNCTION_TYPE_H
#define VORNET_CORE_FUNCTION_TYPE_H

#include "../capi.h"

namespace vornet::core {

// Where the module's traceback entries and code objects say they come from.
inline constexpr char module_name[] = "vornet.vornet_core";
inline constexpr char source_file[] = "vornet/vornet_core";

inline constexpr Py_ssize_t max_params = 6;

struct param_def {
    const char *name;
    bool numeric;         // converted to a double after binding
    bool optional;        // may be omitted; then it takes `fallback`
    double fallback;      // the value of an omitted parameter, fixed in the code
    int conversion_line;  // where a failed conversion is reported; 0: the definition line
};

constexpr param_def number(const char *name) { return {name, true, false, 0.0, 0}; }
constexpr param_def object(const char *name) { return {name, false, false, 0.0, 0}; }
constexpr param_def optional_number(const char *name, double fallback, int line)
{
    return {name, true, true, fallback, line};
}

// The arguments of one call after binding: borrowed objects (NULL for an
// omitted optional parameter), the doubles of the numeric parameters, and
// the namespace of the module the function belongs to.
struct bound_args {
    PyObject *obj[max_params];
    double num[max_params];
    PyObject *globals;
};

// A function body: runs after binding and conversion; on failure returns NULL
// with an exception set and `line` naming the failing step.
using body_fn = PyObject *(*)(const bound_args &args, int &line);

struct function_def {
    const char *name;
    const char *doc;
    int line;                 // line of the definition
    Py_ssize_t nparams;
    Py_ssize_t nrequired;     // the first nrequired parameters have no default
    const param_def *params;
    Py_ssize_t nlocals;       // locals beyond the parameters, listed by __code__
    const char *const *locals;
    body_fn body;
    int defaults_line;        // line of the default tuple, when there is one
};

// Adds one entry `funcname` at `source_file:line` to the exception being
// raised: a frame over `globals` running an empty code object.
void add_traceback_entry(const char *funcname, int line, PyObject *globals);

// Readies the static function type; safe to call again after a failure.
int ready_function_type();

// A new function object for `def`, belonging to `module` (its globals are the
// module's namespace), with `defaults` (a tuple or None) as __defaults__.
PyObject *new_function(const function_def &def, PyObject *module, PyObject *defaults);

// The tuple of the fixed values of `def`'s optional parameters.
PyObject *new_defaults_tuple(const function_def &def);

}  // namespace vornet::core

#endif
