// The Quotra client: fields, construction, native table entries, quote
// decoding, subscriptions, the connection coroutine, signals and shutdown.
#include <condition_variable>
#include <mutex>

#include "layouts.hpp"
#include "module.hpp"
#include "native_coroutine.hpp"
#include "native_function.hpp"
#include "pickling.hpp"

namespace qt {

QuotraVTable quotra_vtable;

namespace {

// ---------------------------------------------------------------- helpers

Quotra* self_quotra(PyObject* self, const char* fname) {
    if (!PyObject_TypeCheck(self, &QuotraType)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a 'quotra.quotra.Quotra' object but received a '%.200s'",
                     fname, Py_TYPE(self)->tp_name);
        raise();
    }
    return as_quotra(self);
}

bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// A function of a plain module, as attribute lookup would return it: for names
// the module type itself does not define, that is the module dictionary's
// entry, and reading it directly saves the generic lookup on every quote.
Ref module_function(PyObject* mod, PyObject* name) {
    if (PyModule_CheckExact(mod)) {
        PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(mod), name);  // borrowed
        if (v) return newref(v);
        if (PyErr_Occurred()) raise();
    }
    return getattr(mod, name);
}

void log(PyObject* level, PyObject* text) {
    Ref logger = global(S(logger));
    call_method(logger.get(), level, text);
}

// Our own function object for a method, as stored in Quotra's class dictionary;
// used to recognise "not overridden" in native-entry dispatch.
PyObject* own_method(PyObject* name) { return PyDict_GetItemWithError(QuotraType.tp_dict, name); }

// ---------------------------------------------------------------- type slots

PyObject* Quotra_new(PyTypeObject* type, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* o;
        if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)
            o = PyBaseObject_Type.tp_new(type, state.empty_tuple, nullptr);
        else
            o = type->tp_alloc(type, 0);
        if (!o) raise();
        Quotra* q = as_quotra(o);
        q->vtab = &quotra_vtable;
        for (PyObject** f : {&q->loop, &q->transport, &q->pricetape, &q->tokens_set, &q->ws_url, &q->disconnect_msg,
                             &q->IS_CONNECTED, &q->stop_event, &q->message_callback, &q->open_callback,
                             &q->close_callback, &q->error_callback})
            *f = Py_NewRef(Py_None);
        q->disconnect_socket = 0;
        return o;
    });
}

int Quotra_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return boundary<int>(-1, [&]() -> int {
        static const char* const names[] = {"loop"};
        PyObject* loop;
        bind_init_args(args, kwds, names, 1, &loop);
        Quotra* q = as_quotra(self);
        Ref loop_ref = newref(loop);  // the old __loop may own the only other reference
        set_field(q->loop, loop);
        {
            Ref factory = global(S(pricetape));
            Ref msg = call(factory.get());
            set_field(q->pricetape, msg.get());
        }
        set_field(q->ws_url, state.default_url);
        set_field(q->open_callback, Py_None);
        set_field(q->close_callback, Py_None);
        set_field(q->message_callback, Py_None);
        set_field(q->error_callback, Py_None);
        q->disconnect_socket = 0;
        set_field(q->disconnect_msg, state.closed_by_user_bytes);
        {
            Ref s = own(PySet_New(nullptr));
            set_field(q->tokens_set, s.get());
        }
        {
            Ref asyncio = global(S(asyncio));
            Ref event_cls = getattr(asyncio.get(), S(Event));
            Ref ev = call(event_cls.get());
            set_field(q->IS_CONNECTED, ev.get());
        }
        {
            Ref asyncio = global(S(asyncio));
            Ref event_cls = getattr(asyncio.get(), S(Event));
            Ref ev = call(event_cls.get());
            set_field(q->stop_event, ev.get());
        }
        if (q->vtab->add_signal_handler(q) < 0) raise();
        return 0;
    });
}

