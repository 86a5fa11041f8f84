// QuotraListner: the picows listener of one connection attempt. picows calls
// the first four entries of its native table; Python code reaches the same
// bodies through the methods in the class dictionary.
#include "client.hpp"
#include "native_function.hpp"
#include "pickling.hpp"
#include "support.hpp"

#include <algorithm>
#include <cstring>

namespace qt {

ListenerVTable listener_vtable;

namespace {

using picows::WSFrame;
using picows::WSTransport;

// The client this listener reports to; a listener restored without one has
// nothing to report to, which is an error rather than a crash.
Ref parent_of(QuotraListner* self) {
    PyObject* p = self->parent;
    if (!p || p == Py_None) type_error("QuotraListner has no parent Quotra client");
    return newref(p);
}

// ---------------------------------------------------------------- bodies

void send_user_specific_ping_body(QuotraListner* self, PyObject* transport) {
    auto* tr = reinterpret_cast<WSTransport*>(transport);
    {
        // Reading paused while quote tasks wait for their rounds: nothing
        // arrives because nothing is read, and what waits unread shows the
        // connection alive; a ping's answer could not be read in time.
        PyObject* parent = self->parent;  // borrowed
        if (parent && parent != Py_None && as_quotra(parent)->paused != Py_None) {
            own(tr->vtab->notify_user_specific_pong_received(tr, 1));
            return;
        }
    }
    log(S(info), S(sending_ping));
    Ref msg = newref(self->ping_msg);
    picows::SendPingOptArgs opt{1, msg.get()};
    own(tr->vtab->send_ping(tr, 1, &opt));
}

void on_ws_connected_body(QuotraListner* self, PyObject* transport) {
    if (self->abandoned) {
        // Its attempt has failed (timed out, or the user closed the client):
        // a connection that opens now would be a second one. After the
        // user's close it is closed as the user's close closes one.
        Ref parent_ref = parent_of(self);
        Quotra* parent = as_quotra(parent_ref.get());
        if (parent->disconnect_socket) {
            send_user_close(parent, transport);
        } else {
            auto* tr = reinterpret_cast<WSTransport*>(transport);
            own(tr->vtab->disconnect(tr, 1, nullptr));
        }
        return;
    }
    self->opened = true;
    Ref parent_ref = parent_of(self);
    Quotra* parent = as_quotra(parent_ref.get());
    parent->health.connections_opened++;
    Ref loop = newref(self->loop);
    bool unwanted = closed_while_running(parent);
    set_field(parent->transport, transport);
    if (unwanted) {
        // The user closed the client after starting it, before this opened: this
        // connection is closed at once, never offered to the user, and its
        // end shuts the client down.
        send_user_close(parent, transport);
        return;
    }
    {
        Ref connected = newref(parent->IS_CONNECTED);
        call_method(connected.get(), S(set));
    }
    Ref open_cb = newref(parent->open_callback);
    if (truthy(open_cb.get())) run_callback(parent, loop.get(), CB_OPEN, open_cb.get(), S(socket_opened));
    Ref resubscribe = getattr(parent_ref.get(), S(_resubscribe));
    schedule(loop.get(), resubscribe.get());
}

// Returns the frame's close code.
long log_close_frame(WSFrame* frame) {
    Ref close_msg = own(frame->vtab->get_close_message(frame, 1));
    long code = frame->vtab->get_close_code(frame, 1);
    if (PyErr_Occurred()) raise();
    if (truthy(close_msg.get())) close_msg = call_method(close_msg.get(), S(decode));
    if (code == picows::CLOSE_OK && !truthy(close_msg.get())) close_msg = newref(S(closed_by_user));
    Ref reason = own(PyObject_Str(close_msg.get()));
    Ref text = own(PyUnicode_FromFormat("Quotra disconnected with code :: %ld, message :: %U ", code, reason.get()));
    log(S(info), text.get());
    return code;
}

// A CLOSE received is answered with a CLOSE (RFC 6455, 5.5.1): servers wait
// for the answer, up to their close time-out, before they drop the
// connection, and quotes stop until then. The code is echoed when an endpoint
// may send it; a CLOSE without a code is answered with 1000, and a code no
// endpoint may send with 1002. picows reports both "no code" and a code of 0
// as 0: only the payload tells them apart. A close we sent first (the user's)
// is complete as it is.
void answer_close(PyObject* transport, const WSFrame* frame, long code) {
    auto* tr = reinterpret_cast<WSTransport*>(transport);
    if (tr->is_close_frame_sent) return;
    long answer = code;
    if (code == picows::CLOSE_NO_INFO && frame->payload_size == 0)
        answer = picows::CLOSE_OK;
    else if (!((code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999)))
        answer = picows::CLOSE_PROTOCOL_ERROR;
    picows::SendCloseOptArgs opt{1, static_cast<picows::WSCloseCode>(answer), nullptr};
    own(tr->vtab->send_close(tr, 1, &opt));
    own(tr->vtab->disconnect(tr, 1, nullptr));
}

// Messages put together from fragments are bounded like picows bounds a
// single frame, so a peer cannot make us buffer without limit.
constexpr Py_ssize_t MAX_MESSAGE_SIZE = Py_ssize_t{10} * 1024 * 1024;
// A buffer up to this size stays for the next fragmented message.
constexpr Py_ssize_t KEPT_CAPACITY = 1 << 20;

void release_partial(QuotraListner* self) noexcept {
    PyMem_Free(self->partial_data);
    self->partial_data = nullptr;
    self->partial_size = 0;
    self->partial_capacity = 0;
}

// A message that could not be gathered whole is never delivered: picows
// still passes on the frames already in its buffer while it closes the
// connection, and a later CONTINUATION would otherwise complete the message
// with a part missing.
void fail_partial(QuotraListner* self) noexcept {
    release_partial(self);
    self->partial = Partial::failed;
}

// picows answers WSProtocolError from on_ws_frame with a CLOSE of its code,
// then disconnects; wait_disconnected() reports it to start_ticker.
[[noreturn]] void protocol_error(QuotraListner* self, long code, const char* reason) {
    fail_partial(self);
    Ref args = own(Py_BuildValue("(ls)", code, reason));
    raise_object(state.WSProtocolError, args.get());
}

void append_fragment(QuotraListner* self, const WSFrame* frame) {
    Py_ssize_t n = frame->payload_size;
    if (n > MAX_MESSAGE_SIZE - self->partial_size)
        protocol_error(self, picows::CLOSE_MESSAGE_TOO_BIG, "fragmented message larger than 10 MiB");
    if (n == 0) return;
    Py_ssize_t need = self->partial_size + n;
    if (need > self->partial_capacity) {
        Py_ssize_t grown = std::min(MAX_MESSAGE_SIZE, std::max<Py_ssize_t>(4096, self->partial_capacity * 2));
        Py_ssize_t capacity = std::max(need, grown);
        auto* data = static_cast<char*>(PyMem_Realloc(self->partial_data, static_cast<size_t>(capacity)));
        if (!data) {
            fail_partial(self);
            PyErr_NoMemory();
            raise();
        }
        self->partial_data = data;
        self->partial_capacity = capacity;
    }
    memcpy(self->partial_data + self->partial_size, frame->payload_ptr, static_cast<size_t>(n));
    self->partial_size = need;
}

void deliver(QuotraListner* self, PyObject* payload) {
    Ref parent_ref = parent_of(self);
    Quotra* parent = as_quotra(parent_ref.get());
    if (parent->vtab->on_data_callback(parent, payload) < 0) raise();
}

// Every data frame but a whole TEXT message between messages, which
// on_ws_frame_body hands over directly.
void on_data_frame(QuotraListner* self, WSFrame* frame) {
    picows::WSMsgType mt = frame->msg_type;
    switch (self->partial) {
        case Partial::failed: return;
        case Partial::none:
            if (mt == picows::CONTINUATION)
                protocol_error(self, picows::CLOSE_PROTOCOL_ERROR, "CONTINUATION frame outside a fragmented message");
            if (frame->fin) return;  // a whole BINARY message: not ours to read
            self->partial = mt == picows::TEXT ? Partial::text : Partial::binary;
            break;
        case Partial::text:
        case Partial::binary:
            if (mt != picows::CONTINUATION)
                protocol_error(self, picows::CLOSE_PROTOCOL_ERROR, "data frame inside a fragmented message");
            break;
    }
    if (self->partial == Partial::binary) {
        if (frame->fin) self->partial = Partial::none;
        return;
    }
    append_fragment(self, frame);
    if (!frame->fin) return;
    PyObject* whole = PyBytes_FromStringAndSize(self->partial_data, self->partial_size);
    if (!whole) {
        fail_partial(self);
        raise();
    }
    Ref payload = Ref::steal(whole);
    self->partial = Partial::none;
    self->partial_size = 0;
    if (self->partial_capacity > KEPT_CAPACITY) release_partial(self);
    deliver(self, payload.get());
}

// Counted on the client before anything can run Python code; the field holds
// a Quotra or None (checked wherever it is set).
void count_frame(QuotraListner* self, const WSFrame* frame) noexcept {
    PyObject* p = self->parent;
    if (!p || p == Py_None) return;
    Health& h = as_quotra(p)->health;
    h.frames++;
    h.bytes += static_cast<uint64_t>(frame->payload_size);
}

void on_ws_frame_body(QuotraListner* self, PyObject* transport, PyObject* frame_obj) {
    auto* frame = reinterpret_cast<WSFrame*>(frame_obj);
    picows::WSMsgType mt = frame->msg_type;
    if (mt == picows::TEXT && frame->fin && self->partial == Partial::none) {
        // A whole TEXT message, read in picows' buffer: the quote path makes
        // a bytes copy only for a frame its general way takes.
        Ref parent_ref = parent_of(self);
        Quotra* parent = as_quotra(parent_ref.get());
        count_frame(self, frame);
        if (on_text_frame(parent, frame->payload_ptr, frame->payload_size) < 0) raise();
    } else if (mt == picows::PONG) {
        auto* tr = reinterpret_cast<WSTransport*>(transport);
        own(tr->vtab->notify_user_specific_pong_received(tr, 1));
    } else if (mt == picows::CLOSE) {
        long code = log_close_frame(frame);
        answer_close(transport, frame, code);
    } else if (mt == picows::TEXT || mt == picows::BINARY || mt == picows::CONTINUATION) {
        count_frame(self, frame);
        on_data_frame(self, frame);
    }
}

void on_ws_disconnected_body(QuotraListner* self, PyObject* transport) {
    release_partial(self);
    self->partial = Partial::none;
    if (self->abandoned) return;  // never reported as opened
    Ref parent_ref = parent_of(self);
    Quotra* parent = as_quotra(parent_ref.get());
    parent->health.disconnections++;
    Ref loop = newref(self->loop);
    Ref close_cb = newref(parent->close_callback);
    if (truthy(close_cb.get())) run_callback(parent, loop.get(), CB_CLOSE, close_cb.get(), S(socket_closed));
    if (parent->disconnect_socket) {
        Ref stop_event = newref(parent->stop_event);
        call_method(stop_event.get(), S(set));
        if (parent->vtab->initiate_shutdown(parent) < 0) raise();
        return;
    }
    log(S(info), S(trying_to_reconnect));
    auto* tr = reinterpret_cast<WSTransport*>(transport);
    own(tr->vtab->disconnect(tr, 1, nullptr));
    {
        Ref connected = newref(parent->IS_CONNECTED);
        call_method(connected.get(), S(clear));
    }
    Ref start = getattr(parent_ref.get(), S(start_ticker));
    Ref coro = call_kw(start.get(), 0, state.kw_reconnect, Py_True);
    call_method(loop.get(), S(create_task), coro.get());
}

// ---------------------------------------------------------------- native entries (picows calls these)

// A Python subclass that redefines the method gets the call instead.
Ref override_of(PyObject* self, int skip_dispatch, PyObject* name) {
    if (skip_dispatch || !may_override(self)) return Ref();
    return find_override(self, name, own_method(&QuotraListnerType, name));
}

using TransportBody = void (*)(QuotraListner* self, PyObject* transport);

template <TransportBody body, PyObject* Names::* name>
PyObject* vt_transport_entry(picows::WSListener* o, WSTransport* transport, int skip_dispatch) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = reinterpret_cast<PyObject*>(o);
        PyObject* tr = reinterpret_cast<PyObject*>(transport);
        if (Ref ov = override_of(self, skip_dispatch, names.*name)) return call(ov.get(), tr).release();
        body(as_listener(self), tr);
        return Py_NewRef(Py_None);
    });
}

