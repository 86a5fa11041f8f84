// The connection: start_websocket, the connection coroutine start_ticker with
// its listener factory, and close_websocket.
#include "client.hpp"
#include "native_coroutine.hpp"
#include "support.hpp"

#include <chrono>
#include <utility>

namespace qt {

namespace {

PyObject* start_websocket_body(Quotra* self, PyObject* msg_cb, PyObject* err_cb, PyObject* open_cb,
                               PyObject* close_cb) {
    // A second connection would deliver every quote twice and outlive the
    // shutdown, which closes only the client's latest transport.
    if (self->started)
        runtime_error("start_websocket() was already called: the client is started until it shuts down");
    set_field(self->message_callback, msg_cb);
    set_field(self->open_callback, open_cb);
    set_field(self->close_callback, close_cb);
    set_field(self->error_callback, err_cb);
    // A start after the shutdown is a new run: the close that ended the last
    // one would otherwise close this run's first connection as it opens, and
    // a stop event still set would make a signal's stop wait end at once.
    if (self->shut_down) {
        Ref stop_event = newref(self->stop_event);
        call_method(stop_event.get(), S(clear));
        self->disconnect_socket = 0;
        set_field(self->transport, Py_None);
        self->connected_at = 0;
        self->shut_down = false;
    }
    Ref loop = newref(self->loop);
    Ref start = getattr(reinterpret_cast<PyObject*>(self), S(start_ticker));
    schedule(loop.get(), start.get());
    self->started = true;
    return Py_NewRef(Py_None);
}

PyObject* close_websocket_body(Quotra* self) {
    self->disconnect_socket = 1;
    // An attempt under way while reconnecting ends now rather than when its
    // opening does (which a stalled server makes take up to the bound).
    if (closed_while_reconnecting(self) && self->attempt != Py_None && !self->attempt_closed) {
        Ref task = newref(self->attempt);
        self->attempt_closed = true;
        call_method(task.get(), S(cancel));
    }
    Ref transport = newref(self->transport);
    if (truthy(transport.get())) send_user_close(self, transport.get());
    return Py_NewRef(Py_None);
}

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

// The listener factory handed to ws_connect; closure: a one-item list holding
// the attempt's listener.
PyObject* listener_factory_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return Py_NewRef(PyList_GET_ITEM(function_closure(func), 0));
}
const FunctionDef listener_factory_def = {"<lambda>", "Quotra.start_ticker.<locals>.<lambda>", no_params, false, false,
                                          false, listener_factory_impl};

// The end of a reconnection that close_websocket() interrupted, as the end of
// a closed connection would be: the stop event, then the shutdown.
void end_closed_reconnection(Quotra* self) {
    Ref stop_event = newref(self->stop_event);
    call_method(stop_event.get(), S(set));
    if (self->vtab->initiate_shutdown(self) < 0) raise();
}

// The text after "Error occured on connect :: ": the error's own, or what
// happened when it has none (the opening's time-out has none).
Ref failure_text(PyObject* exc) {
    Ref text = own(PyObject_Str(exc));
    if (PyUnicode_GET_LENGTH(text.get()) != 0) return text;
    if (PyErr_GivenExceptionMatches(exc, PyExc_TimeoutError))
        return own(PyUnicode_FromFormat("the connection did not open within %ld s", OPEN_TIMEOUT_SECONDS));
    return own(PyUnicode_FromString(Py_TYPE(exc)->tp_name));
}

[[noreturn]] void not_opened(const char* why) {
    PyErr_SetString(PyExc_ConnectionError, why);
    raise();
}

// ws_connect can return without an open websocket (picows returns
// (transport, None) when the server closes before answering the upgrade):
// such an attempt failed, whatever it returned.
void check_opened(PyObject* listener_cell, PyObject* listener) {
    if (listener == Py_None) not_opened("the connection closed before the websocket upgrade completed");
    if (listener != PyList_GET_ITEM(listener_cell, 0) || !as_listener(listener)->opened)
        not_opened("ws_connect returned without an open websocket");
}

// While an attempt runs, close_websocket() can end it: the task it runs in.
void hold_attempt(Quotra* self) {
    Ref asyncio = global(S(asyncio));
    Ref task = call_method(asyncio.get(), S(current_task));
    set_field(self->attempt, task.get());
    self->attempt_closed = false;
}

// The cancellation close_websocket() made, and only it, is taken back:
// true when it was the one that ended the attempt.
bool took_back_close(Quotra* self, PyObject* exc, PyObject* task) {
    if (!self->attempt_closed || task == Py_None) return false;
    self->attempt_closed = false;
    Ref asyncio = global(S(asyncio));
    Ref cancelled_error = getattr(asyncio.get(), S(CancelledError));
    if (!check(PyObject_IsInstance(exc, cancelled_error.get()))) return false;
    Ref left = call_method(task, S(uncancel));
    long n = PyLong_AsLong(left.get());
    if (n == -1 && PyErr_Occurred()) raise();
    return n == 0;
}

// start_ticker's GC-visible locals.
enum StartTickerLocal : int { ST_SELF, ST_RECONNECT, ST_LISTENER_CELL, ST_TRANSPORT, ST_SSL_CONTEXT, ST_ERROR };

// ws_connect(factory, url, ssl_context=..., enable_auto_ping=True, ...) for one
// attempt, under asyncio.wait_for: the whole opening (TCP, TLS, upgrade) is
// bounded, where asyncio alone would wait 60 s for a TLS handshake.
Ref connect(Quotra* self, PyObject* listener_cell, PyObject* ssl_context) {
    Ref ws_connect = global(S(ws_connect));
    Ref factory = function_new(&listener_factory_def, listener_cell);
    Ref strategies = global(S(WSAutoPingStrategy));
    Ref when_idle = getattr(strategies.get(), S(PING_WHEN_IDLE));
    Ref idle = own(PyLong_FromLong(PING_IDLE_SECONDS));
    Ref reply = own(PyLong_FromLong(PING_REPLY_SECONDS));
    Ref url = newref(self->ws_url);
    Ref asyncio = global(S(asyncio));
    Ref wait_for = getattr(asyncio.get(), S(wait_for));
    Ref opening = call_kw(ws_connect.get(), 2, state.kw_ws_connect, factory.get(), url.get(), ssl_context, Py_True,
                          idle.get(), reply.get(), when_idle.get());
    Ref bound = own(PyLong_FromLong(OPEN_TIMEOUT_SECONDS));
    return call_kw(wait_for.get(), 1, state.kw_timeout, opening.get(), bound.get());
}

// This attempt's listener, as the factory hands it out.
QuotraListner* attempt_listener(PyObject* listener_cell) {
    if (!PyList_Check(listener_cell) || PyList_GET_SIZE(listener_cell) != 1) return nullptr;
    PyObject* l = PyList_GET_ITEM(listener_cell, 0);
    return PyObject_TypeCheck(l, &QuotraListnerType) ? as_listener(l) : nullptr;
}

// (transport, listener) = result, as Python's unpacking would.
std::pair<Ref, Ref> unpack_pair(PyObject* result) {
    Ref seq = own(PySequence_Fast(result, "cannot unpack non-iterable object"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n > 2) value_error("too many values to unpack (expected 2)");
    if (n < 2) value_error("not enough values to unpack (expected 2, got %zd)", n);
    return {newref(PySequence_Fast_GET_ITEM(seq.get(), 0)), newref(PySequence_Fast_GET_ITEM(seq.get(), 1))};
}

// asyncio.sleep(RETRY_DELAY_SECONDS), looked up at each use.
Ref retry_delay() {
    Ref asyncio = global(S(asyncio));
    Ref sleep = getattr(asyncio.get(), S(sleep));
    Ref seconds = own(PyLong_FromLong(RETRY_DELAY_SECONDS));
    return call(sleep.get(), seconds.get());
}

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

CoroBody start_ticker_body(Coroutine* co) {
    PyObject*& self_obj = co->locals[ST_SELF];
    PyObject*& listener_cell = co->locals[ST_LISTENER_CELL];  // [listener], read by the factory
    PyObject*& transport = co->locals[ST_TRANSPORT];
    PyObject*& ssl_context = co->locals[ST_SSL_CONTEXT];
    PyObject*& error = co->locals[ST_ERROR];
    Quotra* self = as_quotra(self_obj);
    bool reconnect = co->locals[ST_RECONNECT] == Py_True;
    // A server that accepts the upgrade and drops the connection at once
    // (overloaded, or refusing this account) would otherwise get a new
    // connection right away, every time: one that ended within the retry
    // delay of opening waits that delay, as a failed attempt does.
    if (reconnect && self->connected_at != 0 && steady_seconds() - self->connected_at < RETRY_DELAY_SECONDS)
        co_await py_await(retry_delay());
    for (;;) {
        if (reconnect && closed_while_reconnecting(self)) {
            end_closed_reconnection(self);
            co_return Ref();
        }
        bool failed = false;
        bool connected = false;
        bool closed = false;
        Ref passing;  // a cancellation or an exit: it ends the coroutine
        set_field(listener_cell, Py_None);
        // Whatever an attempt raises, but a cancellation (or an exit), is a
        // failed attempt: logged, then a retry or the shutdown. Let through,
        // it would end the client silently, with `started` still set.
        try {
            {
                Ref ssl_mod = global(S(ssl));
                Ref ctx = call_method(ssl_mod.get(), S(create_default_context));
                set_field(ssl_context, ctx.get());
                Ref listener_cls = newref(reinterpret_cast<PyObject*>(&QuotraListnerType));
                Ref listener = call(listener_cls.get(), self_obj, self->loop);
                Ref cell = own(PyList_New(1));
                PyList_SET_ITEM(cell.get(), 0, listener.release());
                set_field(listener_cell, cell.get());
            }
            if (reconnect) hold_attempt(self);
            {
                // The pair goes into GC-visible locals before the next await.
                Ref result = co_await py_await(connect(self, listener_cell, ssl_context));
                set_field(self->attempt, Py_None);
                auto [tr, listener] = unpack_pair(result.get());
                check_opened(listener_cell, listener.get());
                set_field(transport, tr.get());
                check(PyList_SetItem(listener_cell, 0, listener.release()));
            }
            connected = true;
            self->connected_at = steady_seconds();
            co_await py_await(call_method(transport, S(wait_disconnected)));
            co_return Ref();
        } catch (const PyError&) {
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            Ref task = Ref::steal(self->attempt);
            self->attempt = Py_NewRef(Py_None);
            if (took_back_close(self, exc.get(), task.get())) {
                closed = true;
            } else if (!check(PyObject_IsInstance(exc.get(), PyExc_Exception))) {
                passing = std::move(exc);
            } else {
                set_field(error, exc.get());
                failed = true;
            }
        }
        if (!connected) {
            if (QuotraListner* l = attempt_listener(listener_cell)) {
                // It opened all the same (the bound or the close came as the
                // upgrade completed): the connection is the listener's, which
                // reports its end; another attempt would open a second one.
                if (l->opened) {
                    set_field(error, Py_None);
                    co_return Ref();
                }
                // Never to open now: picows may still complete its upgrade.
                l->abandoned = true;
            }
        }
        if (passing) {
            PyErr_SetRaisedException(passing.release());
            raise();
        }
        if (closed) {
            end_closed_reconnection(self);
            co_return Ref();
        }
        if (failed) {
            {
                Ref text = failure_text(error);
                Ref line = own(PyUnicode_Concat(S(connect_error_prefix), text.get()));
                set_field(error, Py_None);
                log(S(error), line.get());
            }
            // A connection that opened and then failed (picows ends it for a
            // protocol error of the peer) has already been reported to the
            // listener, which scheduled the reconnection or the shutdown: a
            // retry here would open a second connection and deliver every quote
            // twice, and a shutdown would end a client that is reconnecting.
            if (connected) co_return Ref();
            self->health.connect_failures++;
            // Also before the shutdown that follows a failed first attempt:
            // picows closes that attempt's socket with a TLS shutdown, which
            // takes a round trip with the server, and ws_connect gives us no
            // handle to wait on. A loop stopped and closed before then (what
            // the program does once the client has shut down) leaves the
            // socket unclosed.
            co_await py_await(retry_delay());
            if (!reconnect) {
                if (self->vtab->initiate_shutdown(self) < 0) raise();
                co_return Ref();
            }
            // The next attempt runs in this same coroutine, so a long outage never
            // deepens a chain of awaiting coroutines; a subclass's own
            // start_ticker is still honoured.
            Ref again = getattr(self_obj, S(start_ticker));
            if (!PyMethod_Check(again.get()) ||
                PyMethod_GET_FUNCTION(again.get()) != own_method(&QuotraType, S(start_ticker))) {
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
        return coroutine_new(S(start_ticker), S(qn_start_ticker),
                             {/* ST_SELF */ p[0], /* ST_RECONNECT */ reconnect}, start_ticker_body)
            .release();
    });
}

const char* const start_ticker_params[] = {"self", "reconnect", nullptr};
const char* const start_websocket_params[] = {"self", "message_update_callback", "error_callback", "open_callback",
                                              "close_callback", nullptr};

}  // namespace

void send_user_close(Quotra* self, PyObject* transport) {
    if (!PyObject_TypeCheck(transport, state.WSTransport))
        type_error("Cannot convert %.200s to %.200s", Py_TYPE(transport)->tp_name, state.WSTransport->tp_name);
    Ref codes = global(S(WSCloseCode));
    Ref ok = getattr(codes.get(), S(OK));
    long code = PyLong_AsLong(ok.get());
    if (code == -1 && PyErr_Occurred()) raise();
    Ref msg = newref(self->disconnect_msg);
    Ref keep = newref(transport);  // held across the send, which may run Python code
    auto* tr = reinterpret_cast<picows::WSTransport*>(transport);
    picows::SendCloseOptArgs opt{2, static_cast<picows::WSCloseCode>(code), msg.get()};
    own(tr->vtab->send_close(tr, 1, &opt));
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
            if (Ref override = find_override(o, S(start_websocket), own_method(&QuotraType, S(start_websocket))))
                return call(override.get(), cb, err_cb, open_cb, close_cb).release();
        }
        return start_websocket_body(self, cb, err_cb, open_cb, close_cb);
    });
}

PyObject* vt_close_websocket(Quotra* self, int skip_dispatch) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* o = reinterpret_cast<PyObject*>(self);
        if (!skip_dispatch && may_override(o)) {
            if (Ref override = find_override(o, S(close_websocket), own_method(&QuotraType, S(close_websocket))))
                return call(override.get()).release();
        }
        return close_websocket_body(self);
    });
}

const FunctionDef start_ticker_def = {"start_ticker", "Quotra.start_ticker", start_ticker_params, false, false, true,
                                      start_ticker_impl};
const FunctionDef start_websocket_def = {"start_websocket", "Quotra.start_websocket", start_websocket_params, false,
                                         false, false, start_websocket_impl};
const FunctionDef close_websocket_def = {"close_websocket", "Quotra.close_websocket", self_params, false, false, false,
                                         close_websocket_impl};

}  // namespace qt
