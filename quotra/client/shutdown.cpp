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

CoroBody shutdown_body(Coroutine* co) {
    Ref awaitable;
    {
        Ref asyncio = global(S(asyncio));
        Ref all = call_method(asyncio.get(), S(all_tasks));
        Ref tasks = own(PyList_New(0));
        Ref it = own(PyObject_GetIter(all.get()));
        while (Ref t = Ref::steal(PyIter_Next(it.get()))) {
            Ref current = call_method(asyncio.get(), S(current_task));
            if (t.get() != current.get()) check(PyList_Append(tasks.get(), t.get()));
        }
        if (PyErr_Occurred()) raise();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tasks.get()); ++i)
            call_method(PyList_GET_ITEM(tasks.get(), i), S(cancel));
        Ref gather = getattr(asyncio.get(), S(gather));
        Ref args = own(PyList_AsTuple(tasks.get()));
        Ref kwargs = own(PyDict_New());
        check(PyDict_SetItem(kwargs.get(), S(return_exceptions), Py_True));
        awaitable = own(PyObject_Call(gather.get(), args.get(), kwargs.get()));
    }
    co_await py_await(std::move(awaitable));
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
