// Small helpers shared by the units of both classes: truth values, logging,
// checks of `self`, recognising our own methods and scheduling coroutines.
#pragma once

#include "layouts.hpp"
#include "module.hpp"

namespace qt {

inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// logger.<level>(text), through the module global `logger`.
inline void log(PyObject* level, PyObject* text) {
    Ref logger = global(S(logger));
    call_method(logger.get(), level, text);
}

// `self` of a method fetched from the class dictionary and called with an
// object of another type: the field accesses that follow would read foreign
// memory, so it is refused the way a method descriptor refuses it.
inline void check_self_type(PyObject* self, PyTypeObject* type, const char* fname) {
    if (PyObject_TypeCheck(self, type)) return;
    type_error("descriptor '%s' requires a '%s' object but received a '%.200s'", fname, type->tp_name,
               Py_TYPE(self)->tp_name);
}

inline Quotra* self_quotra(PyObject* self, const char* fname) {
    check_self_type(self, &QuotraType, fname);
    return as_quotra(self);
}

inline QuotraListner* self_listener(PyObject* self, const char* fname) {
    check_self_type(self, &QuotraListnerType, fname);
    return as_listener(self);
}

// Borrowed: our own function object for a method, as the class dictionary
// holds it; native-table entries compare against it to tell "not overridden".
inline PyObject* own_method(PyTypeObject* type, PyObject* name) { return PyDict_GetItemWithError(type->tp_dict, name); }

// loop.create_task(fn(*args)), create_task looked up first so that a loop
// without it fails before `fn`, often user code, runs. Returns the task.
template <class... A>
Ref schedule(PyObject* loop, PyObject* fn, A... args) {
    Ref create = getattr(loop, S(create_task));
    Ref coro = call(fn, args...);
    return call(create.get(), coro.get());
}

}  // namespace qt
