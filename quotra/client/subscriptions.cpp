// Subscriptions: the one routine that sends to the service, the user's
// subscribe/unsubscribe and the resubscription of every new connection.
// The Python-level bodies run on worker threads of the loop's executor.
#include "client.hpp"
#include "support.hpp"

namespace qt {

namespace {

// A resubscription in flight, listed in the client's `resubscribing` until
// its task is done: [instruments taken out of the set, the transport they
// were taken for, a transport whose connection opened while some of them
// were out of the set or None, and those it missed].
enum ResubscriptionItem : Py_ssize_t { RS_INSTRUMENTS, RS_TAKEN_FOR, RS_MISSED_BY, RS_MISSED, RS_SIZE };

Ref new_resubscription(PyObject* instruments, PyObject* transport) {
    Ref record = own(PyList_New(RS_SIZE));
    PyList_SET_ITEM(record.get(), RS_INSTRUMENTS, Py_NewRef(instruments));
    PyList_SET_ITEM(record.get(), RS_TAKEN_FOR, Py_NewRef(transport));
    PyList_SET_ITEM(record.get(), RS_MISSED_BY, Py_NewRef(Py_None));
    PyList_SET_ITEM(record.get(), RS_MISSED, Py_NewRef(Py_None));
    return record;
}

// The list is reachable through gc.get_referents(client), so its shape is
// checked rather than trusted.
Ref record_item(PyObject* record, ResubscriptionItem i) {
    if (!PyList_CheckExact(record) || PyList_GET_SIZE(record) != RS_SIZE) system_error("corrupt resubscription record");
    return newref(PyList_GET_ITEM(record, i));
}

// Takes a record off the client's list of resubscriptions in flight.
void forget(PyObject* pending, PyObject* record) {
    if (!PyList_CheckExact(pending)) return;
    for (Py_ssize_t i = PyList_GET_SIZE(pending); i-- > 0;) {
        if (PyList_GET_ITEM(pending, i) != record) continue;
        check(PySequence_DelItem(pending, i));
        return;  // listed once; and the release may have run code that changed the list
    }
}

void watch_resubscription(PyObject* client, PyObject* coro, PyObject* record);

// The way asyncio reports a task's exception that nobody retrieved; the
// done-callback below has to retrieve it to see the failure.
void report_failure(PyObject* loop, PyObject* task, PyObject* exc) {
    Ref context = own(PyDict_New());
    check(PyDict_SetItem(context.get(), S(message), S(task_exception_never_retrieved)));
    check(PyDict_SetItem(context.get(), S(exception), exc));
    check(PyDict_SetItem(context.get(), S(task), task));
    call_method(loop, S(call_exception_handler), context.get());
}

// Runs when a resubscription's subscribe task is done; closure: (client,
// record). A failed or cancelled send puts the instruments back, so that the
// subscription set is never lost, and a failure is reported, never
// swallowed. A connection that opened while they were out of the set was
// subscribed to the rest of it by its own resubscription: these instruments
// are what it missed, and they go to it now (they are in the set by then, so
// that send is in flight for no one).
PyObject* restore_impl(PyObject* func, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* closure = function_closure(func);  // borrowed
        Ref client = newref(PyTuple_GET_ITEM(closure, 0));
        Ref record = newref(PyTuple_GET_ITEM(closure, 1));
        Quotra* q = as_quotra(client.get());
        forget(newref(q->resubscribing).get(), record.get());
        Ref data = record_item(record.get(), RS_INSTRUMENTS);
        PyObject* task = params[0];
        Ref cancelled = call_method(task, S(cancelled));
        bool was_cancelled = truthy(cancelled.get());
        Ref exc = was_cancelled ? newref(Py_None) : call_method(task, S(exception));
        if (was_cancelled || exc.get() != Py_None) {
            Ref tokens = newref(q->tokens_set);
            if (tokens.get() != Py_None) call_method(tokens.get(), S(update), data.get());
        }
        Ref loop = newref(q->loop);
        Ref missed_by = record_item(record.get(), RS_MISSED_BY);
        Ref missed = record_item(record.get(), RS_MISSED);
        if (!was_cancelled && missed_by.get() != Py_None && missed_by.get() == q->transport &&
            !(PyList_CheckExact(missed.get()) && PyList_GET_SIZE(missed.get()) == 0)) {
            Ref subscribe = getattr(client.get(), S(subscribe));
            Ref coro = call_kw(subscribe.get(), 0, state.kw_instruments, missed.get());
            Ref again = new_resubscription(missed.get(), missed_by.get());
            watch_resubscription(client.get(), coro.get(), again.get());
        }
        if (exc.get() != Py_None) report_failure(loop.get(), task, exc.get());
        Py_RETURN_NONE;
    });
}
const char* const restore_params[] = {"task", nullptr};
const FunctionDef restore_def = {
    "_restore_subscriptions", "Quotra._restore_subscriptions", restore_params, false, false, false, restore_impl};