PyObject* vt_on_ws_frame(picows::WSListener* o, WSTransport* transport, WSFrame* frame, int skip_dispatch) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = reinterpret_cast<PyObject*>(o);
        PyObject* tr = reinterpret_cast<PyObject*>(transport);
        PyObject* fr = reinterpret_cast<PyObject*>(frame);
        if (Ref ov = override_of(self, skip_dispatch, S(on_ws_frame))) return call(ov.get(), tr, fr).release();
        on_ws_frame_body(as_listener(self), tr, fr);
        return Py_NewRef(Py_None);
    });
}

// ---------------------------------------------------------------- Python methods

struct Arg {
    PyObject* value;
    PyTypeObject* type;
    const char* name;
};

// Every argument's type first, letting None through, then None refused, both
// in argument order: a wrong-typed argument is the one reported even when an
// earlier one is None.
void check_args(std::initializer_list<Arg> args) {
    for (const Arg& a : args) check_arg_type(a.value, a.type, a.name, true);
    for (const Arg& a : args) check_arg_type(a.value, a.type, a.name, false);
}

template <TransportBody body, const char* fname>
PyObject* transport_method_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        QuotraListner* self = self_listener(p[0], fname);
        check_args({{p[1], state.WSTransport, "transport"}});
        body(self, p[1]);
        return Py_NewRef(Py_None);
    });
}

