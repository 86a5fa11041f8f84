// Process-wide module state and lookups shared by every unit.
#pragma once

#include "names.hpp"
#include "../native/pricetape_api.h"
#include "pyref.hpp"

namespace qt {

// The module is loaded into one interpreter per process, so its state is
// process-wide rather than per module object.
struct ModuleState {
    PyObject* module;     // borrowed once set; the module object
    PyObject* dict;       // borrowed: the module's dictionary
    PyObject* builtins;   // owned
    PyObject* b_staticmethod;
    PyObject* b_OSError;
    PyObject* b_super;
    // constants
    PyObject* signal_names;          // ("SIGINT", "SIGTERM")
    PyObject* start_ticker_defaults;     // (False,)
    PyObject* start_websocket_defaults;  // (None, None, None)
    PyObject* closed_by_user_bytes;  // b"Connection closed by the user."
    PyObject* default_url;
    PyObject* kw_reconnect;       // ("reconnect",)
    PyObject* kw_instruments;     // ("instruments",)
    PyObject* kw_data;            // ("data",)
    PyObject* kw_timeout;         // ("timeout",)
    PyObject* kw_ws_connect;      // ws_connect's keyword names, in call order
    PyObject* empty_bytes;
    PyObject* empty_tuple;
    // base64.b64decode as imported, and binascii.a2b_base64, which it ends in:
    // for str/bytes input the two give the same result or error, so the quote
    // path calls the latter while the module global is still the original.
    PyObject* b64decode;
    PyObject* a2b_base64;
    // orjson.loads as imported: the quote path's native way is open only while
    // the module global's loads is still this one.
    PyObject* orjson_loads;
    // quotra._pricetape's C interface (static data of that module, which stays
    // loaded), or nullptr: then every quote goes the general way.
    const quotra_pricetape_api* pricetape_api;
    // picows classes, owned
    PyTypeObject* WSListener;  // the base of QuotraListner, which as a static type holds no reference to it
    PyTypeObject* WSTransport;
    PyTypeObject* WSFrame;
    PyObject* WSProtocolError;  // raised by a listener to close with a code of its own
};

extern ModuleState state;

// A module global, looked up at each use in the module dictionary, then in
// builtins; NameError "name '%U' is not defined" when missing.
Ref global(PyObject* name);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)" unless
// `obj` is an instance of `type` (None passes only when none_ok).
void check_arg_type(PyObject* obj, PyTypeObject* type, const char* argname, bool none_ok);

// True when `self`'s class is one whose methods Python code may override: a
// heap type, an abstract type or one with an instance dictionary.
inline bool may_override(PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    return (t->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) || t->tp_dictoffset != 0;
}

// For a native-table entry called with skip_dispatch = 0: the override of
// `name` found on `self`, or a null Ref when the lookup finds our own function
// `ours` (borrowed, the class dictionary's entry).
Ref find_override(PyObject* self, PyObject* name, PyObject* ours);

struct FunctionDef;

// Stores `value` under `name` in a static type's dictionary and invalidates the
// type's attribute cache.
void set_class_item(PyTypeObject* type, PyObject* name, PyObject* value);

// The slots of one of our classes: static, subclassable, garbage-collected.
struct ClassSlots {
    const char* name;
    Py_ssize_t basicsize;
    PyTypeObject* base;  // nullptr: object
    newfunc tp_new;
    initproc init;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
    PyGetSetDef* getset;
};

// Readies `type` once per process and says whether it did so now. An import
// that failed after this point leaves the type ready: setting its slots again
// would clear the ready flag and make PyType_Ready add slot wrappers for the
// slots it inherited the first time. A static type cannot change its base.
bool ready_class(PyTypeObject* type, const ClassSlots& slots);

// After PyType_Ready: publishes the native table as `__pyx_vtable__` and
// installs the pickling methods under their own names and as
// __reduce__/__setstate__.
void publish_class(PyTypeObject* type, void* vtable, const FunctionDef* reduce, const FunctionDef* setstate);

// Binds the arguments of an initialiser taking exactly `n` parameters named
// `names`, by position or keyword, with the module's argument errors.
void bind_init_args(PyObject* args, PyObject* kwds, const char* const* names, int n, PyObject** values);

}  // namespace qt
