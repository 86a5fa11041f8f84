// The native coroutine type: Python's coroutine protocol over C++20 coroutine
// bodies. A body suspends only inside `co_await py_await(x)`; the object then
// delegates to x's iterator exactly as `yield from` would, and resumes the body
// when that iterator returns or raises.
//
// In a body, `co_await` may not appear inside a catch block; catch, record what
// happened, leave the handler, then await.
#include "native_coroutine.hpp"

namespace qt {

namespace {

enum State : int { NOT_STARTED = 0, SUSPENDED = 1, RUNNING = 2, FINISHED = 3 };

Coroutine* as_coro(PyObject* o) noexcept { return reinterpret_cast<Coroutine*>(o); }

void destroy_body(Coroutine* co) noexcept {
    if (co->body) {
        CoroBody::handle h = co->body;
        co->body = {};
        h.destroy();  // runs the frame's destructors: may release Python objects
    }
}

// Finishes the coroutine: drops its frame and everything it held.
void finish(Coroutine* co) noexcept {
    co->state = FINISHED;
    destroy_body(co);
    Py_CLEAR(co->await_iter);
    for (auto& l : co->locals) Py_CLEAR(l);
}

// StopIteration(value) as an instance, so tuple values survive.
void set_stop_iteration(PyObject* value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) {
        PyErr_SetObject(PyExc_StopIteration, exc);
        Py_DECREF(exc);
    }
}

// Resumes the body after an await completed (`value` set) or failed (an
// exception pending). Returns PYGEN_NEXT with *result the next value the body
// yields, PYGEN_RETURN with its result, or PYGEN_ERROR.
PySendResult resume_body(Coroutine* co, PyObject* value, PyObject** result) {
    co->resume_with_error = value == nullptr;
    co->resume_value = value;  // borrowed by the awaiter until it returns
    if (co->resume_with_error) co->resume_exc = PyErr_GetRaisedException();
    co->state = RUNNING;
    co->body.resume();
    co->resume_value = nullptr;
    Py_CLEAR(co->resume_exc);
    if (co->body.done()) {
        auto& promise = co->body.promise();
        if (promise.failed) {
            // Dropping the frame may run Python code; keep the body's exception.
            PyObject* pending = PyErr_GetRaisedException();
            finish(co);
            PyErr_SetRaisedException(pending);
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyObject* exc = PyErr_GetRaisedException();
                PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
                PyObject* rt = PyErr_GetRaisedException();
                PyException_SetCause(rt, Py_NewRef(exc));
                PyException_SetContext(rt, exc);
                PyErr_SetRaisedException(rt);
            }
            *result = nullptr;
            return PYGEN_ERROR;
        }
        PyObject* r = promise.result ? promise.result.release() : Py_NewRef(Py_None);
        finish(co);
        *result = r;
        return PYGEN_RETURN;
    }
    // Suspended on a new await: hand out what its iterator yielded first.
    co->state = SUSPENDED;
    *result = co->first_yield;
    co->first_yield = nullptr;
    return PYGEN_NEXT;
}

// One step driven by a value sent in (`arg`, borrowed; nullptr means the
// pending exception is thrown in through delegation already resolved).
PySendResult step(Coroutine* co, PyObject* arg, PyObject** result) {
    if (co->state == RUNNING) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        *result = nullptr;
        return PYGEN_ERROR;
    }
    if (co->state == FINISHED) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        *result = nullptr;
        return PYGEN_ERROR;
    }
    if (Py_EnterRecursiveCall(" in a quotra coroutine")) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    PySendResult r;
    if (co->state == NOT_STARTED) {
        if (arg != Py_None) {
            Py_LeaveRecursiveCall();
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            *result = nullptr;
            return PYGEN_ERROR;
        }
        r = resume_body(co, Py_None, result);
    } else {
        co->state = RUNNING;
        PyObject* inner = nullptr;
        PySendResult ir = PyIter_Send(co->await_iter, arg, &inner);
        if (ir == PYGEN_NEXT) {
            co->state = SUSPENDED;
            *result = inner;
            r = PYGEN_NEXT;
        } else {
            Py_CLEAR(co->await_iter);
            r = resume_body(co, ir == PYGEN_RETURN ? inner : nullptr, result);
            Py_XDECREF(inner);
        }
    }
    Py_LeaveRecursiveCall();
    return r;
}