int Quotra_traverse(PyObject* self, visitproc visit, void* arg) {
    Quotra* q = as_quotra(self);
    Py_VISIT(q->loop);
    Py_VISIT(q->transport);
    Py_VISIT(q->pricetape);
    Py_VISIT(q->tokens_set);
    Py_VISIT(q->IS_CONNECTED);
    Py_VISIT(q->stop_event);
    Py_VISIT(q->message_callback);
    Py_VISIT(q->open_callback);
    Py_VISIT(q->close_callback);
    Py_VISIT(q->error_callback);
    return 0;
}

int Quotra_clear(PyObject* self) {
    Quotra* q = as_quotra(self);
    for (PyObject** f : {&q->loop, &q->transport, &q->pricetape, &q->tokens_set, &q->IS_CONNECTED, &q->stop_event,
                         &q->message_callback, &q->open_callback, &q->close_callback, &q->error_callback})
        set_field(*f, Py_None);
    return 0;
}

void Quotra_dealloc(PyObject* self) {
    if (Py_TYPE(self)->tp_finalize && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    Quotra* q = as_quotra(self);
    for (PyObject** f : {&q->loop, &q->transport, &q->pricetape, &q->tokens_set, &q->ws_url, &q->disconnect_msg,
                         &q->IS_CONNECTED, &q->stop_event, &q->message_callback, &q->open_callback,
                         &q->close_callback, &q->error_callback})
        Py_CLEAR(*f);
    Py_TYPE(self)->tp_free(self);
}

PyObject* Quotra_get_IS_CONNECTED(PyObject* self, void*) { return Py_NewRef(as_quotra(self)->IS_CONNECTED); }

int Quotra_set_IS_CONNECTED(PyObject* self, PyObject* value, void*) {
    set_field(as_quotra(self)->IS_CONNECTED, value ? value : Py_None);
    return 0;
}

PyGetSetDef Quotra_getset[] = {
    {"IS_CONNECTED", Quotra_get_IS_CONNECTED, Quotra_set_IS_CONNECTED, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- sending

// A send handed from a worker thread to the transport's loop thread (picows
// transports refuse other threads). The worker waits with the GIL released.
struct SendJob {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;       // guarded by mu
    bool abandoned = false;  // read and written with the GIL held
    PyObject* error = nullptr;  // owned; the exception the send raised
    ~SendJob() { Py_XDECREF(error); }
};

void send_job_capsule_free(PyObject* cap) {
    delete static_cast<SendJob*>(PyCapsule_GetPointer(cap, nullptr));
}

// closure: (capsule(SendJob), transport, msg_type int, payload)
PyObject* send_job_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    PyObject* closure = function_closure(func);  // borrowed
    auto* job = static_cast<SendJob*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(closure, 0), nullptr));
    if (!job || job->abandoned) Py_RETURN_NONE;
    auto* tr = reinterpret_cast<picows::WSTransport*>(PyTuple_GET_ITEM(closure, 1));
    auto mt = static_cast<picows::WSMsgType>(PyLong_AsLong(PyTuple_GET_ITEM(closure, 2)));
    PyObject* r = tr->vtab->send(tr, mt, PyTuple_GET_ITEM(closure, 3), 1, nullptr);
    if (r)
        Py_DECREF(r);
    else
        job->error = PyErr_GetRaisedException();
    {
        std::lock_guard<std::mutex> lk(job->mu);
        job->done = true;
    }
    job->cv.notify_all();
    Py_RETURN_NONE;
}

const char* const no_params[] = {nullptr};
const FunctionDef send_job_def = {"_send_on_loop", "Quotra._send_on_loop", no_params, false, false, false,
                                  send_job_impl};

bool loop_is_running(PyObject* loop) {
    Ref r = call_method(loop, S(is_running));
    return truthy(r.get());
}