// On the loop thread: runs `coro`, the subscribe of the record's
// instruments, as a task watched by restore_impl.
void watch_resubscription(PyObject* client, PyObject* coro, PyObject* record) {
    Ref loop = newref(as_quotra(client)->loop);
    Ref task = call_method(loop.get(), S(create_task), coro);
    Ref restore_closure = own(PyTuple_Pack(2, client, record));
    Ref restore = function_new(&restore_def, restore_closure.get());
    call_method(task.get(), S(add_done_callback), restore.get());
}

// The loop-thread half of a resubscription; closure: (client, coroutine, record).
PyObject* resubscribe_on_loop_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref closure = newref(function_closure(func));
        PyObject* c = closure.get();
        watch_resubscription(PyTuple_GET_ITEM(c, 0), PyTuple_GET_ITEM(c, 1), PyTuple_GET_ITEM(c, 2));
        Py_RETURN_NONE;
    });
}
const FunctionDef resubscribe_on_loop_def = {
    "_resubscribe_on_loop", "Quotra._resubscribe_on_loop", no_params, false, false, false, resubscribe_on_loop_impl};

// The connection of `transport` opened while instruments of these
// resubscriptions were out of the set, so its own resubscription, about to
// take the set, cannot send them: note which it missed.
void mark_missed(PyObject* pending, PyObject* transport, PyObject* tokens) {
    if (!PyList_CheckExact(pending) || !PySet_Check(tokens)) return;
    Ref records = own(PyList_GetSlice(pending, 0, PyList_GET_SIZE(pending)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i) {
        PyObject* record = PyList_GET_ITEM(records.get(), i);  // borrowed from the copy
        if (record_item(record, RS_TAKEN_FOR).get() == transport) continue;
        Ref taken = record_item(record, RS_INSTRUMENTS);
        if (!PyList_Check(taken.get())) continue;
        Ref missed = own(PyList_New(0));
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(taken.get()); ++k) {
            Ref item = newref(PyList_GET_ITEM(taken.get(), k));  // hashing runs Python code
            if (!check(PySet_Contains(tokens, item.get()))) check(PyList_Append(missed.get(), item.get()));
        }
        if (PyList_GET_SIZE(missed.get()) == 0) continue;
        check(PyList_SetItem(record, RS_MISSED_BY, Py_NewRef(transport)));
        check(PyList_SetItem(record, RS_MISSED, missed.release()));
    }
}

// Keeps the items of `list` that are not in `gone`, in place: the list may be
// the argument of a resubscription's subscribe that has not yet run.
void drop_items(PyObject* list, PyObject* gone) {
    if (!PyList_CheckExact(list)) return;
    Ref kept = own(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = newref(PyList_GET_ITEM(list, i));
        int found = PySet_Contains(gone, item.get());
        if (found < 0) {
            PyErr_Clear();  // an unhashable item cannot have been unsubscribed
            found = 0;
        }
        if (!found) check(PyList_Append(kept.get(), item.get()));
    }
    if (PyList_GET_SIZE(kept.get()) != PyList_GET_SIZE(list))
        check(PyList_SetSlice(list, 0, PyList_GET_SIZE(list), kept.get()));
}

