// For the modules built beside the client from its headers (quotra._monitor,
// quotra._quiet): they reach into its objects through layouts.hpp, so each
// holds the client type in its module state, found at import through
// quotra.quotra.Quotra and refused when its size is not the one these headers
// give (another build's client would be read through the wrong layout).
#pragma once

#include <cstring>

#include "layouts.hpp"

namespace qt {

struct ClientTypeState {
    PyObject* client_type;  // quotra.quotra.Quotra (owned)
};

inline ClientTypeState* client_type_state(PyObject* module) {
    return static_cast<ClientTypeState*>(PyModule_GetState(module));
}

inline PyTypeObject* client_type_of(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(client_type_state(module)->client_type);  // borrowed
}

// Finds the client type and keeps it in the module's state: 0, or -1 with an
// ImportError naming `module_name` when it does not match these headers.
inline int hold_client_type(PyObject* module, const char* module_name) {
    PyObject* client_module = PyImport_ImportModule("quotra.quotra");
    if (!client_module) return -1;
    PyObject* type = PyObject_GetAttrString(client_module, "Quotra");
    Py_DECREF(client_module);
    if (!type) return -1;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (!PyType_Check(type) || std::strcmp(t->tp_name, "quotra.quotra.Quotra") != 0 ||
        t->tp_basicsize != static_cast<Py_ssize_t>(sizeof(Quotra))) {
        Py_DECREF(type);
        PyErr_Format(PyExc_ImportError,
                     "%s does not match quotra.quotra (built from other sources?): rebuild the package", module_name);
        return -1;
    }
    client_type_state(module)->client_type = type;
    return 0;
}

inline int client_type_traverse(PyObject* module, visitproc visit, void* arg) {
    ClientTypeState* st = client_type_state(module);
    if (st) Py_VISIT(st->client_type);
    return 0;
}

inline int client_type_clear(PyObject* module) {
    ClientTypeState* st = client_type_state(module);
    if (st) Py_CLEAR(st->client_type);
    return 0;
}

inline void client_type_free(void* module) { client_type_clear(static_cast<PyObject*>(module)); }

}  // namespace qt