void transport_send(PyObject* transport, picows::WSMsgType mt, PyObject* payload) {
    auto* tr = reinterpret_cast<picows::WSTransport*>(transport);
    if (tr->thread_id == PyThread_get_thread_ident()) {
        own(tr->vtab->send(tr, mt, payload, 1, nullptr));
        return;
    }
    PyObject* loop = tr->loop;  // borrowed from the transport, which we hold
    if (!loop || loop == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "the connection's event loop is gone; cannot send");
        raise();
    }
    Ref loop_ref = newref(loop);
    Ref closed = call_method(loop, S(is_closed));
    if (truthy(closed.get()) || !loop_is_running(loop)) {
        PyErr_SetString(PyExc_RuntimeError, "the client's event loop is not running; cannot send");
        raise();
    }
    auto* job = new SendJob();
    Ref cap = Ref::steal(PyCapsule_New(job, nullptr, send_job_capsule_free));
    if (!cap) {
        delete job;
        raise();
    }
    Ref mt_obj = own(PyLong_FromLong(mt));
    Ref closure = own(PyTuple_Pack(4, cap.get(), transport, mt_obj.get(), payload));
    Ref fn = function_new(&send_job_def, closure.get());
    call_method(loop, S(call_soon_threadsafe), fn.get());
    for (;;) {
        bool finished;
        Py_BEGIN_ALLOW_THREADS
        {
            // The lock must be given up before the GIL is taken back: the loop
            // thread takes it, GIL held, to report the send.
            std::unique_lock<std::mutex> lk(job->mu);
            finished = job->cv.wait_for(lk, std::chrono::milliseconds(100), [&] { return job->done; });
        }
        Py_END_ALLOW_THREADS
        if (finished) break;
        // The loop may have stopped after taking the job; never wait forever.
        bool running = false;
        Ref c = call_method(loop, S(is_closed));
        if (!truthy(c.get())) running = loop_is_running(loop);
        if (!running) {
            std::lock_guard<std::mutex> lk(job->mu);
            if (job->done) break;
            job->abandoned = true;
            PyErr_SetString(PyExc_RuntimeError, "the client's event loop stopped before the message was sent");
            raise();
        }
    }
    if (job->error) {
        PyErr_SetRaisedException(job->error);
        job->error = nullptr;
        raise();
    }
}

// ---------------------------------------------------------------- native table entries

int vt_add_signal_handler(Quotra* self);
int vt_ws_send(Quotra* self, PyObject* key, PyObject* value);
int vt_on_data_callback(Quotra* self, PyObject* payload);
int vt_resubscribe(Quotra* self);
PyObject* vt_start_websocket(Quotra* self, PyObject* cb, int skip_dispatch, StartWebsocketOpt* opt);
PyObject* vt_close_websocket(Quotra* self, int skip_dispatch);
int vt_initiate_shutdown(Quotra* self);

// The zero-argument callback the loop runs on SIGINT/SIGTERM; closure: the client.
PyObject* signal_lambda_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = function_closure(func);  // borrowed; the function owns it
        Ref self_ref = newref(self);
        Ref create = getattr(as_quotra(self)->loop, S(create_task));
        Ref handler = getattr(self, S(stop_signal_handler));
        Ref coro = call(handler.get());
        return call(create.get(), coro.get()).release();
    });
}
const FunctionDef signal_lambda_def = {"<lambda>", "Quotra.add_signal_handler.<locals>.<lambda>", no_params, false,
                                       false, false, signal_lambda_impl};

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
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(transport.get())->tp_name,
                         state.WSTransport->tp_name);
            raise();
        }
        transport_send(transport.get(), static_cast<picows::WSMsgType>(mt), payload.get());
        return 0;
    });
}

