// The two object layouts of the module and their native method tables.
#pragma once

#include "fields.hpp"
#include "health.hpp"
#include "picows_abi.hpp"
#include "pyref.hpp"

namespace qt {

struct Quotra;

struct StartWebsocketOpt {
    int n;  // how many of the optional arguments follow
    PyObject* error_callback;
    PyObject* open_callback;
    PyObject* close_callback;
};

// Entries return -1 (or NULL) with a Python exception set on failure. The two
// entries that are also Python methods take `skip_dispatch`: with 0 they first
// look for an override in a Python subclass.
struct QuotraVTable {
    int (*add_signal_handler)(Quotra*);
    int (*ws_send)(Quotra*, PyObject* key, PyObject* value);
    int (*on_data_callback)(Quotra*, PyObject* payload);
    int (*resubscribe)(Quotra*);
    PyObject* (*start_websocket)(Quotra*, PyObject* message_update_callback, int skip_dispatch, StartWebsocketOpt*);
    PyObject* (*close_websocket)(Quotra*, int skip_dispatch);
    int (*initiate_shutdown)(Quotra*);
};

// Quotra's fields in layout order: X(member, index in the pickled state or
// -1, pickled name, kind).
#define QUOTRA_FIELDS(X)                                \
    X(loop, 1, "_Quotra__loop", Any)                    \
    X(transport, 3, "_Quotra__transport", Transport)    \
    X(pricetape, 4, "_Quotra__pricetape", Any)          \
    X(tokens_set, 2, "_Quotra__tokens_set", Set)        \
    X(ws_url, 12, "_ws_url", Str)                       \
    X(disconnect_socket, 7, "_disconnect_socket", Flag) \
    X(disconnect_msg, 6, "_disconnect_msg", Bytes)      \
    X(IS_CONNECTED, 0, "IS_CONNECTED", Any)             \
    X(stop_event, 11, "_stop_event", Any)               \
    X(message_callback, 9, "_message_callback", Any)    \
    X(open_callback, 10, "_open_callback", Any)         \
    X(close_callback, 5, "_close_callback", Any)        \
    X(error_callback, 8, "_error_callback", Any)        \
    X(resubscribing, -1, nullptr, Any)                  \
    X(attempt, -1, nullptr, Any)                        \
    X(sink, -1, nullptr, Any)                           \
    X(tls_context, -1, nullptr, Any)                    \
    X(deferred, -1, nullptr, Any)                       \
    X(paused, -1, nullptr, Any)                         \
    X(round_marker, -1, nullptr, Any)

// `resubscribing`: a list of the resubscriptions whose instruments are out of
// the subscription set, each [instruments, transport they were taken for, a
// transport whose connection opened meanwhile and so missed them, or None].
// `attempt`: the task of a reconnection attempt while it opens, or None:
// close_websocket() cancels it.
// `sink`: None, or a callable that takes each quote's dict in place of the
// message callback, with no task (quotra.feed's buffer, set by quotra._quiet).
// `tls_context`: None, or the TLS context every attempt of this client uses
// in place of ssl.create_default_context() (a feed's own trust).
// `deferred`: None, or a list of quote coroutines beyond this round's share,
// waiting (from `deferred_at` on) to become tasks in later rounds; `paused`:
// None, or the transport whose reading is paused while they wait;
// `round_marker`: the function call_soon() runs at the end of a round.

// A Python object: made zeroed by tp_alloc, never by a constructor.
struct Quotra {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject_HEAD
    QuotraVTable* vtab;
    QUOTRA_FIELDS(QT_FIELD_MEMBER)
    // Connection state, never pickled: steady-clock seconds at which the
    // latest connection opened (0: none yet).
    double connected_at;
    // Never pickled either; quotra._monitor reads them through this layout.
    Health health;
    // Never pickled: start_websocket has run and the client has not shut down since.
    bool started;
    // Never pickled: the client has shut down; the next start is a new run.
    bool shut_down;
    // Never pickled: close_websocket() has cancelled `attempt`.
    bool attempt_closed;
    // Never pickled: close_websocket() was called while started (a close
    // before the start leaves the first connection up, as it always has).
    bool closed_after_start;
    // Never pickled: the user callbacks (CallbackRole bits) already reported
    // for returning something that is not awaitable.
    uint8_t callbacks_warned;
    // Never pickled (quote_rounds.cpp): quote tasks made this round of the
    // loop, whether a round marker is scheduled, the next of `deferred`.
    uint32_t round_quotes;
    bool round_marked;
    Py_ssize_t deferred_at;
};

// WSListener's table with our four connection callbacks in front; the last
// three entries stay picows' own.
using ListenerVTable = picows::WSListenerVTable;

// What a listener knows of a message that arrives in fragments.
enum class Partial : uint8_t {
    none,    // between messages
    text,    // TEXT fin=0 seen: CONTINUATION payloads are appended
    binary,  // BINARY fin=0 seen: its CONTINUATIONs are skipped
    failed,  // the connection is being closed (a protocol error, or a message that
             // could not be gathered): data is dropped
};

// QuotraListner's fields after picows' WSListener, in layout order.
#define LISTENER_FIELDS(X)                  \
    X(parent, 2, "_parent", Client)         \
    X(loop, 0, "_QuotraListner__loop", Any) \
    X(ping_msg, 1, "_QuotraListner__ping_msg", Bytes)

struct QuotraListner {
    picows::WSListener base;
    LISTENER_FIELDS(QT_FIELD_MEMBER)
    // Connection state below, never pickled: the text gathered so far
    // (PyMem, owned; null when nothing is kept).
    char* partial_data;
    Py_ssize_t partial_size;
    Py_ssize_t partial_capacity;
    Partial partial;
    bool opened;     // on_ws_connected has run
    bool abandoned;  // its attempt failed first: a late opening is closed, never reported
};

#define QT_QUOTRA_FIELD(...) QT_FIELD_ENTRY(Quotra, __VA_ARGS__)
#define QT_LISTENER_FIELD(...) QT_FIELD_ENTRY(QuotraListner, __VA_ARGS__)
inline constexpr auto quotra_fields = in_state_order(std::array{QUOTRA_FIELDS(QT_QUOTRA_FIELD)});
inline constexpr auto listener_fields = in_state_order(std::array{LISTENER_FIELDS(QT_LISTENER_FIELD)});
#undef QT_QUOTRA_FIELD
#undef QT_LISTENER_FIELD

inline constexpr FieldTable quotra_table{
    quotra_fields.data(), quotra_fields.size(), pickled_count(quotra_fields), {0x16b1fb9, 0x691870a, 0xaa20e3e}};
inline constexpr FieldTable listener_table{
    listener_fields.data(), listener_fields.size(), pickled_count(listener_fields), {0xd66fd69, 0xc08dca7, 0x629854f}};

// Process-wide: the module refuses a second interpreter, so one copy serves.
extern PyTypeObject QuotraType;
extern PyTypeObject QuotraListnerType;
extern QuotraVTable quotra_vtable;
extern ListenerVTable listener_vtable;

inline Quotra* as_quotra(PyObject* o) noexcept { return reinterpret_cast<Quotra*>(o); }
inline QuotraListner* as_listener(PyObject* o) noexcept { return reinterpret_cast<QuotraListner*>(o); }

}  // namespace qt