// Raises `exc` (a pending exception) at the body's current await.
PySendResult throw_into_body(Coroutine* co, PyObject** result) {
    if (Py_EnterRecursiveCall(" in a quotra coroutine")) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    Py_CLEAR(co->await_iter);
    PySendResult r = resume_body(co, nullptr, result);
    Py_LeaveRecursiveCall();
    return r;
}

// The value of a StopIteration pending now (new reference), clearing it.
PyObject* take_stop_iteration_value() {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* v = PyObject_GetAttrString(exc, "value");
    Py_DECREF(exc);
    return v;
}

PySendResult throw_impl(Coroutine* co, PyObject* exc_obj, PyObject** result) {
    // exc_obj: an exception instance, pending is not set yet.
    if (co->state == RUNNING) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        *result = nullptr;
        return PYGEN_ERROR;
    }
    if (co->state == NOT_STARTED || co->state == FINISHED) {
        // The body never runs; the exception comes straight back.
        finish(co);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc_obj)), exc_obj);
        *result = nullptr;
        return PYGEN_ERROR;
    }
    PyObject* iter = co->await_iter;
    if (PyErr_GivenExceptionMatches(exc_obj, PyExc_GeneratorExit)) {
        if (iter) {
            Py_INCREF(iter);
            co->state = RUNNING;
            PyObject* meth = nullptr;
            int found = PyObject_GetOptionalAttrString(iter, "close", &meth);
            PyObject* r = nullptr;
            if (found > 0) {
                r = PyObject_CallNoArgs(meth);
                Py_DECREF(meth);
            }
            co->state = SUSPENDED;
            Py_DECREF(iter);
            if (found < 0 || (found > 0 && !r)) return throw_into_body(co, result);  // close() failed: raise that
            Py_XDECREF(r);
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc_obj)), exc_obj);
        return throw_into_body(co, result);
    }
    if (iter) {
        PyObject* meth = nullptr;
        Py_INCREF(iter);
        int found = PyObject_GetOptionalAttrString(iter, "throw", &meth);
        if (found < 0) {
            Py_DECREF(iter);
            return throw_into_body(co, result);
        }
        if (found > 0) {
            co->state = RUNNING;
            if (Py_EnterRecursiveCall(" in a quotra coroutine")) {
                co->state = SUSPENDED;
                Py_DECREF(meth);
                Py_DECREF(iter);
                *result = nullptr;
                return PYGEN_ERROR;
            }
            PyObject* r = PyObject_CallOneArg(meth, exc_obj);
            Py_LeaveRecursiveCall();
            co->state = SUSPENDED;
            Py_DECREF(meth);
            Py_DECREF(iter);
            if (r) {
                *result = r;  // the inner iterator yielded again
                return PYGEN_NEXT;
            }
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyObject* v = take_stop_iteration_value();
                if (!v) return throw_into_body(co, result);
                Py_CLEAR(co->await_iter);
                if (Py_EnterRecursiveCall(" in a quotra coroutine")) {
                    Py_DECREF(v);
                    *result = nullptr;
                    return PYGEN_ERROR;
                }
                PySendResult rr = resume_body(co, v, result);
                Py_LeaveRecursiveCall();
                Py_DECREF(v);
                return rr;
            }
            return throw_into_body(co, result);
        }
        Py_DECREF(iter);
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc_obj)), exc_obj);
    return throw_into_body(co, result);
}

// Turns a PySendResult into the send()/__next__ convention.
PyObject* as_iter_result(PySendResult r, PyObject* result) {
    if (r == PYGEN_NEXT) return result;
    if (r == PYGEN_RETURN) {
        set_stop_iteration(result);
        Py_DECREF(result);
    }
    return nullptr;
}

// ---------------------------------------------------------------- slots

PySendResult Coro_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return step(as_coro(self), arg ? arg : Py_None, result);
}