// The quote path: JSON, then base64, then the price message, then the user's callback.
int vt_on_data_callback(Quotra* self, PyObject* payload) {
    return boundary<int>(-1, [&]() -> int {
        Ref data;
        {
            Ref orjson = global(S(orjson));
            Ref loads = module_function(orjson.get(), S(loads));
            data = call(loads.get(), payload);
        }
        if (data.get() != Py_None && !PyDict_CheckExact(data.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data.get())->tp_name);
            raise();
        }
        Ref pricetape = newref(self->pricetape);
        try {
            {
                Ref parse = getattr(pricetape.get(), S(ParseFromString));
                Ref base64 = global(S(base64));
                Ref b64decode = module_function(base64.get(), S(b64decode));
                if (data.get() == Py_None) {
                    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
                    raise();
                }
                PyObject* text = PyDict_GetItemWithError(data.get(), S(message));  // borrowed
                if (!text) {
                    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, S(message));
                    raise();
                }
                Ref text_ref = newref(text);
                bool plain = b64decode.get() == state.b64decode && (PyUnicode_CheckExact(text) || PyBytes_CheckExact(text));
                Ref raw = call(plain ? state.a2b_base64 : b64decode.get(), text);
                call_kw(parse.get(), 0, state.kw_data, raw.get());
            }
            {
                Ref loop = newref(self->loop);
                Ref create = getattr(loop.get(), S(create_task));
                Ref as_dict = call_method(pricetape.get(), S(SerializeToDict));
                Ref cb = newref(self->message_callback);
                Ref coro = call(cb.get(), as_dict.get());
                call(create.get(), coro.get());
            }
        } catch (const PyError&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            Ref err_cb = newref(self->error_callback);
            if (truthy(err_cb.get())) {
                Ref loop = newref(self->loop);
                Ref create = getattr(loop.get(), S(create_task));
                Ref coro = call(err_cb.get(), exc.get());
                call(create.get(), coro.get());
            }
        }
        return 0;
    });
}

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
            Ref coro = call(resubscribe.get());
            call_method(loop.get(), S(create_task), coro.get());
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

PyObject* start_websocket_body(Quotra* self, PyObject* msg_cb, PyObject* err_cb, PyObject* open_cb,
                               PyObject* close_cb) {
    set_field(self->message_callback, msg_cb);
    set_field(self->open_callback, open_cb);
    set_field(self->close_callback, close_cb);
    set_field(self->error_callback, err_cb);
    Ref loop = newref(self->loop);
    Ref create = getattr(loop.get(), S(create_task));
    Ref start = getattr(reinterpret_cast<PyObject*>(self), S(start_ticker));
    Ref coro = call(start.get());
    call(create.get(), coro.get());
    return Py_NewRef(Py_None);
}

PyObject* vt_start_websocket(Quotra* self, PyObject* cb, int skip_dispatch, StartWebsocketOpt* opt) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* err_cb = Py_None;
        PyObject* open_cb = Py_None;
        PyObject* close_cb = Py_None;
        if (opt) {
            if (opt->n > 0) err_cb = opt->error_callback;
            if (opt->n > 1) open_cb = opt->open_callback;
            if (opt->n > 2) close_cb = opt->close_callback;
        }
        PyObject* o = reinterpret_cast<PyObject*>(self);
        if (!skip_dispatch && may_override(o)) {
            if (Ref override = find_override(o, S(start_websocket), own_method(S(start_websocket))))
                return call(override.get(), cb, err_cb, open_cb, close_cb).release();
        }
        return start_websocket_body(self, cb, err_cb, open_cb, close_cb);
    });
}

PyObject* close_websocket_body(Quotra* self) {
    self->disconnect_socket = 1;
    Ref transport = newref(self->transport);
    if (truthy(transport.get())) {
        if (!PyObject_TypeCheck(transport.get(), state.WSTransport)) {
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(transport.get())->tp_name,
                         state.WSTransport->tp_name);
            raise();
        }
        Ref codes = global(S(WSCloseCode));
        Ref ok = getattr(codes.get(), S(OK));
        long code = PyLong_AsLong(ok.get());
        if (code == -1 && PyErr_Occurred()) raise();
        Ref msg = newref(self->disconnect_msg);
        auto* tr = reinterpret_cast<picows::WSTransport*>(transport.get());
        picows::SendCloseOptArgs opt{2, static_cast<picows::WSCloseCode>(code), msg.get()};
        own(tr->vtab->send_close(tr, 1, &opt));
    }
    return Py_NewRef(Py_None);
}

