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
    if (self->started) runtime_error("start_websocket() was already called: the client is started until it shuts down");
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
        self->closed_after_start = false;
        self->shut_down = false;
    }
    self->callbacks_warned = 0;
    Ref loop = newref(self->loop);
    Ref start = getattr(reinterpret_cast<PyObject*>(self), S(start_ticker));
    schedule(loop.get(), start.get());
    self->started = true;
    return Py_NewRef(Py_None);
}

PyObject* close_websocket_body(Quotra* self) {
    self->disconnect_socket = 1;
    if (self->started) self->closed_after_start = true;
    // An attempt under way ends now rather than when its opening does (which
    // a stalled server makes take up to the bound).
    if (closed_while_running(self) && self->attempt != Py_None && !self->attempt_closed) {
        Ref task = newref(self->attempt);
        self->attempt_closed = true;
        call_method(task.get(), S(cancel));
    }
    if (self->closed_after_start) cancel_waiting_quotes(self);
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
    return boundary<PyObject*>(
        nullptr, [&]() -> PyObject* { return close_websocket_body(self_quotra(p[0], "close_websocket")); });
}

// The listener factory handed to ws_connect; closure: a one-item list holding
// the attempt's listener.
PyObject* listener_factory_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return Py_NewRef(PyList_GET_ITEM(function_closure(func), 0));
}
const FunctionDef listener_factory_def = {
    "<lambda>", "Quotra.start_ticker.<locals>.<lambda>", no_params, false, false, false, listener_factory_impl};

// The end of an opening that close_websocket() interrupted (the first one or
// a reconnection), as the end of a closed connection would be: the stop
// event, then the shutdown.
void end_closed_reconnection(Quotra* self) {
    Ref stop_event = newref(self->stop_event);
    call_method(stop_event.get(), S(set));
    if (self->vtab->initiate_shutdown(self) < 0) raise();
}

// The error's own text, or what happened when it has none (the opening's
// time-out has none).
Ref error_text(PyObject* exc) {
    Ref text = own(PyObject_Str(exc));
    if (PyUnicode_GET_LENGTH(text.get()) != 0) return text;
    if (PyErr_GivenExceptionMatches(exc, PyExc_TimeoutError))
        return own(PyUnicode_FromFormat("the connection did not open within %ld s", OPEN_TIMEOUT_SECONDS));
    return own(PyUnicode_FromString(Py_TYPE(exc)->tp_name));
}

// "host port N" of the client's URL, the port its scheme implies when the
// URL names none; the URL itself when it does not parse.
Ref endpoint_text(Quotra* self) {
    Ref url = newref(self->ws_url);
    try {
        Ref parse = own(PyImport_ImportModule("urllib.parse"));
        Ref split = call_method(parse.get(), S(urlsplit), url.get());
        Ref host = getattr(split.get(), S(hostname));
        Ref port = getattr(split.get(), S(port));
        if (port.get() == Py_None) {
            Ref scheme = getattr(split.get(), S(scheme));
            port = own(PyLong_FromLong(
                PyUnicode_Check(scheme.get()) && PyUnicode_CompareWithASCIIString(scheme.get(), "ws") == 0 ? 80 : 443));
        }
        if (host.get() != Py_None) return own(PyUnicode_FromFormat("%S port %S", host.get(), port.get()));
    } catch (const PyError&) {
        PyErr_Clear();
    }
    return own(PyObject_Str(url.get()));
}

// OpenSSL's verification results for a chain that ends at a certificate
// the client does not trust: what the right SSL_CERT_FILE mends.
bool untrusted_chain(PyObject* exc) {
    Ref ssl_mod = global(S(ssl));
    Ref verify_error = getattr(ssl_mod.get(), S(SSLCertVerificationError));
    if (!PyExceptionClass_Check(verify_error.get()) || !PyErr_GivenExceptionMatches(exc, verify_error.get()))
        return false;
    PyObject* code_obj = nullptr;
    if (PyObject_GetOptionalAttr(exc, S(verify_code), &code_obj) < 0) PyErr_Clear();
    Ref code = Ref::steal(code_obj);
    if (!code || !PyLong_Check(code.get())) return false;
    long c = PyLong_AsLong(code.get());
    if (c == -1 && PyErr_Occurred()) PyErr_Clear();
    // X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, _SELF_SIGNED_CERT_IN_CHAIN,
    // _UNABLE_TO_GET_ISSUER_CERT_LOCALLY, _UNABLE_TO_VERIFY_LEAF_SIGNATURE
    return c == 18 || c == 19 || c == 20 || c == 21;
}

