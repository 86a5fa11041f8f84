// The module's coroutine object: a C++20 coroutine frame driven through the
// protocol Python's own coroutines speak (send/throw/close, am_send for the C
// Task, tp_iternext for `await` in Python code), with `co_await py_await(x)`
// delegating to x's iterator the way `yield from` does.
//
// States: CREATED (frame made, nothing run), SUSPENDED (parked in a
// py_await whose iterator is `await_iter`), RUNNING (inside one of the entry
// points below; re-entry is refused), FINISHED (frame gone, locals released).
//
// Writing bodies: `co_await` is not allowed inside a C++ `catch` block. To
// await after an error, note it in the handler and await after it:
//
//     bool timed_out = false;
//     try {
//         Ref r = co_await py_await(aw);
//     } catch (const PyError&) {
//         if (!PyErr_ExceptionMatches(PyExc_TimeoutError)) throw;  // not ours: propagate
//         PyErr_Clear();
//         timed_out = true;
//     }
//     if (timed_out) co_await py_await(fallback);
//
// A handler that swallows every PyError would also swallow the
// GeneratorExit of close() and the CancelledError of Task.cancel(): match
// what you mean to handle and rethrow the rest, as `except Exception` would.
#include "native_coroutine.hpp"

#include <new>

namespace qt {

namespace {

enum : int { CORO_CREATED = 0, CORO_SUSPENDED = 1, CORO_RUNNING = 2, CORO_FINISHED = 3 };

inline Coroutine* as_coro(PyObject* o) noexcept { return reinterpret_cast<Coroutine*>(o); }
inline bool is_coro(PyObject* o) noexcept { return Py_IS_TYPE(o, &CoroutineType); }

// Interned once for the life of the process (the module lives in one
// interpreter per process); never released, since coroutines can outlive the
// module during interpreter shutdown.
PyObject* s_throw = nullptr;
PyObject* s_close = nullptr;

// Chains of native coroutines step each other on the C stack.
struct RecursionGuard {
    bool ok;
    RecursionGuard() noexcept : ok(Py_EnterRecursiveCall(" while running a coroutine") == 0) {}
    ~RecursionGuard() {
        if (ok) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Replaces the pending exception by a new one of `type` whose cause and
// context are the old one (`raise type(msg) from old`).
void raise_from_pending(PyObject* type, const char* msg) noexcept {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(type, msg);
    if (!cause) return;
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, Py_NewRef(cause));  // steals
    PyException_SetContext(exc, cause);           // steals
    PyErr_SetRaisedException(exc);
}

// StopIteration carrying `value`, always as an instance: PyErr_SetObject with
// a tuple value would take the tuple as constructor arguments.
void set_stop_iteration(PyObject* value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!e) return;
    PyErr_SetObject(PyExc_StopIteration, e);
    Py_DECREF(e);
}

// Ends the C++ frame without running it further. The handle leaves the object
// first: destroying a suspended frame runs its locals' destructors, which may
// run Python code that reaches this coroutine again.
void destroy_frame(Coroutine* co) noexcept {
    CoroBody::handle h = co->body;
    co->body = {};
    co->state = CORO_FINISHED;
    if (h) h.destroy();
}

// Drops what the body kept for Python; the pending exception (if any) is set
// aside while destructors run.
void release_body_state(Coroutine* co) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    Py_CLEAR(co->await_iter);
    Py_CLEAR(co->resume_value);
    co->resume_with_error = false;
    for (PyObject*& local : co->locals) Py_CLEAR(local);
    PyErr_SetRaisedException(exc);
}

void end_without_running(Coroutine* co) noexcept {
    destroy_frame(co);
    release_body_state(co);
}

// The body ran to its end: turn its outcome into a return value or error.
PySendResult finish(Coroutine* co, PyObject** out) noexcept {
    CoroBody::promise_type& p = co->body.promise();
    const bool failed = p.failed;
    Ref result = std::move(p.result);
    if (failed) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "coroutine body failed without setting an exception");
        else if (PyErr_ExceptionMatches(PyExc_StopIteration))
            raise_from_pending(PyExc_RuntimeError, "coroutine raised StopIteration");
    } else if (PyErr_Occurred()) {
        raise_from_pending(PyExc_SystemError, "coroutine body returned a result with an exception set");
    }
    const bool ok = !PyErr_Occurred();
    end_without_running(co);
    if (!ok) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// The delegated iterator has ended: resume the body with its value, or with