PyObject* Coro_iternext(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult r = step(as_coro(self), Py_None, &result);
    if (r == PYGEN_RETURN) {
        if (result != Py_None) set_stop_iteration(result);
        Py_DECREF(result);
        return nullptr;
    }
    return r == PYGEN_NEXT ? result : nullptr;
}

PyObject* Coro_send(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult r = step(as_coro(self), arg, &result);
    return as_iter_result(r, result);
}

PyObject* Coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    Ref exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = newref(typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyObject* made = nullptr;
        if (val != Py_None && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
            made = Py_NewRef(val);
        else if (val == Py_None)
            made = PyObject_CallNoArgs(typ);
        else
            made = PyObject_CallOneArg(typ, val);
        if (!made) return nullptr;
        exc = Ref::steal(made);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None) {
        if (!PyTraceBack_Check(tb)) {
            PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
            return nullptr;
        }
        if (PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
    }
    PyObject* result = nullptr;
    PySendResult r = throw_impl(as_coro(self), exc.get(), &result);
    return as_iter_result(r, result);
}

PyObject* close_impl(Coroutine* co) {
    if (co->state == NOT_STARTED || co->state == FINISHED) {
        finish(co);
        Py_RETURN_NONE;
    }
    Ref exc = own(PyObject_CallNoArgs(PyExc_GeneratorExit));
    PyObject* result = nullptr;
    PySendResult r = throw_impl(co, exc.get(), &result);
    if (r == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(result);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* Coro_close(PyObject* self, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* { return close_impl(as_coro(self)); });
}

PyObject* Coro_await(PyObject* self) { return Py_NewRef(self); }

void Coro_finalize(PyObject* self) {
    Coroutine* co = as_coro(self);
    if (co->state == FINISHED) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (co->state == NOT_STARTED) {
        finish(co);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", co->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject* r = boundary<PyObject*>(nullptr, [&]() -> PyObject* { return close_impl(co); });
        if (!r)
            PyErr_WriteUnraisable(self);
        else
            Py_DECREF(r);
    }
    PyErr_SetRaisedException(saved);
}

int Coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Coroutine* co = as_coro(self);
    Py_VISIT(co->name);
    Py_VISIT(co->qualname);
    Py_VISIT(co->await_iter);
    for (PyObject* l : co->locals) Py_VISIT(l);
    return 0;
}

int Coro_clear(PyObject* self) {
    Coroutine* co = as_coro(self);
    // Drop the frame first: nothing may resume a body whose locals are gone.
    finish(co);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    return 0;
}

void Coro_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    Coroutine* co = as_coro(self);
    if (co->weakreflist) PyObject_ClearWeakRefs(self);
    finish(co);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    Py_CLEAR(co->first_yield);
    Py_CLEAR(co->resume_exc);
    PyObject_GC_Del(self);
}

PyObject* Coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }

int set_str(PyObject*& field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* v, void*) { return set_str(as_coro(self)->name, v, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*) { return set_str(as_coro(self)->qualname, v, "__qualname__"); }

PyObject* get_await(PyObject* self, void*) {
    PyObject* it = as_coro(self)->await_iter;
    return Py_NewRef(it ? it : Py_None);
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == RUNNING); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == SUSPENDED); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef Coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Coro_methods[] = {
    {"send", Coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Coro_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", Coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods Coro_async = {Coro_await, nullptr, nullptr, Coro_am_send};

// The iterator to delegate to for `awaitable`, as `await` would get it.
PyObject* get_awaitable_iter(PyObject* o) {
    if (Py_IS_TYPE(o, &CoroutineType) || PyCoro_CheckExact(o)) return Py_NewRef(o);
    unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it) || Py_IS_TYPE(it, &CoroutineType)) {
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

// ---------------------------------------------------------------- body side

CoroBody CoroBody::promise_type::get_return_object() noexcept { return CoroBody(handle::from_promise(*this)); }

void CoroBody::promise_type::unhandled_exception() noexcept {
    failed = true;
    try {
        throw;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quotra: unexpected C++ exception in a coroutine");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quotra: coroutine failed without an exception");
}

// Starts delegating to `awaitable`: sends None into its iterator once. Returns
// false when that already finished it (the body continues at once).
bool PyAwait::begin() {
    Coroutine* co = owner;
    co->resume_with_error = false;
    co->resume_value = nullptr;
    PyObject* it = get_awaitable_iter(awaitable);
    if (!it) {
        co->resume_with_error = true;
        co->resume_exc = PyErr_GetRaisedException();
        return false;
    }
    PyObject* out = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &out);
    if (r == PYGEN_NEXT) {
        co->await_iter = it;
        co->first_yield = out;
        return true;
    }
    Py_DECREF(it);
    if (r == PYGEN_RETURN) {
        co->immediate = out;  // owned until await_resume takes it
    } else {
        co->resume_with_error = true;
        co->resume_exc = PyErr_GetRaisedException();
    }
    return false;
}

Ref PyAwait::await_resume() {
    Coroutine* co = owner;
    if (co->immediate) {
        PyObject* v = co->immediate;
        co->immediate = nullptr;
        return Ref::steal(v);
    }
    if (co->resume_with_error) {
        co->resume_with_error = false;
        PyObject* exc = co->resume_exc;
        co->resume_exc = nullptr;
        if (exc) PyErr_SetRaisedException(exc);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quotra: await failed without an exception");
        raise();
    }
    return newref(co->resume_value ? co->resume_value : Py_None);
}

QT_STATIC_TYPE(CoroutineType)

int coroutine_type_ready() {
    if (CoroutineType.tp_flags & Py_TPFLAGS_READY) return 0;
    CoroutineType.tp_name = "quotra.quotra.coroutine";
    CoroutineType.tp_basicsize = sizeof(Coroutine);
    CoroutineType.tp_dealloc = Coro_dealloc;
    CoroutineType.tp_repr = Coro_repr;
    CoroutineType.tp_as_async = &Coro_async;
    CoroutineType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CoroutineType.tp_traverse = Coro_traverse;
    CoroutineType.tp_clear = Coro_clear;
    CoroutineType.tp_weaklistoffset = offsetof(Coroutine, weakreflist);
    CoroutineType.tp_iter = PyObject_SelfIter;
    CoroutineType.tp_iternext = Coro_iternext;
    CoroutineType.tp_methods = Coro_methods;
    CoroutineType.tp_getset = Coro_getset;
    CoroutineType.tp_finalize = Coro_finalize;
    return PyType_Ready(&CoroutineType);
}

void coroutine_register_abc() noexcept {
    PyObject* abc = PyImport_ImportModule("collections.abc");
    PyObject* r = nullptr;
    if (abc) {
        PyObject* coroutine_abc = PyObject_GetAttrString(abc, "Coroutine");
        if (coroutine_abc) {
            r = PyObject_CallMethod(coroutine_abc, "register", "O", reinterpret_cast<PyObject*>(&CoroutineType));
            Py_DECREF(coroutine_abc);
        }
        Py_DECREF(abc);
    }
    if (r) {
        Py_DECREF(r);
        return;
    }
    PyErr_WriteUnraisable(nullptr);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, "quotra: could not register the coroutine type with collections.abc", 1) < 0)
        PyErr_WriteUnraisable(nullptr);
}

Ref coroutine_new(PyObject* name, PyObject* qualname, std::initializer_list<PyObject*> locals, BodyFactory body) {
    Coroutine* co = PyObject_GC_New(Coroutine, &CoroutineType);
    if (!co) raise();
    co->body = {};
    co->name = Py_NewRef(name);
    co->qualname = Py_NewRef(qualname);
    co->await_iter = nullptr;
    for (auto& l : co->locals) l = nullptr;
    co->weakreflist = nullptr;
    co->state = NOT_STARTED;
    co->resume_with_error = false;
    co->resume_value = nullptr;
    co->resume_exc = nullptr;
    co->first_yield = nullptr;
    co->immediate = nullptr;
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(co));
    int i = 0;
    for (PyObject* l : locals) {
        if (i >= CORO_LOCALS) break;
        co->locals[i++] = Py_XNewRef(l);
    }
    CoroBody b = body(co);
    co->body = b.release();
    co->body.promise().owner = co;
    PyObject_GC_Track(obj.get());
    return obj;
}

}  // namespace qt
