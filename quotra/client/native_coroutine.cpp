// The module's coroutine object, its stepping: a C++20 coroutine frame driven
// through the protocol Python's own coroutines speak (send/throw/close, am_send
// for the C Task, tp_iternext for `await` in Python code; their slots are in
// coroutine_type.cpp), with `co_await py_await(x)` (coroutine_body.cpp)
// delegating to x's iterator the way `yield from` does.
//
// States: CREATED (frame made, nothing run), SUSPENDED (parked in a
// py_await whose iterator is `await_iter`), RUNNING (inside one of the steps
// below; re-entry is refused), FINISHED (frame gone, locals released).
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
#include "coroutine_engine.hpp"

#include "names.hpp"

namespace qt {

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
static void raise_from_pending(PyObject* type, const char* msg) noexcept {
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

static void end_without_running(Coroutine* co) noexcept {
    destroy_frame(co);
    release_body_state(co);
}

// The body ran to its end: turn its outcome into a return value or error.
static PySendResult finish(Coroutine* co, PyObject** out) noexcept {
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
static void end_delegation(Coroutine* co, PySendResult r, PyObject* value) noexcept {
    Py_CLEAR(co->await_iter);
    if (r == PYGEN_RETURN) {
        co->resume_value = value;  // takes the reference
    } else {
        co->resume_with_error = true;
    }
}

// Resumes the body (state RUNNING, resume_value/resume_with_error prepared)
// and drives it until it yields a value out, returns or fails.
static PySendResult run_body(Coroutine* co, PyObject** out) noexcept {
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
static bool refuse_send(Coroutine* co, PyObject* value) noexcept {
    switch (co->state) {
        case CORO_FINISHED: PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine"); return true;
        case CORO_RUNNING: PyErr_SetString(PyExc_ValueError, "coroutine already executing"); return true;
        case CORO_CREATED:
            if (value != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return true;
            }
            return false;
        default: return false;
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
static int close_iter(PyObject* iter) noexcept {
    if (is_coro(iter)) {
        PyObject* r = coro_close_ex(as_coro(iter));
        if (!r) return -1;
        Py_DECREF(r);
        return 0;
    }
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(iter, S(close), &meth) < 0) PyErr_WriteUnraisable(iter);
    if (!meth) return 0;
    PyObject* r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Raises the pending exception inside the body at its current suspension
// point (state must be RUNNING).
static PySendResult raise_in_body(Coroutine* co, PyObject** out) noexcept {
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
        case CORO_RUNNING: PyErr_SetString(PyExc_ValueError, "coroutine already executing"); return PYGEN_ERROR;
        case CORO_CREATED:
            // The body never runs; the exception comes straight back out.
            end_without_running(co);
            PyErr_SetRaisedException(held.release());
            return PYGEN_ERROR;
        default: break;
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
            if (PyObject_GetOptionalAttr(iter.get(), S(throw_), &meth) < 0) return PYGEN_ERROR;  // still suspended
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
        case CORO_CREATED: end_without_running(co); Py_RETURN_NONE;
        case CORO_FINISHED: Py_RETURN_NONE;
        case CORO_RUNNING: PyErr_SetString(PyExc_ValueError, "coroutine already executing"); return nullptr;
        default: break;
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
        case PYGEN_RETURN: return res;
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

}  // namespace qt
