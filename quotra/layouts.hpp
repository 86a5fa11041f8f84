// The two object layouts of the module and their native method tables.
#pragma once

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

struct Quotra {
    PyObject_HEAD
    QuotraVTable* vtab;
    PyObject* loop;
    PyObject* transport;  // picows::WSTransport or None
    PyObject* pricetape;
    PyObject* tokens_set;  // set or None
    PyObject* ws_url;      // str or None
    int disconnect_socket;
    PyObject* disconnect_msg;  // bytes or None
    PyObject* IS_CONNECTED;
    PyObject* stop_event;
    PyObject* message_callback;
    PyObject* open_callback;
    PyObject* close_callback;
    PyObject* error_callback;
};

// WSListener's table with our four connection callbacks in front; the last
// three entries stay picows' own.
using ListenerVTable = picows::WSListenerVTable;

// What a listener knows of a message that arrives in fragments.
enum class Partial : uint8_t {
    none,    // between messages
    text,    // TEXT fin=0 seen: CONTINUATION payloads are appended
    binary,  // BINARY fin=0 seen: its CONTINUATIONs are skipped
    failed,  // the connection is being closed for a protocol error: data is dropped
};

struct QuotraListner {
    picows::WSListener base;
    PyObject* parent;  // Quotra or None
    PyObject* loop;
    PyObject* ping_msg;  // bytes or None
    // Connection state below, never pickled: the text gathered so far
    // (PyMem, owned; null when nothing is kept).
    char* partial_data;
    Py_ssize_t partial_size;
    Py_ssize_t partial_capacity;
    Partial partial;
};

// Process-wide: the module refuses a second interpreter, so one copy serves.
extern PyTypeObject QuotraType;
extern PyTypeObject QuotraListnerType;
extern QuotraVTable quotra_vtable;
extern ListenerVTable listener_vtable;
extern ListenerVTable* wslistener_base_vtable;  // borrowed from picows

inline Quotra* as_quotra(PyObject* o) noexcept { return reinterpret_cast<Quotra*>(o); }
inline QuotraListner* as_listener(PyObject* o) noexcept { return reinterpret_cast<QuotraListner*>(o); }

}  // namespace qt
