// The C++ side of the module's coroutines: the promise of a body, the
// awaiter behind `co_await py_await(x)`, and making a coroutine object that
// runs a body. The object's stepping is in native_coroutine.cpp, its Python
// type in coroutine_type.cpp.
#include <new>

#include "coroutine_engine.hpp"

namespace qt {

namespace {

// What `await obj` would delegate to, as a new reference; nullptr with the
// same TypeErrors Python's await gives.
PyObject* awaitable_iter(PyObject* o) noexcept {
    if (!o) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "py_await() of a null object");
        return nullptr;
    }
    if (is_coro(o)) {
        if (as_coro(o)->await_iter) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    auto is_native_or_generator_coroutine = [](PyObject* x) {
        if (PyCoro_CheckExact(x)) return true;
        return PyGen_CheckExact(x) &&
               (PyGen_GetCode(reinterpret_cast<PyGenObject*>(x))->co_flags & CO_ITERABLE_COROUTINE) != 0;
    };
    if (is_native_or_generator_coroutine(o)) return Py_NewRef(o);
    PyTypeObject* t = Py_TYPE(o);
    unaryfunc getter = t->tp_as_async ? t->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it) return nullptr;
    if (is_native_or_generator_coroutine(it) || is_coro(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

}  // namespace

CoroBody CoroBody::promise_type::get_return_object() noexcept { return CoroBody(handle::from_promise(*this)); }

void CoroBody::promise_type::unhandled_exception() noexcept {
    failed = true;
    try {
        throw;
    } catch (const PyError&) {  // NOLINT(bugprone-empty-catch)
        // The Python exception is already set.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quotra: unexpected C++ exception in a coroutine");
    }
}

bool PyAwait::begin() {
    PyObject* it = awaitable_iter(awaitable);
    awaitable = nullptr;
    owned.reset();
    if (!it) {
        owner->resume_with_error = true;
        return false;
    }
    owner->await_iter = it;
    return true;
}

Ref PyAwait::await_resume() {
    Coroutine* co = owner;
    if (co->resume_with_error) {
        co->resume_with_error = false;
        raise();
    }
    PyObject* v = co->resume_value;
    co->resume_value = nullptr;
    return v ? Ref::steal(v) : newref(Py_None);
}

Ref coroutine_new(PyObject* name, PyObject* qualname, std::initializer_list<PyObject*> locals, BodyFactory body) {
    if (!name || !qualname || !PyUnicode_Check(name) || !PyUnicode_Check(qualname)) {
        system_error("coroutine_new: name and qualname must be strings");
    }
    if (locals.size() > static_cast<size_t>(CORO_LOCALS)) system_error("coroutine_new: too many locals");
    Coroutine* co = PyObject_GC_New(Coroutine, &CoroutineType);
    if (!co) raise();
    co->body = {};
    co->name = Py_NewRef(name);
    co->qualname = Py_NewRef(qualname);
    co->await_iter = nullptr;
    for (PyObject*& local : co->locals) local = nullptr;
    co->weakreflist = nullptr;
    // FINISHED until the frame exists, so a failure below deallocates
    // without a never-awaited warning.
    co->state = CORO_FINISHED;
    co->resume_with_error = false;
    co->resume_value = nullptr;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(co));
    int i = 0;
    for (PyObject* local : locals) co->locals[i++] = Py_XNewRef(local);
    CoroBody frame = body(co);  // runs nothing: bodies start suspended
    co->body = frame.release();
    co->body.promise().owner = co;
    co->state = CORO_CREATED;
    PyObject_GC_Track(co);
    return self;
}

}  // namespace qt
