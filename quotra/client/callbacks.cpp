// The user's four callbacks: what the client does with what they return.
// A coroutine becomes a task on the loop; any other awaitable is handed to
// asyncio.ensure_future. A callback that is a plain function has already run
// when its result turns out not to be awaitable: that result is dropped and
// the client carries on, saying so once per callback at ERROR, rather than
// failing the quote, the connection or the reconnection it was called for.
#include "client.hpp"
#include "support.hpp"

namespace qt {

namespace {

const char* role_name(CallbackRole role) {
    switch (role) {
        case CB_MESSAGE: return "message_update_callback";
        case CB_ERROR: return "error_callback";
        case CB_OPEN: return "open_callback";
        case CB_CLOSE: return "close_callback";
    }
    return "callback";
}

// The callback as a user recognises it: its qualified name, else its repr.
Ref callback_name(PyObject* cb) {
    PyObject* qualname = nullptr;
    if (PyObject_GetOptionalAttr(cb, S(__qualname__), &qualname) < 0) PyErr_Clear();
    Ref name = Ref::steal(qualname);
    if (name && PyUnicode_Check(name.get())) return name;
    return own(PyObject_Repr(cb));
}

// Why `result` cannot be run on `loop`, or nullptr when it can: a coroutine
// or an awaitable of that loop.
const char* unrunnable(PyObject* asyncio, PyObject* loop, PyObject* result) {
    // A generator (a generator-based coroutine among them) and an async
    // generator are not awaitable: their bodies have not run.
    if (PyGen_Check(result)) return "a generator: its body was not run";
    if (PyAsyncGen_CheckExact(result)) return "an async generator: its body was not run";
    PyAsyncMethods* am = Py_TYPE(result)->tp_as_async;
    if (!am || !am->am_await) return "which is not awaitable: it ran, and what it returned is dropped";
    Ref is_future = call_method(asyncio, S(isfuture), result);
    if (truthy(is_future.get())) {
        Ref its_loop = call_method(result, S(get_loop));
        if (its_loop.get() != loop) return "a Future of another event loop: the client's loop cannot await it";
    }
    return nullptr;
}

void report_unrunnable(Quotra* self, CallbackRole role, PyObject* cb, PyObject* result, const char* why) {
    if (self->callbacks_warned & role) return;
    self->callbacks_warned |= role;
    Ref name = callback_name(cb);
    Ref line =
        own(PyUnicode_FromFormat("%s %U returned %.200R, %s. Define it with async def (reported once for "
                                 "this callback).",
                                 role_name(role), name.get(), result, why));
    log(S(error), line.get());
}

void ensure_future_on(PyObject* asyncio, PyObject* loop, PyObject* result) {
    Ref ensure_future = getattr(asyncio, S(ensure_future));
    Ref kwargs = own(PyDict_New());
    check(PyDict_SetItem(kwargs.get(), S(loop), loop));
    Ref args = own(PyTuple_Pack(1, result));
    own(PyObject_Call(ensure_future.get(), args.get(), kwargs.get()));
}

}  // namespace

void schedule_result(Quotra* self, PyObject* loop, CallbackRole role, PyObject* cb, PyObject* result) {
    Ref asyncio = global(S(asyncio));
    {
        Ref is_coro = call_method(asyncio.get(), S(iscoroutine), result);
        if (truthy(is_coro.get())) {
            call_method(loop, S(create_task), result);
            return;
        }
    }
    if (const char* why = unrunnable(asyncio.get(), loop, result)) {
        report_unrunnable(self, role, cb, result, why);
        return;
    }
    ensure_future_on(asyncio.get(), loop, result);
}

void schedule_quote_result(Quotra* self, PyObject* loop, PyObject* cb, PyObject* result) {
    Ref asyncio = global(S(asyncio));
    {
        Ref is_coro = call_method(asyncio.get(), S(iscoroutine), result);
        if (truthy(is_coro.get())) {
            call_method(loop, S(create_task), result);
            return;
        }
    }
    const char* why = unrunnable(asyncio.get(), loop, result);
    if (!why) {
        ensure_future_on(asyncio.get(), loop, result);
        return;
    }
    // As create_task would refuse it: a TypeError for the error callback,
    // and one line for the callback so that it is seen without one.
    report_unrunnable(self, CB_MESSAGE, cb, result, why);
    Ref name = callback_name(cb);
    Ref text = own(PyUnicode_FromFormat("message_update_callback %U returned %.200R: a coroutine was expected (%s)",
                                        name.get(), result, why));
    raise_object(PyExc_TypeError, text.get());
}

void run_callback(Quotra* self, PyObject* loop, CallbackRole role, PyObject* cb, PyObject* arg) {
    Ref create = getattr(loop, S(create_task));  // a loop without it fails before user code runs
    Ref result;
    try {
        result = call(cb, arg);
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        // As if its coroutine had raised: reported by the loop, while the
        // connection event it was called for takes its course.
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref name = callback_name(cb);
        Ref message = own(PyUnicode_FromFormat("%s %U raised", role_name(role), name.get()));
        Ref context = own(PyDict_New());
        check(PyDict_SetItem(context.get(), S(message), message.get()));
        check(PyDict_SetItem(context.get(), S(exception), exc.get()));
        call_method(loop, S(call_exception_handler), context.get());
        return;
    }
    if (PyCoro_CheckExact(result.get())) {
        call(create.get(), result.get());
        return;
    }
    schedule_result(self, loop, role, cb, result.get());
}

}  // namespace qt
