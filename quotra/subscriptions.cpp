// Subscriptions: the one routine that sends to the service, the user's
// subscribe/unsubscribe and the resubscription of every new connection.
// The Python-level bodies run on worker threads of the loop's executor.
#include "client.hpp"
#include "support.hpp"

namespace qt {

namespace {

// Runs when a resubscription's subscribe task is done; closure: (client,
// list of instruments, the transport current when they were taken out of the
// set). A failed send puts the instruments back, so that it never loses the
// subscription set. And a connection that opened while they were out of the
// set found it without them and sent nothing of them: the whole set goes to
// that connection now.
PyObject* restore_impl(PyObject* func, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* closure = function_closure(func);  // borrowed
        Ref client = newref(PyTuple_GET_ITEM(closure, 0));
        PyObject* task = params[0];
        Ref cancelled = call_method(task, S(cancelled));
        bool was_cancelled = truthy(cancelled.get());
        bool failed = was_cancelled;
        if (!was_cancelled) {
            Ref exc = call_method(task, S(exception));
            failed = exc.get() != Py_None;
        }
        Quotra* q = as_quotra(client.get());
        if (failed) {
            Ref tokens = newref(q->tokens_set);
            if (tokens.get() != Py_None) call_method(tokens.get(), S(update), PyTuple_GET_ITEM(closure, 1));
        }
        if (!was_cancelled && q->transport != PyTuple_GET_ITEM(closure, 2)) {
            Ref loop = newref(q->loop);
            Ref resubscribe = getattr(client.get(), S(_resubscribe));
            schedule(loop.get(), resubscribe.get());
        }
        Py_RETURN_NONE;
    });
}
const char* const restore_params[] = {"task", nullptr};
const FunctionDef restore_def = {"_restore_subscriptions", "Quotra._restore_subscriptions", restore_params, false,
                                 false, false, restore_impl};

// The loop-thread half of a resubscription: create the task and watch it.
// closure: (client, coroutine, list of instruments, transport when taken)
PyObject* resubscribe_on_loop_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* closure = function_closure(func);  // borrowed
        Quotra* q = as_quotra(PyTuple_GET_ITEM(closure, 0));
        Ref loop = newref(q->loop);
        Ref task = call_method(loop.get(), S(create_task), PyTuple_GET_ITEM(closure, 1));
        Ref restore_closure = own(
            PyTuple_Pack(3, PyTuple_GET_ITEM(closure, 0), PyTuple_GET_ITEM(closure, 2), PyTuple_GET_ITEM(closure, 3)));
        Ref restore = function_new(&restore_def, restore_closure.get());
        call_method(task.get(), S(add_done_callback), restore.get());
        Py_RETURN_NONE;
    });
}
const FunctionDef resubscribe_on_loop_def = {"_resubscribe_on_loop", "Quotra._resubscribe_on_loop", no_params, false,
                                             false, false, resubscribe_on_loop_impl};

void check_instruments(PyObject* instruments) {
    if (!PyList_CheckExact(instruments)) {
        type_error("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   "instruments", "list", Py_TYPE(instruments)->tp_name);
    }
}

PyObject* change_subscriptions(PyObject* const* p, const char* fname, PyObject* key, PyObject* set_op) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Quotra* self = self_quotra(p[0], fname);
        PyObject* instruments = p[1];
        check_instruments(instruments);
        if (self->vtab->ws_send(self, key, instruments) < 0) raise();
        Ref tokens = newref(self->tokens_set);
        call_method(tokens.get(), set_op, instruments);
        return Py_NewRef(Py_None);
    });
}

PyObject* subscribe_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return change_subscriptions(p, "subscribe", S(subscribe), S(update));
}

PyObject* unsubscribe_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return change_subscriptions(p, "unsubscribe", S(unsubscribe), S(difference_update));
}

PyObject* resubscribe_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Quotra* self = self_quotra(p[0], "_resubscribe");
        if (self->vtab->resubscribe(self) < 0) raise();
        return Py_NewRef(Py_None);
    });
}

const char* const instruments_params[] = {"self", "instruments", nullptr};

}  // namespace

int vt_ws_send(Quotra* self, PyObject* key, PyObject* value) {
    return boundary<int>(-1, [&]() -> int {
        Ref msg = own(PyDict_New());
        check(PyDict_SetItem(msg.get(), key, value));
        Ref msgtype_enum = global(S(WSMsgType));
        Ref text = getattr(msgtype_enum.get(), S(TEXT));
        long mt = PyLong_AsLong(text.get());
        if (mt == -1 && PyErr_Occurred()) raise();
        Ref orjson = global(S(orjson));
        Ref dumps = getattr(orjson.get(), S(dumps));
        Ref payload = call(dumps.get(), msg.get());
        Ref transport = newref(self->transport);
        // Before the first connection there is nothing to send on; the set is
        // still updated and the first connection's resubscription sends it.
        if (transport.get() == Py_None) return 0;
        if (!PyObject_TypeCheck(transport.get(), state.WSTransport)) {
            type_error("Cannot convert %.200s to %.200s", Py_TYPE(transport.get())->tp_name,
                       state.WSTransport->tp_name);
        }
        transport_send(transport.get(), static_cast<picows::WSMsgType>(mt), payload.get());
        return 0;
    });
}

int vt_resubscribe(Quotra* self) {
    return boundary<int>(-1, [&]() -> int {
        Ref tokens = newref(self->tokens_set);
        if (tokens.get() == Py_None || !truthy(tokens.get())) return 0;
        Ref data = own(PySequence_List(tokens.get()));
        Ref transport = newref(self->transport);
        call_method(tokens.get(), S(clear));
        Ref loop = newref(self->loop);
        Ref subscribe = getattr(reinterpret_cast<PyObject*>(self), S(subscribe));
        Ref coro = call_kw(subscribe.get(), 0, state.kw_instruments, data.get());
        Ref closure = own(PyTuple_Pack(4, reinterpret_cast<PyObject*>(self), coro.get(), data.get(), transport.get()));
        Ref fn = function_new(&resubscribe_on_loop_def, closure.get());
        call_method(loop.get(), S(call_soon_threadsafe), fn.get());
        return 0;
    });
}

const FunctionDef subscribe_def = {"subscribe", "Quotra.subscribe", instruments_params, false, false, false,
                                   subscribe_impl};
const FunctionDef unsubscribe_def = {"unsubscribe", "Quotra.unsubscribe", instruments_params, false, false, false,
                                     unsubscribe_impl};
const FunctionDef resubscribe_def = {"_resubscribe", "Quotra._resubscribe", self_params, false, false, false,
                                     resubscribe_impl};

}  // namespace qt
