// Hand-written mirror of the picows binary interface we call into.
//
// Written from picows 2.3.1. picows is Cython: an instance is the object header,
// a pointer to its native method table, then its fields in declaration order.
// Tables list cdef/cpdef methods in declaration order; a cpdef entry takes
// (self, args..., int skip_dispatch[, optional-args struct*]). Another picows
// release may move fields or entries without changing a size, so the module
// accepts only the releases listed in QUOTRA_PICOWS_VERSIONS, and checks basic
// sizes, weak-reference offsets and table capsules at import on top.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

// The picows releases whose instance structs, native method tables,
// optional-argument structs and enums are the ones below, oldest first. Before
// adding one, run scripts/check-picows-layout.sh on it; widen the picows range
// in pyproject.toml to match (tests/test_packaging.py checks it does).
#define QUOTRA_PICOWS_VERSIONS "2.1.3", "2.2.0", "2.3.0", "2.3.1"

namespace picows {

inline constexpr std::array SUPPORTED_VERSIONS{QUOTRA_PICOWS_VERSIONS};
// The one this header was written from; scripts/check-picows-layout.sh
// compares a candidate release with it.
inline constexpr const char* LAYOUT_VERSION = "2.3.1";

enum WSMsgType : int {
    CONTINUATION = 0x0,
    TEXT = 0x1,
    BINARY = 0x2,
    PING = 0x9,
    PONG = 0xA,
    CLOSE = 0x8,
};

// Only the values we name; picows returns others as plain ints.
enum WSCloseCode : int {
    CLOSE_NO_INFO = 0,
    CLOSE_OK = 1000,
    CLOSE_PROTOCOL_ERROR = 1002,
    CLOSE_MESSAGE_TOO_BIG = 1009,
};

enum NoResult : int { NR_EXC = -1, NR_SUCCESS = 0 };

struct WSTransportVTable;
struct WSFrameVTable;
struct WSListenerVTable;
struct MemoryBufferVTable;

struct MemoryBuffer {
    PyObject_HEAD
    MemoryBufferVTable* vtab;
    Py_ssize_t size;
    Py_ssize_t capacity;
    char* data;
};

struct WSCloseInfo;
struct WSCloseHandshake;

struct WSFrame {
    PyObject_HEAD
    WSFrameVTable* vtab;
    PyObject* payload_obj;
    char* payload_ptr;
    Py_ssize_t payload_size;
    Py_ssize_t tail_size;
    WSMsgType msg_type;
    uint8_t fin;
    uint8_t rsv1;
    uint8_t rsv2;
    uint8_t rsv3;
    uint8_t last_in_buffer;
};

struct WSTransport {
    PyObject_HEAD
    WSTransportVTable* vtab;
    PyObject* weakref;
    unsigned long thread_id;
    PyObject* loop;
    PyObject* logger;
    int log_debug_enabled;
    int is_aiofn_transport;
    PyObject* tr_get_write_buffer_size;
    PyObject* tr_write;
    int socket;
    PyObject* underlying_transport;
    PyObject* request;
    PyObject* response;
    WSCloseHandshake* close_handshake;
    int is_client_side;
    int is_secure;
    int is_close_frame_sent;
    int is_disconnected;
    int auto_ping_expect_pong;
    PyObject* pong_received_at_future;
    PyObject* listener_proxy;
    PyObject* disconnected_future;
    MemoryBuffer* write_buffer;
};

struct WSListener {
    PyObject_HEAD
    WSListenerVTable* vtab;
    PyObject* weakref;
};

struct SendOptArgs {
    int n;
    int fin;
    int rsv1;
    int rsv2;
    int rsv3;
};
struct SendPingOptArgs {
    int n;
    PyObject* message;
};
struct SendCloseOptArgs {
    int n;
    WSCloseCode close_code;
    PyObject* close_message;
};
struct DisconnectOptArgs {
    int n;
    int graceful;
};

struct MemoryBufferVTable {
    NoResult (*reserve)(MemoryBuffer*, Py_ssize_t);
    NoResult (*resize)(MemoryBuffer*, Py_ssize_t);
};

struct WSFrameVTable {
    PyObject* (*get_payload_as_bytes)(WSFrame*, int skip_dispatch);
    PyObject* (*get_payload_as_utf8_text)(WSFrame*, int skip_dispatch);
    PyObject* (*get_payload_as_ascii_text)(WSFrame*, int skip_dispatch);
    PyObject* (*get_payload_as_memoryview)(WSFrame*, int skip_dispatch);
    WSCloseCode (*get_close_code)(WSFrame*, int skip_dispatch);  // error: PyErr_Occurred()
    PyObject* (*get_close_message)(WSFrame*, int skip_dispatch);
    PyObject* (*get_close_reason)(WSFrame*, int skip_dispatch);
};

struct WSTransportVTable {
    NoResult (*send_reuse_external_buffer)(WSTransport*, WSMsgType, char*, Py_ssize_t, SendOptArgs*);
    PyObject* (*send)(WSTransport*, WSMsgType, PyObject*, int skip_dispatch, SendOptArgs*);
    PyObject* (*send_reuse_external_bytearray)(WSTransport*, WSMsgType, PyObject*, Py_ssize_t, int skip_dispatch,
                                               SendOptArgs*);
    PyObject* (*send_ping)(WSTransport*, int skip_dispatch, SendPingOptArgs*);
    PyObject* (*send_pong)(WSTransport*, int skip_dispatch, SendPingOptArgs*);
    PyObject* (*send_close)(WSTransport*, int skip_dispatch, SendCloseOptArgs*);
    PyObject* (*disconnect)(WSTransport*, int skip_dispatch, DisconnectOptArgs*);
    PyObject* (*notify_user_specific_pong_received)(WSTransport*, int skip_dispatch);
    // Private entries follow; we never call them.
};

struct WSListenerVTable {
    PyObject* (*on_ws_connected)(WSListener*, WSTransport*, int skip_dispatch);
    PyObject* (*on_ws_frame)(WSListener*, WSTransport*, WSFrame*, int skip_dispatch);
    PyObject* (*on_ws_disconnected)(WSListener*, WSTransport*, int skip_dispatch);
    PyObject* (*send_user_specific_ping)(WSListener*, WSTransport*, int skip_dispatch);
    PyObject* (*is_user_specific_pong)(WSListener*, WSFrame*, int skip_dispatch);
    PyObject* (*pause_writing)(WSListener*, int skip_dispatch);
    PyObject* (*resume_writing)(WSListener*, int skip_dispatch);
};

}  // namespace picows