// its exception when `r` is an error (the exception is pending).
void end_delegation(Coroutine* co, PySendResult r, PyObject* value) noexcept {
    Py_CLEAR(co->await_iter);
    if (r == PYGEN_RETURN) {
        co->resume_value = value;  // takes the reference
    } else {
        co->resume_with_error = true;
    }
}

// Resumes the body (state RUNNING, resume_value/resume_with_error prepared)
// and drives it until it yields a value out, returns or fails.
PySendResult run_body(Coroutine* co, PyObject** out) noexcept {
    for (;;) {
        co->body.resume();
        if (co->body.done()) return finish(co, out);
        if (!co->await_iter) {
            // Only py_await may suspend a body.
            end_without_running(co);
            PyErr_SetString(PyExc_SystemError, "coroutine body suspended outside py_await");
            *out = nullptr;
            return PYGEN_ERROR;
        }
        PyObject* value = nullptr;
        PySendResult r = PyIter_Send(newref(co->await_iter).get(), Py_None, &value);
        if (r == PYGEN_NEXT) {
            co->state = CORO_SUSPENDED;
            *out = value;
            return PYGEN_NEXT;
        }
        end_delegation(co, r, value);
    }
}

// Why `co` cannot take a send() now, as a pending exception; false if it can.
bool refuse_send(Coroutine* co, PyObject* value) noexcept {
    switch (co->state) {
        case CORO_FINISHED:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return true;
        case CORO_RUNNING:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return true;
        case CORO_CREATED:
            if (value != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return true;
            }
            return false;
        default:
            return false;
    }
}

PySendResult coro_send_ex(Coroutine* co, PyObject* value, PyObject** out) noexcept {
    *out = nullptr;
    if (!value) value = Py_None;
    if (refuse_send(co, value)) return PYGEN_ERROR;
    RecursionGuard guard;
    if (!guard.ok) return PYGEN_ERROR;
    co->state = CORO_RUNNING;
    if (co->await_iter) {
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(newref(co->await_iter).get(), value, &res);
        if (r == PYGEN_NEXT) {
            co->state = CORO_SUSPENDED;
            *out = res;
            return PYGEN_NEXT;
        }
        end_delegation(co, r, res);
    }
    return run_body(co, out);
}

PyObject* coro_close_ex(Coroutine* co) noexcept;

// Closes a delegated iterator as `yield from` does: our own coroutines
// directly, others through their close() if they have one. -1 with an
// exception set when closing failed.
int close_iter(PyObject* iter) noexcept {
    if (is_coro(iter)) {
        PyObject* r = coro_close_ex(as_coro(iter));
        if (!r) return -1;
        Py_DECREF(r);
        return 0;
    }
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(iter, s_close, &meth) < 0) PyErr_WriteUnraisable(iter);
    if (!meth) return 0;
    PyObject* r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Raises the pending exception inside the body at its current suspension
// point (state must be RUNNING).
PySendResult raise_in_body(Coroutine* co, PyObject** out) noexcept {
    co->resume_with_error = true;
    return run_body(co, out);
}

// throw() with an already normalised exception instance (a new reference,
// consumed).
PySendResult coro_throw_ex(Coroutine* co, PyObject* exc, PyObject** out) noexcept {
    *out = nullptr;
    Ref held = Ref::steal(exc);
    switch (co->state) {
        case CORO_FINISHED:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case CORO_RUNNING:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case CORO_CREATED:
            // The body never runs; the exception comes straight back out.
            end_without_running(co);
            PyErr_SetRaisedException(held.release());
            return PYGEN_ERROR;
        default:
            break;
    }
    RecursionGuard guard;
    if (!guard.ok) return PYGEN_ERROR;

    if (co->await_iter) {
        Ref iter = newref(co->await_iter);
        if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            // Close what we delegate to, then raise in the body; a failure to
            // close is raised in the body instead.
            co->state = CORO_RUNNING;
            const int err = close_iter(iter.get());
            iter.reset();
            Py_CLEAR(co->await_iter);
            if (err == 0) PyErr_SetRaisedException(held.release());
            return raise_in_body(co, out);
        }
        PyObject* res = nullptr;
        PySendResult r;
        if (is_coro(iter.get())) {
            co->state = CORO_RUNNING;
            r = coro_throw_ex(as_coro(iter.get()), held.release(), &res);
        } else {
            PyObject* meth = nullptr;
            if (PyObject_GetOptionalAttr(iter.get(), s_throw, &meth) < 0) return PYGEN_ERROR;  // still suspended
            if (!meth) {
                // Nothing to forward to: the exception surfaces at the await.
                co->state = CORO_RUNNING;
                iter.reset();
                Py_CLEAR(co->await_iter);
                PyErr_SetRaisedException(held.release());
                return raise_in_body(co, out);
            }
            co->state = CORO_RUNNING;
            res = PyObject_CallOneArg(meth, held.get());
            Py_DECREF(meth);
            if (res) {
                r = PYGEN_NEXT;
            } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                // The iterator returned while handling the exception.
                PyObject* stop = PyErr_GetRaisedException();
                res = Py_NewRef(reinterpret_cast<PyStopIterationObject*>(stop)->value);
                Py_DECREF(stop);
                r = PYGEN_RETURN;
            } else {
                r = PYGEN_ERROR;
            }
        }
        if (r == PYGEN_NEXT) {
            co->state = CORO_SUSPENDED;
            *out = res;
            return PYGEN_NEXT;
        }
        iter.reset();
        end_delegation(co, r, res);
        return run_body(co, out);
    }
    co->state = CORO_RUNNING;
    PyErr_SetRaisedException(held.release());
    return raise_in_body(co, out);
}

