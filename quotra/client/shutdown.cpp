// The orderly end: the SIGINT/SIGTERM handlers, the wait for the server's
// close, and the shutdown that cancels every other task and stops the loop.
#include "client.hpp"
#include "native_coroutine.hpp"
#include "support.hpp"

namespace qt {

namespace {

// The zero-argument callback the loop runs on SIGINT/SIGTERM; closure: the client.
PyObject* signal_lambda_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = function_closure(func);  // borrowed; the function owns it
        Ref self_ref = newref(self);
        Ref loop = newref(as_quotra(self)->loop);
        // The handler's task starts after whatever the loop has ready: the
        // quotes waiting for a consumer far behind must not come first.
        cancel_waiting_quotes(as_quotra(self));
        Ref handler = getattr(self, S(stop_signal_handler));
        return schedule(loop.get(), handler.get()).release();
    });
}
const FunctionDef signal_lambda_def = {
    "<lambda>", "Quotra.add_signal_handler.<locals>.<lambda>", no_params, false, false, false, signal_lambda_impl};

enum StopSignalHandlerLocal : int { SSH_SELF };

CoroBody stop_signal_handler_body(Coroutine* co) {
    Quotra* self = as_quotra(co->locals[SSH_SELF]);
    log(S(info), S(user_interrupt));
    own(self->vtab->close_websocket(self, 0));
    bool timed_out = false;
    try {
        Ref awaitable;
        {
            Ref asyncio = global(S(asyncio));
            Ref wait_for = getattr(asyncio.get(), S(wait_for));
            Ref stop_event = newref(self->stop_event);
            Ref waiter = call_method(stop_event.get(), S(wait));
            Ref timeout = own(PyLong_FromLong(STOP_WAIT_SECONDS));
            awaitable = call_kw(wait_for.get(), 1, state.kw_timeout, waiter.get(), timeout.get());
        }
        co_await py_await(std::move(awaitable));
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_TimeoutError)) throw;
        PyErr_Clear();
        timed_out = true;
    }
    if (timed_out && self->vtab->initiate_shutdown(self) < 0) raise();
    co_return Ref();
}

PyObject* stop_signal_handler_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        self_quotra(p[0], "stop_signal_handler");
        return coroutine_new(S(stop_signal_handler), S(qn_stop_signal_handler), {p[0]}, stop_signal_handler_body)
            .release();
    });
}

enum ShutdownLocal : int { SD_LOOP };

// The tasks of the running loop but the current one, each cancelled; None
// when there is none.
Ref cancel_others(PyObject* asyncio) {
    Ref all = call_method(asyncio, S(all_tasks));
    Ref tasks = own(PyList_New(0));
    Ref it = own(PyObject_GetIter(all.get()));
    while (Ref t = Ref::steal(PyIter_Next(it.get()))) {
        Ref current = call_method(asyncio, S(current_task));
        if (t.get() != current.get()) check(PyList_Append(tasks.get(), t.get()));
    }
    if (PyErr_Occurred()) raise();
    if (PyList_GET_SIZE(tasks.get()) == 0) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tasks.get()); ++i)
        call_method(PyList_GET_ITEM(tasks.get(), i), S(cancel));
    Ref gather = getattr(asyncio, S(gather));
    Ref args = own(PyList_AsTuple(tasks.get()));
    Ref kwargs = own(PyDict_New());
    check(PyDict_SetItem(kwargs.get(), S(return_exceptions), Py_True));
    return own(PyObject_Call(gather.get(), args.get(), kwargs.get()));
}

// Tasks made while the first ones finish (a close callback's, a reconnection
// the listener scheduled) are cancelled and awaited in turn, a few rounds at
// most: a task left pending when the loop stops is destroyed pending, and its
// coroutine, never awaited, warns at exit.
constexpr int SHUTDOWN_ROUNDS = 4;

CoroBody shutdown_body(Coroutine* co) {
    for (int round = 0; round < SHUTDOWN_ROUNDS; ++round) {
        Ref awaitable;
        {
            Ref asyncio = global(S(asyncio));
            awaitable = cancel_others(asyncio.get());
        }
        if (!awaitable) break;
        co_await py_await(std::move(awaitable));
    }
    call_method(co->locals[SD_LOOP], S(stop));
    co_return Ref();
}