PyObject* vt_close_websocket(Quotra* self, int skip_dispatch) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* o = reinterpret_cast<PyObject*>(self);
        if (!skip_dispatch && may_override(o)) {
            if (Ref override = find_override(o, S(close_websocket), own_method(S(close_websocket))))
                return call(override.get()).release();
        }
        return close_websocket_body(self);
    });
}

int vt_initiate_shutdown(Quotra* self) {
    return boundary<int>(-1, [&]() -> int {
        log(S(info), S(ws_disconnected));
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

// ---------------------------------------------------------------- Python methods

PyObject* start_websocket_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Quotra* self = self_quotra(p[0], "start_websocket");
        return start_websocket_body(self, p[1], p[2], p[3], p[4]);
    });
}

PyObject* close_websocket_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return close_websocket_body(self_quotra(p[0], "close_websocket"));
    });
}

void check_instruments(PyObject* instruments) {
    if (!PyList_CheckExact(instruments)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "instruments", "list", Py_TYPE(instruments)->tp_name);
        raise();
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

// ---- run_in_thread: decorator factory -> decorator(func) -> wrapper coroutine function

// The job run on the worker thread; closure: (func, args tuple, kwargs dict).
PyObject* thread_job_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* closure = function_closure(func);  // borrowed
        Ref kwargs = own(PyDict_Copy(PyTuple_GET_ITEM(closure, 2)));
        return own(PyObject_Call(PyTuple_GET_ITEM(closure, 0), PyTuple_GET_ITEM(closure, 1), kwargs.get())).release();
    });
}
const FunctionDef thread_job_def = {"<lambda>", "run_in_thread.<locals>.decorator.<locals>.wrapper.<locals>.<lambda>",
                                    no_params, false, false, false, thread_job_impl};

// locals: 0 func, 1 args, 2 kwargs
// Every body below builds its awaitable in a scope that closes before the
// await and hands it over to py_await: nothing the GC cannot see stays in the
// C++ frame across the suspension.
CoroBody wrapper_body(Coroutine* co) {
    Ref awaitable;
    {
        Ref asyncio = global(S(asyncio));
        Ref to_thread = getattr(asyncio.get(), S(to_thread));
        Ref closure = own(PyTuple_Pack(3, co->locals[0], co->locals[1], co->locals[2]));
        Ref job = function_new(&thread_job_def, closure.get());
        awaitable = call(to_thread.get(), job.get());
    }
    co_return co_await py_await(std::move(awaitable));
}

PyObject* wrapper_impl(PyObject* func, PyObject* const*, PyObject* varargs, PyObject* varkw) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static PyObject* name = PyUnicode_InternFromString("wrapper");
        static PyObject* qualname = PyUnicode_InternFromString("run_in_thread.<locals>.decorator.<locals>.wrapper");
        if (!name || !qualname) raise();
        return coroutine_new(name, qualname, {function_closure(func), varargs, varkw}, wrapper_body).release();
    });
}
const FunctionDef wrapper_def = {"wrapper", "run_in_thread.<locals>.decorator.<locals>.wrapper", no_params, true, true,
                                 true, wrapper_impl};

PyObject* decorator_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* target = p[0];
        Ref wrapper = function_new(&wrapper_def, target);
        Ref wraps = global(S(wraps));
        Ref apply = call(wraps.get(), target);
        return call(apply.get(), wrapper.get()).release();
    });
}
const char* const decorator_params[] = {"func", nullptr};
const FunctionDef decorator_def = {"decorator", "run_in_thread.<locals>.decorator", decorator_params, false, false,
                                   false, decorator_impl};

PyObject* run_in_thread_impl(PyObject*, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* { return function_new(&decorator_def).release(); });
}

// ---- stop_signal_handler

