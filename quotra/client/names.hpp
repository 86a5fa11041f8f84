// Every attribute name, keyword, global name and text literal the module uses,
// interned once at module execution and kept for the life of the process.
// Add entries here; refer to them as S(ident).
#pragma once

#include "pyref.hpp"

// X(identifier, "text")
#define QUOTRA_NAMES(X)                                                     \
    X(add_signal_handler, "add_signal_handler")                             \
    X(asyncio, "asyncio")                                                   \
    X(base64, "base64")                                                     \
    X(b64decode, "b64decode")                                               \
    X(call_soon_threadsafe, "call_soon_threadsafe")                         \
    X(cancel, "cancel")                                                     \
    X(CancelledError, "CancelledError")                                     \
    X(uncancel, "uncancel")                                                 \
    X(clear, "clear")                                                       \
    X(close_websocket, "close_websocket")                                   \
    X(create_task, "create_task")                                           \
    X(current_task, "current_task")                                         \
    X(all_tasks, "all_tasks")                                               \
    X(data, "data")                                                         \
    X(decode, "decode")                                                     \
    X(difference_update, "difference_update")                               \
    X(dumps, "dumps")                                                       \
    X(error, "error")                                                       \
    X(Event, "Event")                                                       \
    X(gather, "gather")                                                     \
    X(gaierror, "gaierror")                                                 \
    X(info, "info")                                                         \
    X(instruments, "instruments")                                           \
    X(logger, "logger")                                                     \
    X(loads, "loads")                                                       \
    X(message, "message")                                                   \
    X(on_ws_connected, "on_ws_connected")                                   \
    X(on_ws_disconnected, "on_ws_disconnected")                             \
    X(on_ws_frame, "on_ws_frame")                                           \
    X(OK, "OK")                                                             \
    X(orjson, "orjson")                                                     \
    X(ParseFromString, "ParseFromString")                                   \
    X(PING_WHEN_IDLE, "PING_WHEN_IDLE")                                     \
    X(pricetape, "pricetape")                                               \
    X(reconnect, "reconnect")                                               \
    X(return_exceptions, "return_exceptions")                               \
    X(send_user_specific_ping, "send_user_specific_ping")                   \
    X(SerializeToDict, "SerializeToDict")                                   \
    X(set, "set")                                                           \
    X(signal, "signal")                                                     \
    X(sleep, "sleep")                                                       \
    X(socket, "socket")                                                     \
    X(ssl, "ssl")                                                           \
    X(create_default_context, "create_default_context")                     \
    X(start_ticker, "start_ticker")                                         \
    X(start_websocket, "start_websocket")                                   \
    X(stop, "stop")                                                         \
    X(stop_signal_handler, "stop_signal_handler")                           \
    X(subscribe, "subscribe")                                               \
    X(unsubscribe, "unsubscribe")                                           \
    X(update, "update")                                                     \
    X(wait, "wait")                                                         \
    X(wait_disconnected, "wait_disconnected")                               \
    X(wait_for, "wait_for")                                                 \
    X(timeout, "timeout")                                                   \
    X(to_thread, "to_thread")                                               \
    X(ws_connect, "ws_connect")                                             \
    X(WSAutoPingStrategy, "WSAutoPingStrategy")                             \
    X(WSCloseCode, "WSCloseCode")                                           \
    X(WSError, "WSError")                                                   \
    X(WSMsgType, "WSMsgType")                                               \
    X(TEXT, "TEXT")                                                         \
    X(ssl_context, "ssl_context")                                           \
    X(enable_auto_ping, "enable_auto_ping")                                 \
    X(auto_ping_idle_timeout, "auto_ping_idle_timeout")                     \
    X(auto_ping_reply_timeout, "auto_ping_reply_timeout")                   \
    X(auto_ping_strategy, "auto_ping_strategy")                             \
    X(shutdown, "shutdown")                                                 \
    X(_resubscribe, "_resubscribe")                                         \
    X(__dict__, "__dict__")                                                 \
    X(__new__, "__new__")                                                   \
    X(__name__, "__name__")                                                 \
    X(__pyx_vtable__, "__pyx_vtable__")                                     \
    X(__reduce__, "__reduce__")                                             \
    X(__setstate__, "__setstate__")                                         \
    X(__reduce_cython__, "__reduce_cython__")                               \
    X(__setstate_cython__, "__setstate_cython__")                           \
    X(__pyx_unpickle_Quotra, "__pyx_unpickle_Quotra")                       \
    X(__pyx_unpickle_QuotraListner, "__pyx_unpickle_QuotraListner")         \
    X(pickle, "pickle")                                                     \
    X(PickleError, "PickleError")                                           \
    X(quotra_quotra, "quotra.quotra")                                       \
    X(socket_opened, "Socket opened.")                                      \
    X(socket_closed, "Socket closed.")                                      \
    X(sending_ping, "sending ping")                                         \
    X(trying_to_reconnect, "Trying to reconnect..")                         \
    X(user_interrupt, "WebSocket closure initiated by user interrupt.")     \
    X(ws_disconnected, "Websocket disconnected.")                           \
    X(closed_by_user, "Connection closed by the user.")                     \
    X(is_running, "is_running")                                             \
    X(is_closed, "is_closed")                                               \
    X(cancelled, "cancelled")                                               \
    X(exception, "exception")                                               \
    X(exchange_ts_ns, "exchange_ts_ns")                                     \
    X(warning, "warning")                                                   \
    X(add_done_callback, "add_done_callback")                               \
    X(call_exception_handler, "call_exception_handler")                     \
    X(iscoroutine, "iscoroutine")                                           \
    X(ensure_future, "ensure_future")                                       \
    X(isfuture, "isfuture")                                                 \
    X(call_soon, "call_soon")                                               \
    X(is_closing, "is_closing")                                             \
    X(pause_reading, "pause_reading")                                       \
    X(resume_reading, "resume_reading")                                     \
    X(get_loop, "get_loop")                                                 \
    X(_get_running_loop, "_get_running_loop")                               \
    X(get_coro, "get_coro")                                                 \
    X(done, "done")                                                         \
    X(cr_code, "cr_code")                                                   \
    X(cr_frame, "cr_frame")                                                 \
    X(cr_running, "cr_running")                                             \
    X(cr_suspended, "cr_suspended")                                         \
    X(dunder_code, "__code__")                                              \
    X(dunder_func, "__func__")                                              \
    X(loop, "loop")                                                         \
    X(__qualname__, "__qualname__")                                         \
    X(urlsplit, "urlsplit")                                                 \
    X(hostname, "hostname")                                                 \
    X(port, "port")                                                         \
    X(scheme, "scheme")                                                     \
    X(lower, "lower")                                                       \
    X(SSLCertVerificationError, "SSLCertVerificationError")                 \
    X(verify_code, "verify_code")                                           \
    X(task, "task")                                                         \
    X(task_exception_never_retrieved, "Task exception was never retrieved") \
    X(run_in_thread, "run_in_thread")                                       \
    X(wraps, "wraps")                                                       \
    X(qn_stop_signal_handler, "Quotra.stop_signal_handler")                 \
    X(qn_start_ticker, "Quotra.start_ticker")                               \
    X(qn_shutdown, "Quotra.shutdown")                                       \
    X(connect_error_prefix, "Error occured on connect :: ")                 \
    X(__init__, "__init__")                                                 \
    X(__author__, "__author__")                                             \
    X(__test__, "__test__")                                                 \
    X(functools, "functools")                                               \
    X(picows, "picows")                                                     \
    X(picows_picows, "picows.picows")                                       \
    X(pricetape_proto, "pricetape_proto")                                   \
    X(logging, "logging")                                                   \
    X(getLogger, "getLogger")                                               \
    X(Quotra, "Quotra")                                                     \
    X(QuotraListner, "QuotraListner")                                       \
    X(SIGINT, "SIGINT")                                                     \
    X(SIGTERM, "SIGTERM")                                                   \
    X(_is_coroutine_marker, "_is_coroutine_marker")                         \
    X(_is_coroutine_mark, "_is_coroutine_mark")                             \
    X(__signature__, "__signature__")                                       \
    X(__wrapped__, "__wrapped__")                                           \
    X(inspect, "inspect")                                                   \
    X(Parameter, "Parameter")                                               \
    X(Signature, "Signature")                                               \
    X(empty, "empty")                                                       \
    X(POSITIONAL_OR_KEYWORD, "POSITIONAL_OR_KEYWORD")                       \
    X(VAR_POSITIONAL, "VAR_POSITIONAL")                                     \
    X(VAR_KEYWORD, "VAR_KEYWORD")                                           \
    X(default_, "default")                                                  \
    X(annotation, "annotation")                                             \
    X(return_annotation, "return_annotation")                               \
    X(args, "args")                                                         \
    X(kwargs, "kwargs")                                                     \
    X(return_, "return")                                                    \
    X(throw_, "throw")                                                      \
    X(close, "close")                                                       \
    X(wrapper, "wrapper")                                                   \
    X(qn_wrapper, "run_in_thread.<locals>.decorator.<locals>.wrapper")

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
