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

void report_not_awaitable(Quotra* self, CallbackRole role, PyObject* cb, PyObject* result) {
    if (self->callbacks_warned & role) return;
    self->callbacks_warned |= role;
    Ref name = callback_name(cb);
    Ref line = own(
        PyUnicode_FromFormat("%s %U returned %.200R, which is not awaitable: it ran, and what it returned is dropped. "
                             "Define it with async def (reported once for this callback).",
                             role_name(role), name.get(), result));
    log(S(error), line.get());
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
    PyAsyncMethods* am = Py_TYPE(result)->tp_as_async;
    if (!am || !am->am_await) {
        report_not_awaitable(self, role, cb, result);
        return;
    }
    Ref ensure_future = getattr(asyncio.get(), S(ensure_future));
    Ref kwargs = own(PyDict_New());
    check(PyDict_SetItem(kwargs.get(), S(loop), loop));
    Ref args = own(PyTuple_Pack(1, result));
    own(PyObject_Call(ensure_future.get(), args.get(), kwargs.get()));
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