// locals: 0 self
CoroBody stop_signal_handler_body(Coroutine* co) {
    Quotra* self = as_quotra(co->locals[0]);
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
            Ref two = own(PyLong_FromLong(2));
            awaitable = call_kw(wait_for.get(), 1, state.kw_timeout, waiter.get(), two.get());
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

// ---- start_ticker

// The listener factory handed to ws_connect; closure: a one-item list holding
// the attempt's listener.
PyObject* listener_factory_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return Py_NewRef(PyList_GET_ITEM(function_closure(func), 0));
}
const FunctionDef listener_factory_def = {"<lambda>", "Quotra.start_ticker.<locals>.<lambda>", no_params, false, false,
                                          false, listener_factory_impl};

bool is_connection_error(PyObject* exc) {
    Ref socket_mod = global(S(socket));
    Ref gaierror = getattr(socket_mod.get(), S(gaierror));
    if (check(PyObject_IsInstance(exc, gaierror.get()))) return true;
    if (check(PyObject_IsInstance(exc, state.b_OSError))) return true;
    Ref wserror = global(S(WSError));
    return check(PyObject_IsInstance(exc, wserror.get())) != 0;
}

// locals: 0 self, 1 listener cell (list), 2 transport, 3 ssl context, 4 caught error
CoroBody start_ticker_body(Coroutine* co) {
    Quotra* self = as_quotra(co->locals[0]);
    bool reconnect = co->locals[1] == Py_True;
    set_field(co->locals[1], Py_None);
    for (;;) {
        {
            Ref ssl_mod = global(S(ssl));
            Ref ctx = call_method(ssl_mod.get(), S(create_default_context));
            set_field(co->locals[3], ctx.get());
            Ref listener_cls = newref(reinterpret_cast<PyObject*>(&QuotraListnerType));
            Ref listener = call(listener_cls.get(), co->locals[0], self->loop);
            Ref cell = own(PyList_New(1));
            PyList_SET_ITEM(cell.get(), 0, listener.release());
            set_field(co->locals[1], cell.get());
        }
        bool failed = false;
        bool connected = false;
        try {
            Ref awaitable;
            {
                Ref ws_connect = global(S(ws_connect));
                Ref factory = function_new(&listener_factory_def, co->locals[1]);
                Ref strategies = global(S(WSAutoPingStrategy));
                Ref when_idle = getattr(strategies.get(), S(PING_WHEN_IDLE));
                Ref three = own(PyLong_FromLong(3));
                Ref two = own(PyLong_FromLong(2));
                Ref url = newref(self->ws_url);
                awaitable = call_kw(ws_connect.get(), 2, state.kw_ws_connect, factory.get(), url.get(),
                                    co->locals[3], Py_True, three.get(), two.get(), when_idle.get());
            }
            {
                // The pair is unpacked into GC-visible locals and dropped before the next await.
                Ref result = co_await py_await(std::move(awaitable));
                Ref seq = own(PySequence_Fast(result.get(), "cannot unpack non-iterable object"));
                if (PySequence_Fast_GET_SIZE(seq.get()) != 2) {
                    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
                    if (n > 2)
                        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2)");
                    else
                        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
                    raise();
                }
                set_field(co->locals[2], PySequence_Fast_GET_ITEM(seq.get(), 0));
                check(PyList_SetItem(co->locals[1], 0, Py_NewRef(PySequence_Fast_GET_ITEM(seq.get(), 1))));
            }
            connected = true;
            co_await py_await(call_method(co->locals[2], S(wait_disconnected)));
            co_return Ref();
        } catch (const PyError&) {
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            if (!is_connection_error(exc.get())) {
                PyErr_SetRaisedException(exc.release());
                throw;
            }
            set_field(co->locals[4], exc.get());
            failed = true;
        }
        if (failed) {
            {
                Ref text = own(PyObject_Str(co->locals[4]));
                Ref line = own(PyUnicode_Concat(S(connect_error_prefix), text.get()));
                log(S(error), line.get());
                set_field(co->locals[4], Py_None);
            }
            // A connection that opened and then failed (picows ends it for a
            // protocol error of the peer) has already been reported to the
            // listener, which scheduled the reconnection or the shutdown: a
            // retry here would open a second connection and deliver every quote
            // twice, and a shutdown would end a client that is reconnecting.
            if (connected) co_return Ref();
            if (!reconnect) {
                if (self->vtab->initiate_shutdown(self) < 0) raise();
                co_return Ref();
            }
            {
                Ref sleeping;
                {
                    Ref asyncio = global(S(asyncio));
                    Ref sleep = getattr(asyncio.get(), S(sleep));
                    Ref one = own(PyLong_FromLong(1));
                    sleeping = call(sleep.get(), one.get());
                }
                co_await py_await(std::move(sleeping));
            }
            // The next attempt runs in this same coroutine, so a long outage never
            // deepens a chain of awaiting coroutines; a subclass's own
            // start_ticker is still honoured.
            Ref again = getattr(co->locals[0], S(start_ticker));
            if (!PyMethod_Check(again.get()) || PyMethod_GET_FUNCTION(again.get()) != own_method(S(start_ticker))) {
                Ref coro = call_kw(again.get(), 0, state.kw_reconnect, Py_True);
                again.reset();
                co_return co_await py_await(std::move(coro));
            }
            reconnect = true;
        }
    }
}

