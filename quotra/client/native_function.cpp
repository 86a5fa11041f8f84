// The module's function type. Every method and nested function of the module
// is one of these, so they must pass for Python functions wherever Python code
// looks at them: descriptors that bind self, the attributes functools.wraps
// copies (function_attributes.cpp), inspect.signature() and the
// coroutine-function mark. Here: binding the arguments of a call, the type's
// slots and making a function.
#include "function_object.hpp"

#include "names.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace qt {

namespace {

// inspect._is_coroutine_mark, fetched on first use and kept for the process:
// inspect.iscoroutinefunction() compares by identity.
PyObject* coroutine_mark = nullptr;

PyObject* get_coroutine_mark() {
    if (!coroutine_mark) {
        Ref inspect = own(PyImport_Import(S(inspect)));
        coroutine_mark = getattr(inspect.get(), S(_is_coroutine_mark)).release();
    }
    return coroutine_mark;
}

// The name used in argument errors: the current __name__ (functools.wraps may
// have changed it), else the definition's.
const char* display_name(Function* f) noexcept {
    const char* s = PyUnicode_AsUTF8(f->name);
    if (!s) {
        PyErr_Clear();
        s = f->def->name;
    }
    return s;
}

[[noreturn]] void arg_count_error(Function* f, Py_ssize_t nmin, Py_ssize_t nmax, Py_ssize_t given, bool exact) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < nmin) {
        expected = nmin;
        more_or_less = "at least";
    } else {
        expected = nmax;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    type_error("%.200s() takes %.8s %zd positional argument%.1s (%zd given)", display_name(f), more_or_less, expected,
               expected == 1 ? "" : "s", given);
}

// Index of the parameter named `key`, or -1. Compared as UTF-8 so that no
// parameter-name objects need to exist; the length check stops "a\0b" from
// matching "a".
Py_ssize_t find_param(const FunctionDef* def, Py_ssize_t nparams, PyObject* key) noexcept {
    Py_ssize_t len;
    const char* s = PyUnicode_AsUTF8AndSize(key, &len);
    if (!s) {
        // Not encodable (lone surrogates): cannot be one of our names.
        PyErr_Clear();
        return -1;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        const char* p = def->params[i];
        if (std::strlen(p) == static_cast<size_t>(len) && std::memcmp(p, s, len) == 0) return i;
    }
    return -1;
}

PyObject* bind_and_call(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FunctionDef* def = f->def;
    const Py_ssize_t np = f->nparams;

    if (f->has_closure && !f->closure) runtime_error("%.200s() called after it was cleared", display_name(f));
    // The impl may run code that replaces __defaults__; the values bound from
    // the old tuple must stay alive until it returns.
    Ref defaults = newref(f->defaults);
    const Py_ssize_t ndefaults_all = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t ndefaults = std::min(ndefaults_all, np);  // only the tail applies
    const Py_ssize_t nrequired = np - ndefaults;
    const bool exact = nrequired == np && !def->varargs;

    if (nargs > np && !def->varargs) arg_count_error(f, nrequired, np, nargs, exact);

    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** bound = small;
    if (np > 8) {
        large.assign(np, nullptr);
        bound = large.data();
    } else {
        std::fill(small, small + 8, nullptr);
    }

    const Py_ssize_t npos = std::min(nargs, np);
    for (Py_ssize_t i = 0; i < npos; ++i) bound[i] = args[i];

    Ref varargs;
    if (def->varargs) {
        if (nargs > np) {
            varargs = own(PyTuple_New(nargs - np));
            for (Py_ssize_t i = np; i < nargs; ++i) PyTuple_SET_ITEM(varargs.get(), i - np, Py_NewRef(args[i]));
        } else {
            varargs = own(PyTuple_New(0));
        }
    }
    Ref varkw;
    if (def->varkw) varkw = own(PyDict_New());

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);  // borrowed
            PyObject* value = args[nargs + k];             // borrowed
            if (!PyUnicode_Check(key)) type_error("%s() keywords must be strings", display_name(f));
            const Py_ssize_t idx = find_param(def, np, key);
            if (idx >= 0) {
                if (bound[idx]) {
                    type_error("%s() got multiple values for keyword argument '%U'", display_name(f), key);
                }
                bound[idx] = value;
            } else if (varkw) {
                PyObject* prev = nullptr;
                int r = PyDict_SetDefaultRef(varkw.get(), key, value, &prev);
                Py_XDECREF(prev);
                check(r);
                if (r == 1) {
                    type_error("%s() got multiple values for keyword argument '%U'", display_name(f), key);
                }
            } else {
                type_error("%s() got an unexpected keyword argument '%U'", display_name(f), key);
            }
        }
    }

    for (Py_ssize_t i = npos; i < np; ++i) {
        if (bound[i]) continue;
        if (i < nrequired) arg_count_error(f, nrequired, np, i, exact);
        bound[i] = PyTuple_GET_ITEM(defaults.get(), ndefaults_all - (np - i));
    }

    return def->impl(reinterpret_cast<PyObject*>(f), bound, varargs.get(), varkw.get());
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr,
                               [&] { return bind_and_call(as_fn(self), args, PyVectorcall_NARGS(nargsf), kwnames); });
}

