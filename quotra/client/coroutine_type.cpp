// The Python face of the module's coroutine object: the slots and methods
// asyncio and Python code use (am_send, tp_iternext, send/throw/close), its
// attributes, GC support and finalisation, and the type object itself. The
// stepping they drive is in native_coroutine.cpp.
#include "coroutine_engine.hpp"

namespace qt {

namespace {

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) noexcept {
    return coro_send_ex(as_coro(self), arg, out);
}

PyObject* coro_iternext(PyObject* self) noexcept {
    PyObject* res = nullptr;
    PySendResult r = coro_send_ex(as_coro(self), Py_None, &res);
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) {
        // iternext's convention: NULL without an exception means "returned None".
        if (res != Py_None) set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

PyObject* result_for_caller(PySendResult r, PyObject* res) noexcept {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) {
        set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* value) noexcept {
    PyObject* res = nullptr;
    PySendResult r = coro_send_ex(as_coro(self), value, &res);
    return result_for_caller(r, res);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    PyObject* exc = exception_from_args(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    if (!exc) return nullptr;
    PyObject* res = nullptr;
    PySendResult r = coro_throw_ex(as_coro(self), exc, &res);
    return result_for_caller(r, res);
}

PyObject* coro_close(PyObject* self, PyObject*) noexcept { return coro_close_ex(as_coro(self)); }

PyObject* coro_await(PyObject* self) noexcept { return Py_NewRef(self); }

PyObject* coro_get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_coro(self)->name); }
int coro_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_field(as_coro(self)->name, value, "__name__");
}
PyObject* coro_get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_coro(self)->qualname); }
int coro_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_field(as_coro(self)->qualname, value, "__qualname__");
}
PyObject* coro_get_await(PyObject* self, void*) noexcept {
    PyObject* it = as_coro(self)->await_iter;
    return Py_NewRef(it ? it : Py_None);
}
PyObject* coro_get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coro(self)->state == CORO_RUNNING);
}
PyObject* coro_get_suspended(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coro(self)->state == CORO_SUSPENDED);
}
// A C++ frame has no Python frame object to show.
PyObject* coro_get_frame(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, coro_set_name, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, coro_set_qualname, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coro_get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", coro_get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value "
     "or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* coro_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Coroutine* co = as_coro(self);
    Py_VISIT(co->name);
    Py_VISIT(co->qualname);
    Py_VISIT(co->await_iter);
    for (PyObject* local : co->locals) Py_VISIT(local);
    Py_VISIT(co->resume_value);
    return 0;
}

// The frame goes first, so that no later resume can see cleared locals.
// Name and qualname stay: strings are never part of a cycle and repr and the
// never-awaited warning use them.
int coro_clear(PyObject* self) noexcept {
    Coroutine* co = as_coro(self);
    destroy_frame(co);
    release_body_state(co);
    return 0;
}

void coro_finalize(PyObject* self) noexcept {
    Coroutine* co = as_coro(self);
    if (co->state == CORO_FINISHED || co->state == CORO_RUNNING) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (co->state == CORO_CREATED) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", co->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject* r = coro_close_ex(co);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

void coro_dealloc(PyObject* self) noexcept {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by the finalizer
    Coroutine* co = as_coro(self);
    PyObject_GC_UnTrack(self);
    if (co->weakreflist) PyObject_ClearWeakRefs(self);
    destroy_frame(co);
    release_body_state(co);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    PyObject_GC_Del(self);
}

PyAsyncMethods coro_as_async = {coro_await, nullptr, nullptr, coro_am_send};

// Filled field by field: an aggregate initializer would have to name every
// slot of PyTypeObject to build cleanly under -Wextra.
PyTypeObject make_coroutine_type() noexcept {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "quotra_coroutine";
    t.tp_doc = "A coroutine of the quotra module.";
    t.tp_basicsize = sizeof(Coroutine);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_as_async = &coro_as_async;
    t.tp_dealloc = coro_dealloc;
    t.tp_finalize = coro_finalize;
    t.tp_repr = coro_repr;
    t.tp_traverse = coro_traverse;
    t.tp_clear = coro_clear;
    t.tp_weaklistoffset = offsetof(Coroutine, weakreflist);
    // `await` in Python code steps a non-native awaitable's iterator with
    // tp_iternext (and its send method for values other than None).
    t.tp_iternext = coro_iternext;
    t.tp_methods = coro_methods;
    t.tp_getset = coro_getset;
    return t;
}

}  // namespace

PyTypeObject CoroutineType = make_coroutine_type();

int coroutine_type_ready() { return PyType_Ready(&CoroutineType); }

void coroutine_register_abc() noexcept {
    // Registration belongs to the type, which lives for the process.
    static bool registered = false;
    if (registered) return;
    PyObject* r = nullptr;
    if (PyObject* abc = PyImport_ImportModule("collections.abc")) {
        if (PyObject* abc_coroutine = PyObject_GetAttrString(abc, "Coroutine")) {
            r = PyObject_CallMethod(abc_coroutine, "register", "O", reinterpret_cast<PyObject*>(&CoroutineType));
            Py_DECREF(abc_coroutine);
        }
        Py_DECREF(abc);
    }
    if (r) {
        Py_DECREF(r);
        registered = true;
        return;
    }
    // Without the registration asyncio.iscoroutine() still accepts our objects
    // through Coroutine's method check, so this is reported, not fatal.
    PyErr_FormatUnraisable("Exception ignored while registering %s with collections.abc.Coroutine",
                           CoroutineType.tp_name);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, "quotra coroutines could not be registered with collections.abc.Coroutine",
                     1) < 0)
        PyErr_FormatUnraisable("Exception ignored while warning about the collections.abc.Coroutine registration");
}

}  // namespace qt