PyObject* start_ticker_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        self_quotra(p[0], "start_ticker");
        PyObject* reconnect = truthy(p[1]) ? Py_True : Py_False;
        return coroutine_new(S(start_ticker), S(qn_start_ticker), {p[0], reconnect, Py_None, Py_None, Py_None},
                             start_ticker_body)
            .release();
    });
}

// ---- shutdown(loop)

// locals: 0 loop
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
    call_method(co->locals[0], S(stop));
    co_return Ref();
}

PyObject* shutdown_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return coroutine_new(S(shutdown), S(qn_shutdown), {p[0]}, shutdown_body).release();
    });
}

// ---------------------------------------------------------------- class dictionary

const char* const self_params[] = {"self", nullptr};
const char* const instruments_params[] = {"self", "instruments", nullptr};
const char* const start_ticker_params[] = {"self", "reconnect", nullptr};
const char* const start_websocket_params[] = {"self", "message_update_callback", "error_callback", "open_callback",
                                              "close_callback", nullptr};
const char* const loop_params[] = {"loop", nullptr};

const FunctionDef run_in_thread_def = {"run_in_thread", "Quotra.run_in_thread", no_params, false, false, false,
                                       run_in_thread_impl};
const FunctionDef stop_signal_handler_def = {"stop_signal_handler", "Quotra.stop_signal_handler", self_params,
                                             true, true, true, stop_signal_handler_impl};
const FunctionDef subscribe_def = {"subscribe", "Quotra.subscribe", instruments_params, false, false, false,
                                   subscribe_impl};
const FunctionDef unsubscribe_def = {"unsubscribe", "Quotra.unsubscribe", instruments_params, false, false, false,
                                     unsubscribe_impl};
const FunctionDef resubscribe_def = {"_resubscribe", "Quotra._resubscribe", self_params, false, false, false,
                                     resubscribe_impl};
const FunctionDef start_ticker_def = {"start_ticker", "Quotra.start_ticker", start_ticker_params, false, false, true,
                                      start_ticker_impl};
const FunctionDef start_websocket_def = {"start_websocket", "Quotra.start_websocket", start_websocket_params, false,
                                         false, false, start_websocket_impl};
const FunctionDef close_websocket_def = {"close_websocket", "Quotra.close_websocket", self_params, false, false, false,
                                         close_websocket_impl};
const FunctionDef shutdown_def = {"shutdown", "Quotra.shutdown", loop_params, false, false, true, shutdown_impl};

void set_class_item(PyObject* name, PyObject* value) { qt::set_class_item(&QuotraType, name, value); }

