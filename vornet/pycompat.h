// The few interpreter interfaces used here that older CPython releases lack,
// written in terms of what those releases have. On 3.13 and later (and on the
// free-threaded build) the interpreter's own definitions are used.
#ifndef VORNET_PYCOMPAT_H
#define VORNET_PYCOMPAT_H

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
static inline PyObject *PyErr_GetRaisedException(void)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == NULL)
        return NULL;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != NULL)
        PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

static inline void PyErr_SetRaisedException(PyObject *exc)
{
    if (exc == NULL) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef((PyObject *)Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
static inline int PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result)
{
    PyObject *item = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(item);
    if (item != NULL)
        return 1;
    return PyErr_Occurred() ? -1 : 0;
}

static inline PyObject *PyList_GetItemRef(PyObject *list, Py_ssize_t index)
{
    return Py_XNewRef(PyList_GetItem(list, index));
}

#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

#endif
