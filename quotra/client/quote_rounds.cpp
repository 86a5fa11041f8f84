// Rounds of quote tasks: at most QUOTES_PER_ROUND quote tasks made per round
// of the loop (client.hpp says why). The message callback still gets every
// quote as its frame arrives, in order; only the task of a coroutine beyond
// the round's share waits, in `deferred`, for a later round, and the tasks
// start in the order of the frames all the same. While any wait, the
// connection's reading is paused: what the consumer has not reached stays in
// the socket and the server's queue, as it did when every quote became a task
// at once, and the client's memory does not grow with the backlog.
#include "client.hpp"
#include "support.hpp"

namespace qt {

namespace {

// Deferred lists compact once this many of their coroutines are taken.
constexpr Py_ssize_t COMPACT_AT = 4096;

// Borrowed: the underlying transport of the client's connection, or nullptr.
PyObject* underlying_of(Quotra* self) {
    PyObject* transport = self->transport;  // borrowed
    if (!PyObject_TypeCheck(transport, reinterpret_cast<PyTypeObject*>(state.WSTransport))) return nullptr;
    return reinterpret_cast<picows::WSTransport*>(transport)->underlying_transport;
}

void set_reading(Quotra* self, bool paused) noexcept {
    try {
        if (paused) {
            PyObject* current = underlying_of(self);  // borrowed
            if (!current) return;
            Ref underlying = newref(current);
            call_method(underlying.get(), S(pause_reading));
            set_field(self->paused, underlying.get());
        } else {
            Ref underlying = newref(self->paused);
            set_field(self->paused, Py_None);
            if (underlying.get() == Py_None) return;
            Ref closing = call_method(underlying.get(), S(is_closing));
            if (!truthy(closing.get())) call_method(underlying.get(), S(resume_reading));
        }
    } catch (const PyError&) {
        // A transport that cannot pause or resume (closed under us) needs neither.
        PyErr_Clear();
    }
}

void mark_round(Quotra* self, PyObject* loop) {
    if (self->round_marked) return;
    Ref marker = newref(self->round_marker);
    if (marker.get() == Py_None) {
        marker = function_new(&round_end_def, reinterpret_cast<PyObject*>(self));
        set_field(self->round_marker, marker.get());
    }
    call_method(loop, S(call_soon), marker.get());
    self->round_marked = true;
}

// The next coroutines of `deferred` as tasks, up to the round's share.
void take_deferred(Quotra* self, PyObject* loop) {
    Ref list = newref(self->deferred);
    if (list.get() == Py_None) return;
    Py_ssize_t n = PyList_GET_SIZE(list.get());
    while (self->deferred_at < n && self->round_quotes < QUOTES_PER_ROUND) {
        Ref coro = newref(PyList_GET_ITEM(list.get(), self->deferred_at));
        check(PyList_SetItem(list.get(), self->deferred_at++, Py_NewRef(Py_None)));
        call_method(loop, S(create_task), coro.get());
        count_round_quote(self, loop);
        // An eager task runs its callback inside create_task: one that closed
        // the client has closed and let go of the list (deferred_at is 0 again).
        if (self->deferred != list.get()) return;
    }
    if (self->deferred_at >= n) {
        set_field(self->deferred, Py_None);
        self->deferred_at = 0;
        set_reading(self, false);
    } else if (self->deferred_at >= COMPACT_AT && self->deferred_at * 2 > n) {
        check(PyList_SetSlice(list.get(), 0, self->deferred_at, nullptr));
        self->deferred_at = 0;
    }
}

// The end of a round, run by the loop (call_soon); closure: the client.
PyObject* round_end_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref client = newref(function_closure(func));
        Quotra* self = as_quotra(client.get());
        self->round_marked = false;
        self->round_quotes = 0;
        if (closing(self)) {
            drop_deferred_quotes(self);
        } else {
            Ref loop = newref(self->loop);
            take_deferred(self, loop.get());
        }
        return Py_NewRef(Py_None);
    });
}

}  // namespace

const FunctionDef round_end_def = {"<round end>", "Quotra.<round end>", no_params, false, false, false, round_end_impl};

void count_round_quote(Quotra* self, PyObject* loop) {
    if (self->round_quotes++ != 0) return;
    try {
        mark_round(self, loop);
    } catch (const PyError&) {
        // A loop without call_soon (a stand-in) has no rounds to count: its
        // quote tasks are made as they come, as they always were.
        PyErr_Clear();
        self->round_quotes = 0;
    }
}

void defer_quote(Quotra* self, PyObject* loop, PyObject* coro) {
    Ref list = newref(self->deferred);
    if (list.get() == Py_None) {
        list = own(PyList_New(0));
        set_field(self->deferred, list.get());
        self->deferred_at = 0;
    }
    check(PyList_Append(list.get(), coro));
    mark_round(self, loop);
    // The connection now, which after a reconnection is not the one paused.
    if (self->paused != underlying_of(self)) set_reading(self, true);
}

void drop_deferred_quotes(Quotra* self) noexcept {
    Ref list = Ref::steal(self->deferred);
    self->deferred = Py_NewRef(Py_None);
    Py_ssize_t from = self->deferred_at;
    self->deferred_at = 0;
    if (list.get() != Py_None) {
        for (Py_ssize_t i = from; i < PyList_GET_SIZE(list.get()); i++) {
            PyObject* coro = PyList_GET_ITEM(list.get(), i);  // borrowed: the list holds it
            if (coro == Py_None) continue;
            PyObject* r = PyObject_CallMethodNoArgs(coro, S(close));
            if (!r) PyErr_WriteUnraisable(coro);
            Py_XDECREF(r);
        }
    }
    set_reading(self, false);
}

}  // namespace qt
