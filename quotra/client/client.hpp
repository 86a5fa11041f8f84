// What the units of the Quotra class give each other. Each unit holds one
// concern: its native-table entries and its Python methods; client.cpp
// assembles the type, its native table and its class dictionary from them.
#pragma once

#include "layouts.hpp"
#include "native_function.hpp"

namespace qt {

// The connection's fixed timings, in seconds.
inline constexpr long PING_IDLE_SECONDS = 3;    // picows pings after this long without incoming data
inline constexpr long PING_REPLY_SECONDS = 2;   // and drops the connection when no pong comes within this
inline constexpr long RETRY_DELAY_SECONDS = 1;  // before each new attempt after a failed one
inline constexpr long STOP_WAIT_SECONDS = 2;    // a signalled stop waits this long for the server's close
inline constexpr long OPEN_TIMEOUT_SECONDS = 10;  // bounds an attempt's opening: TCP, TLS and the upgrade

// quote_path.cpp
int vt_on_data_callback(Quotra* self, PyObject* payload);
// on_data_callback for a TEXT frame's payload still in picows' buffer (valid
// for the duration of the call): no bytes object unless the general way needs one.
int on_text_frame(Quotra* self, const char* data, Py_ssize_t n);
// At module execution, once orjson and base64 are imported.
void watch_quote_globals();

// quote_lag.cpp
// The line about lag that count_lag() found may be due, if any, on the
// module's logger; never raises (a failing logger is reported as unraisable).
void lag_line(Quotra* self) noexcept;

// subscriptions.cpp
int vt_ws_send(Quotra* self, PyObject* key, PyObject* value);
int vt_resubscribe(Quotra* self);
extern const FunctionDef subscribe_def;
extern const FunctionDef unsubscribe_def;
extern const FunctionDef resubscribe_def;

// connection.cpp
PyObject* vt_start_websocket(Quotra* self, PyObject* cb, int skip_dispatch, StartWebsocketOpt* opt);
PyObject* vt_close_websocket(Quotra* self, int skip_dispatch);
extern const FunctionDef start_ticker_def;
extern const FunctionDef start_websocket_def;
extern const FunctionDef close_websocket_def;
// CLOSE 1000 with the client's close reason on `transport`, as close_websocket sends it.
void send_user_close(Quotra* self, PyObject* transport);
// close_websocket() was called once the client had started (while its first
// opening is under way, or after it had a connection): a new attempt is not
// made, the one under way is cancelled, and one that connects is closed at once.
inline bool closed_while_running(const Quotra* self) {
    return self->disconnect_socket && (self->closed_after_start || (self->transport && self->transport != Py_None));
}

// The client's end has begun: the user closed it after starting it, or it has
// shut down. A message arriving now is read and dropped (counted), never
// decoded: a consumer far behind must not keep the server's close answer,
// queued behind those messages, from being reached. A close before the start
// leaves the first connection's quotes flowing, as it always has.
inline bool closing(const Quotra* self) {
    return self->shut_down || (self->disconnect_socket && self->closed_after_start);
}

// quote_rounds.cpp
// At most this many quote tasks are made per round of the loop. A round of
// the loop runs every task made in the one before; a consumer far behind
// would otherwise make rounds of thousands of quote bodies (one read's worth),
// and a signal's handler, which the loop runs after the round it arrived in
// and the next, would wait for all of them.
inline constexpr uint32_t QUOTES_PER_ROUND = 256;
inline bool round_has_room(const Quotra* self) {
    return self->round_quotes < QUOTES_PER_ROUND && self->deferred == Py_None;
}
// A quote task made this round (the first one schedules the round's end).
void count_round_quote(Quotra* self, PyObject* loop);
// The quote's coroutine kept for a later round, reading paused meanwhile, so
// that the backlog stays in the socket and memory stays bounded.
void defer_quote(Quotra* self, PyObject* loop, PyObject* coro);
// The deferred coroutines closed, never run (the client's end has begun),
// and reading resumed so that the server's close answer is reached.
void drop_deferred_quotes(Quotra* self) noexcept;
extern const FunctionDef round_end_def;

// callbacks.cpp
// The user callbacks, as bits of Quotra::callbacks_warned.
enum CallbackRole : uint8_t { CB_MESSAGE = 1, CB_ERROR = 2, CB_OPEN = 4, CB_CLOSE = 8 };
// What user callback `cb` returned, onto `loop`: a coroutine as a task, any
// other awaitable through asyncio.ensure_future; anything else is dropped, and
// the first time for each callback an ERROR line names it and the result.
void schedule_result(Quotra* self, PyObject* loop, CallbackRole role, PyObject* cb, PyObject* result);
// cb(arg), its result as above. An Exception it raises goes to the loop's
// exception handler, as its coroutine's would: the connection event it was
// called for (the opening, the end) takes its course all the same.
void run_callback(Quotra* self, PyObject* loop, CallbackRole role, PyObject* cb, PyObject* arg);
// The message callback's result onto `loop`: a coroutine as a task, an
// awaitable of this loop through asyncio.ensure_future. Anything else (not
// awaitable, a generator or an async generator whose body never ran, a
// Future of another loop) raises TypeError, which the quote path hands to
// the error callback, after one ERROR line for the callback.
void schedule_quote_result(Quotra* self, PyObject* loop, PyObject* cb, PyObject* result);

// shutdown.cpp
int vt_add_signal_handler(Quotra* self);
int vt_initiate_shutdown(Quotra* self);
// The message callback's tasks that have not started yet, cancelled (on the
// loop's thread only): their bodies would keep the close waiting however far
// behind the consumer is, and the shutdown cancels them all the same.
void cancel_waiting_quotes(Quotra* self);
extern const FunctionDef stop_signal_handler_def;
extern const FunctionDef shutdown_def;

// run_in_thread.cpp
extern const FunctionDef run_in_thread_def;
// Sends on `transport` from any thread: a worker thread hands the send to the
// transport's loop thread and waits for it.
void transport_send(PyObject* transport, picows::WSMsgType mt, PyObject* payload);

}  // namespace qt
