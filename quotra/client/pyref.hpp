// Owned references and the module's error discipline.
//
// Discipline: internal C++ code throws `PyError` to mean "a Python exception is
// set". Every boundary the interpreter or picows calls (type slots, vectorcall
// entries, native-table entries) translates it back with `boundary()`; no C++
// exception ever leaves through such a boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <utility>

namespace qt {

// Thrown when a Python exception is pending; carries nothing itself.
struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// Raisers: set a new exception (formats as PyErr_Format's) and throw.
#define QT_RAISER(name, exc_type)                         \
    [[noreturn]] inline void name(const char* fmt, ...) { \
        va_list va;                                       \
        va_start(va, fmt);                                \
        PyErr_FormatV(exc_type, fmt, va);                 \
        va_end(va);                                       \
        raise();                                          \
    }
QT_RAISER(type_error, PyExc_TypeError)
QT_RAISER(value_error, PyExc_ValueError)
QT_RAISER(runtime_error, PyExc_RuntimeError)
QT_RAISER(index_error, PyExc_IndexError)
QT_RAISER(import_error, PyExc_ImportError)
QT_RAISER(name_error, PyExc_NameError)
QT_RAISER(system_error, PyExc_SystemError)
QT_RAISER(attribute_error, PyExc_AttributeError)
#undef QT_RAISER

// KeyError(key), the key kept whole even when it is a tuple.
[[noreturn]] inline void key_error(PyObject* key) {
    PyObject* args = PyTuple_Pack(1, key);
    if (args) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
    }
    raise();
}

// Raises `type` with `value` as its argument.
[[noreturn]] inline void raise_object(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    raise();
}

// Owns one strong reference (or none).
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes over a new reference.
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

// A new reference from a call that returns NULL with an exception set on failure.
inline Ref own(PyObject* p) {
    if (!p) raise();
    return Ref::steal(p);
}

inline int check(int r) {
    if (r < 0) raise();
    return r;
}

// A new reference to a borrowed one.
inline Ref newref(PyObject* p) noexcept { return Ref::steal(Py_XNewRef(p)); }

// Replaces the object held by a field (an owned PyObject* member), releasing the
// old value only after the new one is in place: the old value's destructor may
// run Python code that looks at the field.
inline void set_field(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    field = Py_NewRef(value);
    Py_XDECREF(old);
}

// A setter of a str attribute stored in `field`, in the C-API convention:
// TypeError "<attr> must be set to a string object" for anything else
// (deleting included).
inline int set_str_field(PyObject*& field, PyObject* value, const char* attr) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    set_field(field, value);
    return 0;
}

// Runs `f` at an interpreter-facing boundary, mapping PyError to the C-API
// convention. `fail` is the value returned when a Python exception is pending.
template <class R, class F>
inline R boundary(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (const PyError&) {
        return fail;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail;
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quotra: unexpected C++ exception");
        return fail;
    }
}

// Vectorcall helpers: no temporary tuples.
inline Ref call(PyObject* f) { return own(PyObject_CallNoArgs(f)); }
inline Ref call(PyObject* f, PyObject* a) { return own(PyObject_CallOneArg(f, a)); }
template <class... A>
inline Ref call(PyObject* f, A... a) {
    PyObject* args[] = {nullptr, a...};
    return own(PyObject_Vectorcall(f, args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Call with positional arguments then keyword values named by `kwnames` (a tuple).
template <class... A>
inline Ref call_kw(PyObject* f, size_t npos, PyObject* kwnames, A... a) {
    PyObject* args[] = {nullptr, a...};
    return own(PyObject_Vectorcall(f, args + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
template <class... A>
inline Ref call_method(PyObject* self, PyObject* name, A... a) {
    PyObject* args[] = {self, a...};
    return own(PyObject_VectorcallMethod(name, args, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref getattr(PyObject* o, PyObject* name) { return own(PyObject_GetAttr(o, name)); }

// Borrowed: d[key] of a dict; KeyError when it is missing.
inline PyObject* dict_item(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (v) return v;
    if (PyErr_Occurred()) raise();
    key_error(key);
}

}  // namespace qt

// Defines a static type object with only its header initialised; its slots are
// filled in at module execution (C++ has no designated initialisers after the
// header macro), so the missing-initialiser warning does not apply here.
#define QT_STATIC_TYPE(name)                                                                          \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"") \
        PyTypeObject name = {PyVarObject_HEAD_INIT(nullptr, 0)};                                      \
    _Pragma("GCC diagnostic pop")
