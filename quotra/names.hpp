// Every attribute name, keyword, global name and text literal the module uses,
// interned once at module execution and kept for the life of the process.
// Add entries here; refer to them as S(ident).
#pragma once

#include "pyref.hpp"

// X(identifier, "text")
#define QUOTRA_NAMES(X)                                                          \
    X(add_signal_handler, "add_signal_handler")                                  \
    X(asyncio, "asyncio")                                                        \
    X(base64, "base64")                                                          \
    X(b64decode, "b64decode")                                                    \
    X(call_soon_threadsafe, "call_soon_threadsafe")                              \
    X(cancel, "cancel")                                                          \
    X(clear, "clear")                                                            \
    X(close_websocket, "close_websocket")                                        \
    X(create_task, "create_task")                                                \
    X(current_task, "current_task")                                              \
    X(all_tasks, "all_tasks")                                                    \
    X(data, "data")                                                              \
    X(decode, "decode")                                                          \
    X(difference_update, "difference_update")                                    \
    X(disconnect, "disconnect")                                                  \
    X(dumps, "dumps")                                                            \
    X(error, "error")                                                            \
    X(Event, "Event")                                                            \
    X(gather, "gather")                                                          \
    X(gaierror, "gaierror")                                                      \
    X(info, "info")                                                              \
    X(instruments, "instruments")                                                \
    X(logger, "logger")                                                          \
    X(loads, "loads")                                                            \
    X(loop, "loop")                                                              \
    X(message, "message")                                                        \
    X(on_ws_connected, "on_ws_connected")                                        \
    X(on_ws_disconnected, "on_ws_disconnected")                                  \
    X(on_ws_frame, "on_ws_frame")                                                \
    X(OK, "OK")                                                                  \
    X(orjson, "orjson")                                                          \
    X(ParseFromString, "ParseFromString")                                        \
    X(PING_WHEN_IDLE, "PING_WHEN_IDLE")                                          \
    X(pricetape, "pricetape")                                                    \
    X(reconnect, "reconnect")                                                    \
    X(return_exceptions, "return_exceptions")                                    \
    X(send_user_specific_ping, "send_user_specific_ping")                        \
    X(SerializeToDict, "SerializeToDict")                                        \
    X(set, "set")                                                                \
    X(signal, "signal")                                                          \
    X(sleep, "sleep")                                                            \
    X(socket, "socket")                                                          \
    X(ssl, "ssl")                                                                \
    X(create_default_context, "create_default_context")                         \
    X(start_ticker, "start_ticker")                                              \
    X(start_websocket, "start_websocket")                                        \
    X(stop, "stop")                                                              \
    X(stop_signal_handler, "stop_signal_handler")                                \
    X(subscribe, "subscribe")                                                    \
    X(unsubscribe, "unsubscribe")                                                \
    X(update, "update")                                                          \
    X(wait, "wait")                                                              \
    X(wait_disconnected, "wait_disconnected")                                    \
    X(wait_for, "wait_for")                                                      \
    X(timeout, "timeout")                                                        \
    X(to_thread, "to_thread")                                                    \
    X(ws_connect, "ws_connect")                                                  \
    X(WSAutoPingStrategy, "WSAutoPingStrategy")                                  \
    X(WSCloseCode, "WSCloseCode")                                                \
    X(WSError, "WSError")                                                        \
    X(WSMsgType, "WSMsgType")                                                    \
    X(TEXT, "TEXT")                                                              \
    X(PONG, "PONG")                                                              \
    X(CLOSE, "CLOSE")                                                            \
    X(ssl_context, "ssl_context")                                                \
    X(enable_auto_ping, "enable_auto_ping")                                      \
    X(auto_ping_idle_timeout, "auto_ping_idle_timeout")                          \
    X(auto_ping_reply_timeout, "auto_ping_reply_timeout")                        \
    X(auto_ping_strategy, "auto_ping_strategy")                                  \
    X(shutdown, "shutdown")                                                      \
    X(_resubscribe, "_resubscribe")                                              \
    X(_is_coroutine_marker, "_is_coroutine_marker")                              \
    X(__dict__, "__dict__")                                                      \
    X(__new__, "__new__")                                                        \
    X(__name__, "__name__")                                                      \
    X(__module__, "__module__")                                                  \
    X(__qualname__, "__qualname__")                                              \
    X(__pyx_vtable__, "__pyx_vtable__")                                          \
    X(__reduce__, "__reduce__")                                                  \
    X(__setstate__, "__setstate__")                                              \
    X(__reduce_cython__, "__reduce_cython__")                                    \
    X(__setstate_cython__, "__setstate_cython__")                                \
    X(__pyx_unpickle_Quotra, "__pyx_unpickle_Quotra")                            \
    X(__pyx_unpickle_QuotraListner, "__pyx_unpickle_QuotraListner")              \
    X(pickle, "pickle")                                                          \
    X(PickleError, "PickleError")                                                \
    X(quotra_quotra, "quotra.quotra")                                            \
    X(socket_opened, "Socket opened.")                                           \
    X(socket_closed, "Socket closed.")                                           \
    X(sending_ping, "sending ping")                                              \
    X(trying_to_reconnect, "Trying to reconnect..")                              \
    X(user_interrupt, "WebSocket closure initiated by user interrupt.")          \
    X(ws_disconnected, "Websocket disconnected.")                                \
    X(closed_by_user, "Connection closed by the user.")                          \
    X(is_running, "is_running")                                                  \
    X(is_closed, "is_closed")                                                    \
    X(cancelled, "cancelled")                                                    \
    X(exception, "exception")                                                    \
    X(add_done_callback, "add_done_callback")                                    \
    X(run_in_thread, "run_in_thread")                                            \
    X(wraps, "wraps")                                                            \
    X(qn_stop_signal_handler, "Quotra.stop_signal_handler")                      \
    X(qn_start_ticker, "Quotra.start_ticker")                                    \
    X(qn_shutdown, "Quotra.shutdown")                                            \
    X(connect_error_prefix, "Error occured on connect :: ")                      \
    X(__init__, "__init__")                                                      \
    X(__builtins__, "__builtins__")                                              \
    X(__loader__, "__loader__")                                                  \
    X(__file__, "__file__")                                                      \
    X(__package__, "__package__")                                                \
    X(__path__, "__path__")                                                      \
    X(__author__, "__author__")                                                  \
    X(__test__, "__test__")                                                      \
    X(functools, "functools")                                                    \
    X(picows, "picows")                                                          \
    X(picows_picows, "picows.picows")                                            \
    X(pricetape_proto, "pricetape_proto")                                        \
    X(logging, "logging")                                                        \
    X(getLogger, "getLogger")                                                    \
    X(WSListener, "WSListener")                                                  \
    X(WSTransport, "WSTransport")                                                \
    X(WSFrame, "WSFrame")                                                        \
    X(MemoryBuffer, "MemoryBuffer")                                              \
    X(WSUpgradeRequest, "WSUpgradeRequest")                                      \
    X(WSUpgradeResponse, "WSUpgradeResponse")                                    \
    X(WSUpgradeResponseWithListener, "WSUpgradeResponseWithListener")            \
    X(staticmethod, "staticmethod")                                              \
    X(OSError, "OSError")                                                        \
    X(super, "super")                                                            \
    X(ImportError, "ImportError")                                                \
    X(name, "name")                                                              \
    X(loader, "loader")                                                          \
    X(origin, "origin")                                                          \
    X(parent, "parent")                                                          \
    X(submodule_search_locations, "submodule_search_locations")                  \
    X(sys, "sys")                                                                \
    X(modules, "modules")                                                        \
    X(Quotra, "Quotra")                                                          \
    X(QuotraListner, "QuotraListner")                                            \
    X(SIGINT, "SIGINT")                                                          \
    X(SIGTERM, "SIGTERM")

namespace qt {

struct Names {
#define QUOTRA_NAME_FIELD(ident, text) PyObject* ident;
    QUOTRA_NAMES(QUOTRA_NAME_FIELD)
#undef QUOTRA_NAME_FIELD
};

// Process-wide: filled once by the first successful module execution.
extern Names names;

int names_init();

}  // namespace qt

#define S(ident) (::qt::names.ident)