// The text after "Error occured on connect :: ": the error, where the client
// was connecting to, and for a certificate it does not trust what to do.
// Whatever goes wrong in adding to the error's text (a stand-in for the ssl
// module, say) leaves the error's text alone: a failed attempt is still logged.
Ref failure_text(Quotra* self, PyObject* exc) {
    Ref text = error_text(exc);
    try {
        Ref where = endpoint_text(self);
        bool untrusted = false;
        try {
            untrusted = untrusted_chain(exc);
        } catch (const PyError&) {
            PyErr_Clear();  // an ssl module without the verification error (a stand-in): no hint
        }
        if (untrusted) {
            return own(PyUnicode_FromFormat(
                "%U (connecting to %U); the server's certificate is not from a CA this client trusts: set "
                "SSL_CERT_FILE to the CA certificate that issued it (the local service prints its ca_file)",
                text.get(), where.get()));
        }
        return own(PyUnicode_FromFormat("%U (connecting to %U)", text.get(), where.get()));
    } catch (const PyError&) {
        PyErr_Clear();
        return text;
    }
}

[[noreturn]] void not_opened(const char* why) {
    PyErr_SetString(PyExc_ConnectionError, why);
    raise();
}

bool plain_ws_url(Quotra* self) {
    PyObject* url = self->ws_url;  // borrowed; nothing runs Python code below
    if (!PyUnicode_Check(url) || PyUnicode_GET_LENGTH(url) < 5) return false;
    Ref head = own(PyUnicode_Substring(url, 0, 5));
    Ref lower = call_method(head.get(), S(lower));
    return PyUnicode_CompareWithASCIIString(lower.get(), "ws://") == 0;
}

// ws_connect can return without an open websocket (picows returns
// (transport, None) when the server closes before answering the upgrade):
// such an attempt failed, whatever it returned.
void check_opened(Quotra* self, PyObject* listener_cell, PyObject* listener) {
    if (listener == Py_None && plain_ws_url(self))
        not_opened(
            "the connection closed before the websocket upgrade completed: the URL is ws://, without "
            "TLS, and a server that speaks TLS (wss://) closes such a connection");
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
        if (closed_while_running(self)) {
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
                // A client given a context of its own (a feed's trust) uses it;
                // every other client, a new default one per attempt.
                Ref ctx = newref(self->tls_context);
                if (ctx.get() == Py_None) {
                    Ref ssl_mod = global(S(ssl));
                    ctx = call_method(ssl_mod.get(), S(create_default_context));
                }
                set_field(ssl_context, ctx.get());
                Ref listener_cls = newref(reinterpret_cast<PyObject*>(&QuotraListnerType));
                Ref listener = call(listener_cls.get(), self_obj, self->loop);
                Ref cell = own(PyList_New(1));
                PyList_SET_ITEM(cell.get(), 0, listener.release());
                set_field(listener_cell, cell.get());
            }
            hold_attempt(self);
            {
                // The pair goes into GC-visible locals before the next await.
                Ref result = co_await py_await(connect(self, listener_cell, ssl_context));
                set_field(self->attempt, Py_None);
                auto [tr, listener] = unpack_pair(result.get());
                check_opened(self, listener_cell, listener.get());
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
                Ref text = failure_text(self, error);
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
        return coroutine_new(S(start_ticker), S(qn_start_ticker), {/* ST_SELF */ p[0], /* ST_RECONNECT */ reconnect},
                             start_ticker_body)
            .release();
    });
}

const char* const start_ticker_params[] = {"self", "reconnect", nullptr};
const char* const start_websocket_params[] = {"self",          "message_update_callback", "error_callback",
                                              "open_callback", "close_callback",          nullptr};

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

const FunctionDef start_ticker_def = {"start_ticker", "Quotra.start_ticker", start_ticker_params, false, false,
                                      true,           start_ticker_impl};
const FunctionDef start_websocket_def = {
    "start_websocket", "Quotra.start_websocket", start_websocket_params, false, false, false, start_websocket_impl};
const FunctionDef close_websocket_def = {
    "close_websocket", "Quotra.close_websocket", self_params, false, false, false, close_websocket_impl};

}  // namespace qt