PyObject* shutdown_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return coroutine_new(S(shutdown), S(qn_shutdown), {p[0]}, shutdown_body).release();
    });
}

const char* const loop_params[] = {"loop", nullptr};

}  // namespace

namespace {

// The code object of the message callback's coroutines, when it is a Python
// function or a method of one; else nullptr (its tasks are left to the shutdown).
Ref callback_code(PyObject* cb) {
    PyObject* fn = nullptr;
    if (PyObject_GetOptionalAttr(cb, S(dunder_func), &fn) < 0) raise();
    Ref func = fn ? Ref::steal(fn) : newref(cb);
    if (!PyFunction_Check(func.get())) return Ref();
    return newref(PyFunction_GET_CODE(func.get()));
}

// A coroutine that has neither started nor finished.
bool not_started(PyObject* coro) {
    Ref running = getattr(coro, S(cr_running));
    Ref suspended = getattr(coro, S(cr_suspended));
    Ref frame = getattr(coro, S(cr_frame));
    return !truthy(running.get()) && !truthy(suspended.get()) && frame.get() != Py_None;
}

void cancel_waiting(Quotra* self) {
    Ref cb = newref(self->message_callback);
    Ref loop = newref(self->loop);
    Ref asyncio = global(S(asyncio));
    Ref running = call_method(asyncio.get(), S(_get_running_loop));
    // The loop's thread only: task.cancel() and the transport belong to it (a
    // close from another thread leaves the deferred ones to the round's end).
    if (running.get() != loop.get()) return;
    drop_deferred_quotes(self);
    Ref code = callback_code(cb.get());
    if (!code) return;
    Ref all = call_method(asyncio.get(), S(all_tasks), loop.get());
    Ref tasks = own(PySequence_List(all.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tasks.get()); ++i) {
        PyObject* t = PyList_GET_ITEM(tasks.get(), i);  // borrowed: the list holds it
        Ref coro = call_method(t, S(get_coro));
        if (!PyCoro_CheckExact(coro.get())) continue;
        Ref its_code = getattr(coro.get(), S(cr_code));
        if (its_code.get() == code.get() && not_started(coro.get())) call_method(t, S(cancel));
    }
}

}  // namespace

void cancel_waiting_quotes(Quotra* self) {
    // A help to the close, never a reason for it to fail.
    try {
        cancel_waiting(self);
    } catch (const PyError&) {
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(self));
    }
}

int vt_add_signal_handler(Quotra* self) {
    return boundary<int>(-1, [&]() -> int {
        PyObject* names_tuple = state.signal_names;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names_tuple); ++i) {
            Ref add = getattr(self->loop, S(add_signal_handler));
            Ref signal_mod = global(S(signal));
            Ref signum = getattr(signal_mod.get(), PyTuple_GET_ITEM(names_tuple, i));
            Ref cb = function_new(&signal_lambda_def, reinterpret_cast<PyObject*>(self));
            call(add.get(), signum.get(), cb.get());
        }
        return 0;
    });
}

int vt_initiate_shutdown(Quotra* self) {
    return boundary<int>(-1, [&]() -> int {
        log(S(info), S(ws_disconnected));
        self->started = false;
        self->shut_down = true;
        Ref loop = newref(self->loop);
        Ref call_soon = getattr(loop.get(), S(call_soon_threadsafe));
        Ref asyncio = global(S(asyncio));
        Ref create = getattr(asyncio.get(), S(create_task));
        Ref shutdown = getattr(reinterpret_cast<PyObject*>(&QuotraType), S(shutdown));
        Ref coro = call(shutdown.get(), loop.get());
        call(call_soon.get(), create.get(), coro.get());
        Ref connected = newref(self->IS_CONNECTED);
        call_method(connected.get(), S(clear));
        return 0;
    });
}

const FunctionDef stop_signal_handler_def = {
    "stop_signal_handler", "Quotra.stop_signal_handler", self_params, true, true, true, stop_signal_handler_impl};
const FunctionDef shutdown_def = {"shutdown", "Quotra.shutdown", loop_params, false, false, true, shutdown_impl};

}  // namespace qt