PyObject* on_ws_frame_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        QuotraListner* self = self_listener(p[0], "on_ws_frame");
        check_args({{p[1], state.WSTransport, "transport"}, {p[2], state.WSFrame, "frame"}});
        on_ws_frame_body(self, p[1], p[2]);
        return Py_NewRef(Py_None);
    });
}

constexpr char send_user_specific_ping_name[] = "send_user_specific_ping";
constexpr char on_ws_connected_name[] = "on_ws_connected";
constexpr char on_ws_disconnected_name[] = "on_ws_disconnected";
const char* const transport_params[] = {"self", "transport", nullptr};
const char* const frame_params[] = {"self", "transport", "frame", nullptr};

const FunctionDef send_user_specific_ping_def = {
    send_user_specific_ping_name,
    "QuotraListner.send_user_specific_ping",
    transport_params,
    false,
    false,
    false,
    transport_method_impl<send_user_specific_ping_body, send_user_specific_ping_name>};
const FunctionDef on_ws_connected_def = {on_ws_connected_name,
                                         "QuotraListner.on_ws_connected",
                                         transport_params,
                                         false,
                                         false,
                                         false,
                                         transport_method_impl<on_ws_connected_body, on_ws_connected_name>};
const FunctionDef on_ws_frame_def = {"on_ws_frame",   "QuotraListner.on_ws_frame", frame_params, false, false, false,
                                     on_ws_frame_impl};
