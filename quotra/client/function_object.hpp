// Between the function type's calling and set-up (native_function.cpp) and
// its Python attributes (function_attributes.cpp).
#pragma once

#include "native_function.hpp"

namespace qt {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;  // borrowed: function definitions are static
    Py_ssize_t nparams;
    bool has_closure;        // a closure was given; it is gone only after tp_clear
    PyObject* closure;
    PyObject* defaults;      // tuple, or nullptr for None
    PyObject* kwdefaults;    // dict, or nullptr for None
    PyObject* annotations;   // dict, or nullptr until first asked for
    PyObject* type_params;   // tuple
    PyObject* module;        // any object, nullptr for None
    PyObject* name;          // str
    PyObject* qualname;      // str
    PyObject* doc;           // any object, nullptr for None
    PyObject* dict;
    PyObject* weakreflist;
};

inline Function* as_fn(PyObject* o) noexcept { return reinterpret_cast<Function*>(o); }

extern PyGetSetDef function_getset[];
extern PyMethodDef function_methods[];

}  // namespace qt