// An unsubscribe while resubscriptions hold instruments out of the set: they
// are taken out of what each will send and put back, so that the set keeps
// what the user asked for. Done before the unsubscribe is sent: a
// resubscription that sends first names them before the unsubscribe does.
void withdraw_from_resubscriptions(Quotra* self, PyObject* instruments) {
    Ref pending = newref(self->resubscribing);
    if (!PyList_CheckExact(pending.get()) || PyList_GET_SIZE(pending.get()) == 0) return;
    Ref gone = own(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(instruments); ++i) {
        Ref item = newref(PyList_GET_ITEM(instruments, i));
        if (PySet_Add(gone.get(), item.get()) < 0) PyErr_Clear();  // unhashable: the set refuses it later
    }
    Ref records = own(PyList_GetSlice(pending.get(), 0, PyList_GET_SIZE(pending.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i) {
        PyObject* record = PyList_GET_ITEM(records.get(), i);  // borrowed from the copy
        drop_items(record_item(record, RS_INSTRUMENTS).get(), gone.get());
        drop_items(record_item(record, RS_MISSED).get(), gone.get());
    }
}

void check_instruments(PyObject* instruments) {
    if (!PyList_CheckExact(instruments)) {
        type_error("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "instruments", "list",
                   Py_TYPE(instruments)->tp_name);
    }
}

PyObject* change_subscriptions(PyObject* const* p, const char* fname, PyObject* key, PyObject* set_op) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Quotra* self = self_quotra(p[0], fname);
        PyObject* instruments = p[1];
        check_instruments(instruments);
        if (set_op == S(difference_update)) withdraw_from_resubscriptions(self, instruments);
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
        Ref transport = newref(self->transport);
        Ref tokens = newref(self->tokens_set);
        {
            Ref pending = newref(self->resubscribing);
            mark_missed(pending.get(), transport.get(), tokens.get());
        }
        if (tokens.get() == Py_None || !truthy(tokens.get())) return 0;
        // Listed before the set is emptied, so that an unsubscribe from then
        // on finds the instruments where they are.
        Ref data = own(PySequence_List(tokens.get()));
        Ref record = new_resubscription(data.get(), transport.get());
        Ref pending = newref(self->resubscribing);
        if (!PyList_CheckExact(pending.get())) {
            pending = own(PyList_New(0));
            set_field(self->resubscribing, pending.get());
        }
        check(PyList_Append(pending.get(), record.get()));
        try {
            call_method(tokens.get(), S(clear));
            Ref loop = newref(self->loop);
            Ref subscribe = getattr(reinterpret_cast<PyObject*>(self), S(subscribe));
            Ref coro = call_kw(subscribe.get(), 0, state.kw_instruments, data.get());
            Ref closure = own(PyTuple_Pack(3, reinterpret_cast<PyObject*>(self), coro.get(), record.get()));
            Ref fn = function_new(&resubscribe_on_loop_def, closure.get());
            call_method(loop.get(), S(call_soon_threadsafe), fn.get());
        } catch (const PyError&) {
            PyObject* exc = PyErr_GetRaisedException();
            forget(pending.get(), record.get());
            // Not handed to the loop: the instruments go back into the set,
            // which must keep what the user asked for.
            PyObject* back = PyObject_CallMethodOneArg(tokens.get(), S(update), data.get());
            if (back) {
                Py_DECREF(back);
            } else {
                PyErr_Clear();  // the first error is the one to report
            }
            PyErr_SetRaisedException(exc);
            throw;
        }
        return 0;
    });
}

const FunctionDef subscribe_def = {"subscribe", "Quotra.subscribe", instruments_params, false, false,
                                   false,       subscribe_impl};
const FunctionDef unsubscribe_def = {"unsubscribe", "Quotra.unsubscribe", instruments_params, false, false,
                                     false,         unsubscribe_impl};
const FunctionDef resubscribe_def = {"_resubscribe", "Quotra._resubscribe", self_params, false, false,
                                     false,          resubscribe_impl};

}  // namespace qt