const FunctionDef on_ws_disconnected_def = {on_ws_disconnected_name,
                                            "QuotraListner.on_ws_disconnected",
                                            transport_params,
                                            false,
                                            false,
                                            false,
                                            transport_method_impl<on_ws_disconnected_body, on_ws_disconnected_name>};

// ---------------------------------------------------------------- type slots

PyObject* Listener_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* o = QuotraListnerType.tp_base->tp_new(type, args, kwds);
    if (!o) return nullptr;
    as_listener(o)->base.vtab = &listener_vtable;
    fields_init(o, listener_table);
    QuotraListner* l = as_listener(o);
    l->partial_data = nullptr;
    l->partial_size = 0;
    l->partial_capacity = 0;
    l->partial = Partial::none;
    l->opened = false;
    l->abandoned = false;
    return o;
}

int Listener_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return boundary<int>(-1, [&]() -> int {
        static const char* const names[] = {"parent", "loop"};
        PyObject* values[2];
        bind_init_args(args, kwds, names, 2, values);
        check_arg_type(values[0], &QuotraType, "parent", true);
        Ref parent = newref(values[0]);
        Ref loop = newref(values[1]);
        {
            Ref sup = call(state.b_super, reinterpret_cast<PyObject*>(&QuotraListnerType), self);
            Ref init = getattr(sup.get(), S(__init__));
            call(init.get());
        }
        QuotraListner* l = as_listener(self);
        set_field(l->loop, loop.get());
        set_field(l->parent, parent.get());
        set_field(l->ping_msg, state.empty_bytes);
        return 0;
    });
}