// ---- type slots -----------------------------------------------------------

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_fn(self);
    Py_VISIT(f->closure);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->type_params);
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    return 0;
}

// Name and qualname stay: they are strings (never part of a cycle) and the
// repr and argument errors rely on them.
int fn_clear(PyObject* self) noexcept {
    Function* f = as_fn(self);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject* self) noexcept {
    Function* f = as_fn(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
}

}  // namespace

namespace {

// Filled field by field: an aggregate initializer would have to name every
// slot of PyTypeObject to build cleanly under -Wextra.
PyTypeObject make_function_type() noexcept {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "quotra_function";
    t.tp_doc = "A function of the quotra module.";
    t.tp_basicsize = sizeof(Function);
    // METHOD_DESCRIPTOR: __get__ is exactly PyMethod_New, so the interpreter
    // may call f(obj, ...) instead of making the bound method.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dealloc = fn_dealloc;
    t.tp_repr = fn_repr;
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_weaklistoffset = offsetof(Function, weakreflist);
    t.tp_dictoffset = offsetof(Function, dict);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = fn_descr_get;
    return t;
}

}  // namespace

PyTypeObject FunctionType = make_function_type();

int function_type_ready() { return PyType_Ready(&FunctionType); }

Ref function_new(const FunctionDef* def, PyObject* closure, PyObject* defaults, PyObject* annotations) {
    if (defaults == Py_None) defaults = nullptr;
    if (annotations == Py_None) annotations = nullptr;
    if (defaults && !PyTuple_Check(defaults)) type_error("function defaults must be a tuple");
    if (annotations && !PyDict_Check(annotations)) type_error("function annotations must be a dict");
    Py_ssize_t nparams = 0;
    if (def->params)
        while (def->params[nparams]) ++nparams;

    Ref name = own(PyUnicode_InternFromString(def->name));
    Ref qualname = own(PyUnicode_FromString(def->qualname ? def->qualname : def->name));
    Ref doc = def->doc ? own(PyUnicode_FromString(def->doc)) : Ref();
    // Each function owns its annotations, as each `def` statement makes a new
    // dict: callers may share one prepared dict between functions.
    Ref ann = annotations ? own(PyDict_Copy(annotations)) : Ref();
    Ref type_params = own(PyTuple_New(0));
    Ref dict;
    if (def->coroutine) {
        // What inspect.markcoroutinefunction() sets; asyncio.iscoroutinefunction()
        // goes through inspect's check.
        dict = own(PyDict_New());
        check(PyDict_SetItem(dict.get(), S(_is_coroutine_marker), get_coroutine_mark()));
    }

    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) raise();
    f->vectorcall = fn_vectorcall;
    f->def = def;
    f->nparams = nparams;
    f->has_closure = closure != nullptr;
    f->closure = Py_XNewRef(closure);
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = ann.release();
    f->type_params = type_params.release();
    f->module = Py_NewRef(S(quotra_quotra));
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->dict = dict.release();
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

PyObject* function_closure(PyObject* func) noexcept {
    if (!func || !Py_IS_TYPE(func, &FunctionType)) return nullptr;
    return as_fn(func)->closure;
}

}  // namespace qt