Ref annotations(std::initializer_list<std::pair<const char*, const char*>> items) {
    Ref d = own(PyDict_New());
    for (auto& [k, v] : items) {
        Ref val = own(PyUnicode_InternFromString(v));
        check(PyDict_SetItemString(d.get(), k, val.get()));
    }
    return d;
}

void put_static(const FunctionDef* def, PyObject* name) {
    Ref fn = function_new(def);
    set_class_item(name, fn.get());
    Ref sm = call(state.b_staticmethod, fn.get());
    set_class_item(name, sm.get());
}

void put_decorated(const FunctionDef* def, PyObject* name, PyObject* ann) {
    Ref fn = function_new(def, nullptr, nullptr, ann);
    set_class_item(name, fn.get());
    PyObject* factory = PyDict_GetItemWithError(QuotraType.tp_dict, S(run_in_thread));  // borrowed
    if (!factory) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, S(run_in_thread));
        raise();
    }
    Ref factory_ref = newref(factory);
    Ref decorator = call(factory);
    PyObject* plain = PyDict_GetItemWithError(QuotraType.tp_dict, name);  // borrowed
    if (!plain) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
        raise();
    }
    Ref plain_ref = newref(plain);
    Ref decorated = call(decorator.get(), plain);
    set_class_item(name, decorated.get());
}

}  // namespace

QT_STATIC_TYPE(QuotraType)

int client_type_ready() {
    return boundary<int>(-1, [&]() -> int {
        quotra_vtable.add_signal_handler = vt_add_signal_handler;
        quotra_vtable.ws_send = vt_ws_send;
        quotra_vtable.on_data_callback = vt_on_data_callback;
        quotra_vtable.resubscribe = vt_resubscribe;
        quotra_vtable.start_websocket = vt_start_websocket;
        quotra_vtable.close_websocket = vt_close_websocket;
        quotra_vtable.initiate_shutdown = vt_initiate_shutdown;
        QuotraType.tp_name = "quotra.quotra.Quotra";
        QuotraType.tp_basicsize = sizeof(Quotra);
        QuotraType.tp_dealloc = Quotra_dealloc;
        QuotraType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
        QuotraType.tp_traverse = Quotra_traverse;
        QuotraType.tp_clear = Quotra_clear;
        QuotraType.tp_getset = Quotra_getset;
        QuotraType.tp_init = Quotra_init;
        QuotraType.tp_new = Quotra_new;
        QuotraType.tp_free = PyObject_GC_Del;
        check(PyType_Ready(&QuotraType));
        publish_class(&QuotraType, &quotra_vtable, &quotra_reduce_def, &quotra_setstate_def);
        return 0;
    });
}

int client_populate_dict() {
    return boundary<int>(-1, [&]() -> int {
        put_static(&run_in_thread_def, S(run_in_thread));
        {
            Ref ann = annotations({{"return", "None"}});
            Ref fn = function_new(&stop_signal_handler_def, nullptr, nullptr, ann.get());
            set_class_item(S(stop_signal_handler), fn.get());
        }
        {
            Ref ann = annotations({{"instruments", "list"}, {"return", "None"}});
            put_decorated(&subscribe_def, S(subscribe), ann.get());
        }
        {
            Ref ann = annotations({{"instruments", "list"}, {"return", "None"}});
            put_decorated(&unsubscribe_def, S(unsubscribe), ann.get());
        }
        put_decorated(&resubscribe_def, S(_resubscribe), nullptr);
        {
            Ref fn = function_new(&start_ticker_def, nullptr, state.start_ticker_defaults);
            set_class_item(S(start_ticker), fn.get());
        }
        {
            Ref fn = function_new(&start_websocket_def, nullptr, state.start_websocket_defaults);
            set_class_item(S(start_websocket), fn.get());
        }
        {
            Ref fn = function_new(&close_websocket_def);
            set_class_item(S(close_websocket), fn.get());
        }
        put_static(&shutdown_def, S(shutdown));
        return 0;
    });
}

}  // namespace qt