int Listener_traverse(PyObject* self, visitproc visit, void* arg) {
    traverseproc base = QuotraListnerType.tp_base->tp_traverse;
    if (base) {
        if (int r = base(self, visit, arg)) return r;
    }
    return fields_traverse(self, listener_table, visit, arg);
}

int Listener_clear(PyObject* self) {
    inquiry base = QuotraListnerType.tp_base->tp_clear;
    if (base) base(self);
    fields_clear(self, listener_table);
    release_partial(as_listener(self));
    return 0;
}

void Listener_dealloc(PyObject* self) {
    if (Py_TYPE(self)->tp_finalize && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    fields_release(self, listener_table);
    release_partial(as_listener(self));
    PyTypeObject* base = QuotraListnerType.tp_base;
    if (PyType_IS_GC(base)) PyObject_GC_Track(self);
    base->tp_dealloc(self);
}

void set_class_item(PyObject* name, PyObject* value) { qt::set_class_item(&QuotraListnerType, name, value); }

}  // namespace

QT_STATIC_TYPE(QuotraListnerType)

int listener_type_ready(PyTypeObject* base, ListenerVTable* base_vtable) {
    return boundary<int>(-1, [&]() -> int {
        listener_vtable = *base_vtable;
        listener_vtable.on_ws_connected = vt_transport_entry<on_ws_connected_body, &Names::on_ws_connected>;
        listener_vtable.on_ws_frame = vt_on_ws_frame;
        listener_vtable.on_ws_disconnected = vt_transport_entry<on_ws_disconnected_body, &Names::on_ws_disconnected>;
        listener_vtable.send_user_specific_ping =
            vt_transport_entry<send_user_specific_ping_body, &Names::send_user_specific_ping>;
        if (ready_class(&QuotraListnerType,
                        {"quotra.quotra.QuotraListner", sizeof(QuotraListner), base, Listener_new, Listener_init,
                         Listener_dealloc, Listener_traverse, Listener_clear, nullptr})) {
            if (QuotraListnerType.tp_weaklistoffset == 0) QuotraListnerType.tp_weaklistoffset = base->tp_weaklistoffset;
        }
        publish_class(&QuotraListnerType, &listener_vtable, &listener_reduce_def, &listener_setstate_def);
        return 0;
    });
}

int listener_populate_dict() {
    return boundary<int>(-1, [&]() -> int {
        for (const FunctionDef* def :
             {&send_user_specific_ping_def, &on_ws_connected_def, &on_ws_frame_def, &on_ws_disconnected_def}) {
            Ref fn = function_new(def);
            Ref name = own(PyUnicode_InternFromString(def->name));
            set_class_item(name.get(), fn.get());
        }
        return 0;
    });
}

}  // namespace qt