// close() as for Python coroutines: None, or (since 3.13) the value the body
// returned while handling GeneratorExit; nullptr with an exception set.
PyObject* coro_close_ex(Coroutine* co) noexcept {
    switch (co->state) {
        case CORO_CREATED:
            end_without_running(co);
            Py_RETURN_NONE;
        case CORO_FINISHED:
            Py_RETURN_NONE;
        case CORO_RUNNING:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return nullptr;
        default:
            break;
    }
    RecursionGuard guard;
    if (!guard.ok) return nullptr;
    co->state = CORO_RUNNING;
    int err = 0;
    if (co->await_iter) {
        Ref iter = newref(co->await_iter);
        err = close_iter(iter.get());
        Py_CLEAR(co->await_iter);
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* res = nullptr;
    switch (raise_in_body(co, &res)) {
        case PYGEN_NEXT:
            Py_DECREF(res);
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        case PYGEN_RETURN:
            return res;
        default:
            if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
                PyErr_Clear();
                Py_RETURN_NONE;
            }
            return nullptr;
    }
}

// The exception a throw(typ[, val[, tb]]) call means, as a new reference to a
// normalised instance; nullptr with TypeError for arguments that cannot be
// raised. Done before anything else so that a bad call leaves the coroutine
// as it was.
PyObject* exception_from_args(PyObject* typ, PyObject* val, PyObject* tb) noexcept {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc;
    if (PyExceptionClass_Check(typ)) {
        PyObject* t = Py_NewRef(typ);
        PyObject* v = Py_XNewRef(val);
        PyObject* b = Py_XNewRef(tb);
        // A failure to instantiate leaves that failure in (t, v, b): it is
        // what gets thrown, as with Python coroutines.
        PyErr_NormalizeException(&t, &v, &b);
        if (b && v && PyExceptionInstance_Check(v)) PyException_SetTraceback(v, b);
        Py_XDECREF(t);
        Py_XDECREF(b);
        if (!v || !PyExceptionInstance_Check(v)) {
            Py_XDECREF(v);
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "throw(): exception could not be normalised");
            return nullptr;
        }
        exc = v;
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
        if (tb && PyException_SetTraceback(exc, tb) < 0) {
            Py_DECREF(exc);
            return nullptr;
        }
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    return exc;
}

// ---- Python-facing entry points -------------------------------------------

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
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    set_field(as_coro(self)->name, value);
    return 0;
}
PyObject* coro_get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_coro(self)->qualname); }
int coro_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    set_field(as_coro(self)->qualname, value);
    return 0;
}
PyObject* coro_get_await(PyObject* self, void*) noexcept {
    PyObject* it = as_coro(self)->await_iter;
    return Py_NewRef(it ? it : Py_None);
}
PyObject* coro_get_running(PyObject* self, void*) noexcept { return PyBool_FromLong(as_coro(self)->state == CORO_RUNNING); }
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
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
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

PyTypeObject CoroutineType = make_coroutine_type();

// ---- the C++ side ----------------------------------------------------------

CoroBody CoroBody::promise_type::get_return_object() noexcept { return CoroBody(handle::from_promise(*this)); }

void CoroBody::promise_type::unhandled_exception() noexcept {
    failed = true;
    try {
        throw;
    } catch (const PyError&) {
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

int coroutine_type_ready() {
    if (!s_throw) {
        s_throw = PyUnicode_InternFromString("throw");
        if (!s_throw) return -1;
    }
    if (!s_close) {
        s_close = PyUnicode_InternFromString("close");
        if (!s_close) return -1;
    }
    return PyType_Ready(&CoroutineType);
}

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
