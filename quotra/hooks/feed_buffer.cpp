// quotra._quiet.FeedBuffer: the buffer between a feed's client and its
// consumer. The client holds it as its sink and calls it with each quote's
// dict straight from the quote path (a C call, no task, no Python frame); the
// consumer takes the quotes out with take(), which measures each one's age
// as it is handed over: the consumer's own lag, which the client's counters
// (taken as quotes are decoded) cannot see.
//
// Bounded either way: a queue of `maxsize` quotes that drops the oldest, or,
// conflating, one entry per instrument (the latest, in the order the latest
// ones arrived). A consumer waiting for quotes puts a future in `waiters`;
// the first quote after it wakes every waiter once, so a consumer that keeps
// up is woken once per batch the loop reads, never once per quote.
#include "feed_buffer.hpp"

#include "../client/health_py.hpp"

#include <cinttypes>
#include <cstdio>
#include <deque>
#include <new>

namespace {

using qt::Health;

struct Entry {
    PyObject* key;    // owned; nullptr when not conflating
    PyObject* quote;  // owned
};

// A Python object: made zeroed by tp_alloc, never by a constructor.
struct FeedBuffer {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject_HEAD
    vectorcallfunc vectorcall;
    std::deque<Entry>* queue;  // owned (new/delete): a C++ object in a C struct
    PyObject* latest;          // conflating: instrument -> its latest quote still buffered; else nullptr
    PyObject* waiters;         // list of the consumers' futures
    PyObject* logger;
    Py_ssize_t maxsize;
    bool conflate;
    bool ended;
    uint64_t received, delivered, conflated, dropped;
    uint64_t dropped_at_line;  // `dropped` when the last line about drops was logged
    int64_t drop_line_ns;      // monotonic_ns() of that line; 0: none yet
    size_t dead;               // conflating: queue entries whose quote a newer one replaced
    Health lag;                // the hand-over lag (health.hpp's counters and lines' state)
};

constexpr int64_t DROP_LINE_EVERY_NS = 5'000'000'000;
// Superseded entries are swept out once they are this many and outnumber the live ones.
constexpr size_t SWEEP_AT = 64;

PyObject* s_instrument = nullptr;  // interned at module execution (process-wide, like the type)
PyObject* s_exchange_ts_ns = nullptr;

FeedBuffer* as_buffer(PyObject* o) { return reinterpret_cast<FeedBuffer*>(o); }

// A line on the feed's logger; a logger that fails does not fail the quote.
void log_line(FeedBuffer* b, const char* level, const char* text) {
    PyObject* r = PyObject_CallMethod(b->logger, level, "s", text);
    if (!r)
        PyErr_WriteUnraisable(b->logger);
    else
        Py_DECREF(r);
}

void drop_line(FeedBuffer* b, bool now_anyway) {
    if (b->dropped == b->dropped_at_line) return;
    int64_t now = qt::monotonic_ns();
    if (!now_anyway && b->drop_line_ns && now - b->drop_line_ns < DROP_LINE_EVERY_NS) return;
    uint64_t since = b->dropped - b->dropped_at_line;
    b->dropped_at_line = b->dropped;
    b->drop_line_ns = now;
    char text[256];
    std::snprintf(text, sizeof text,
                  "feed buffer full (maxsize %zd): the consumer is behind; dropped %" PRIu64
                  " oldest quotes since the last such line (%" PRIu64 " in all)",
                  b->maxsize, since, b->dropped);
    log_line(b, "warning", text);
}

double seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }

// The lines about the hand-over lag, as the client's about the decoding lag.
void lag_line(FeedBuffer* b) {
    Health& h = b->lag;
    char text[256];
    const char* level = "warning";
    if (h.future_quotes && !h.future_reported) {
        h.future_reported = true;
        std::snprintf(text, sizeof text,
                      "feed: quote timestamps are more than %.3f s ahead of this machine's clock: a clock is "
                      "wrong; such quotes are not counted as lag (reported once)",
                      seconds(h.future_tolerance_ns));
    } else if (h.lag_ns > h.lag_threshold_ns) {
        int64_t now = qt::monotonic_ns();
        if (h.behind_line_ns && now - h.behind_line_ns < qt::BEHIND_LINE_EVERY_NS) return;
        uint64_t late = h.late_quotes - h.late_at_line;
        h.late_at_line = h.late_quotes;
        h.behind_line_ns = now;
        h.behind = true;
        std::snprintf(text, sizeof text,
                      "feed: the consumer is behind: the latest quote was %.3f s old when handed over (threshold "
                      "%.3f s); %" PRIu64 " handed over late since the last such line",
                      seconds(h.lag_ns), seconds(h.lag_threshold_ns), late);
    } else if (h.behind) {
        h.behind = false;
        level = "info";
        std::snprintf(text, sizeof text,
                      "feed: the consumer is back under the lag threshold (%.3f s): the latest quote was %.3f s old "
                      "when handed over",
                      seconds(h.lag_threshold_ns), seconds(h.lag_ns));
    } else {
        return;
    }
    log_line(b, level, text);
}

int wake(FeedBuffer* b) {
    PyObject* waiting = b->waiters;  // owned from here
    b->waiters = PyList_New(0);
    if (!b->waiters) {
        b->waiters = waiting;
        return -1;
    }
    int r = 0;
    for (Py_ssize_t i = 0; r == 0 && i < PyList_GET_SIZE(waiting); i++) {
        // Owned for the calls: a waiter's own code may take it out of a list
        // that was the only other holder (the getter hands the list out).
        PyObject* w = Py_NewRef(PyList_GET_ITEM(waiting, i));
        PyObject* done = PyObject_CallMethod(w, "done", nullptr);
        if (!done) {
            Py_DECREF(w);
            r = -1;
            break;
        }
        int is_done = PyObject_IsTrue(done);
        Py_DECREF(done);
        if (is_done < 0) r = -1;
        if (is_done == 0) {
            PyObject* set = PyObject_CallMethod(w, "set_result", "O", Py_None);
            if (!set) r = -1;
            Py_XDECREF(set);
        }
        Py_DECREF(w);
    }
    Py_DECREF(waiting);
    return r;
}

void release(Entry& e) {
    Py_XDECREF(e.key);
    Py_DECREF(e.quote);
}

// Keeps only the entries whose quote is still the latest of its instrument.
// The others are let go once the queue is whole again: letting a quote go
// may run Python code (a finalizer) that calls the buffer.
void sweep(FeedBuffer* b) {
    std::deque<Entry> kept, gone;
    for (Entry& e : *b->queue) {
        PyObject* cur = PyDict_GetItemWithError(b->latest, e.key);  // borrowed
        if (!cur) PyErr_Clear();
        (cur == e.quote ? kept : gone).push_back(e);
    }
    b->queue->swap(kept);
    b->dead = 0;
    for (Entry& e : gone) release(e);
}

int push_conflated(FeedBuffer* b, PyObject* quote) {
    PyObject* key = PyDict_Check(quote) ? PyDict_GetItemWithError(quote, s_instrument) : nullptr;  // borrowed
    if (!key) {
        if (PyErr_Occurred()) return -1;
        key = Py_None;
    }
    key = Py_NewRef(key);
    PyObject* prev = PyDict_GetItemWithError(b->latest, key);  // borrowed; a queue entry holds it too
    if ((!prev && PyErr_Occurred()) || PyDict_SetItem(b->latest, key, quote) < 0) {
        Py_DECREF(key);
        return -1;
    }
    if (prev) {
        b->conflated++;
        b->dead++;
    }
    b->queue->push_back({key, Py_NewRef(quote)});
    if (b->dead >= SWEEP_AT && b->dead > static_cast<size_t>(PyDict_GET_SIZE(b->latest))) sweep(b);
    return 0;
}

void push_queued(FeedBuffer* b, PyObject* quote) {
    if (static_cast<Py_ssize_t>(b->queue->size()) >= b->maxsize) {
        // Out of the queue before it is let go (a finalizer may call the buffer).
        Entry oldest = b->queue->front();
        b->queue->pop_front();
        release(oldest);
        b->dropped++;
        drop_line(b, false);
    }
    b->queue->push_back({nullptr, Py_NewRef(quote)});
}

// buffer(quote): the client's sink.
PyObject* fb_push(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
        PyErr_SetString(PyExc_TypeError, "FeedBuffer takes one quote");
        return nullptr;
    }
    FeedBuffer* b = as_buffer(self);
    if (b->ended) Py_RETURN_NONE;  // the feed has closed: nobody will take it
    b->received++;
    try {
        if (b->conflate) {
            if (push_conflated(b, args[0]) < 0) return nullptr;
        } else {
            push_queued(b, args[0]);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (PyList_GET_SIZE(b->waiters) && wake(b) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The next quote for the consumer, or None when none is buffered.
PyObject* fb_take(PyObject* self, PyObject*) {
    FeedBuffer* b = as_buffer(self);
    if (b->dropped != b->dropped_at_line) drop_line(b, false);
    while (!b->queue->empty()) {
        Entry e = b->queue->front();
        b->queue->pop_front();
        if (b->conflate) {
            PyObject* cur = PyDict_GetItemWithError(b->latest, e.key);  // borrowed
            if (cur != e.quote) {
                PyErr_Clear();
                b->dead--;
                release(e);
                continue;
            }
            if (PyDict_DelItem(b->latest, e.key) < 0) PyErr_Clear();
            Py_DECREF(e.key);
        }
        b->delivered++;
        int64_t ts = qt::quote_timestamp(e.quote, s_exchange_ts_ns);
        if (ts > 0 && qt::count_lag(b->lag, qt::wall_ns() - ts)) lag_line(b);
        return e.quote;
    }
    Py_RETURN_NONE;
}

PyObject* fb_end(PyObject* self, PyObject*) {
    FeedBuffer* b = as_buffer(self);
    b->ended = true;
    drop_line(b, true);
    if (wake(b) < 0) return nullptr;
    Py_RETURN_NONE;
}

void clear_queue(FeedBuffer* b) {
    if (!b->queue) return;
    std::deque<Entry> gone;
    gone.swap(*b->queue);
    b->dead = 0;
    for (Entry& e : gone) release(e);
}

// Quotes left unread at the close: the connection they came on is gone.
PyObject* fb_discard(PyObject* self, PyObject*) {
    FeedBuffer* b = as_buffer(self);
    clear_queue(b);
    if (b->latest) PyDict_Clear(b->latest);
    Py_RETURN_NONE;
}

int put(PyObject* d, const char* key, PyObject* value) {
    if (!value) return -1;
    int r = PyDict_SetItemString(d, key, value);
    Py_DECREF(value);
    return r;
}

Py_ssize_t buffered(const FeedBuffer* b) {
    return b->conflate ? PyDict_GET_SIZE(b->latest) : static_cast<Py_ssize_t>(b->queue->size());
}

PyObject* fb_counters(PyObject* self, PyObject*) {
    FeedBuffer* b = as_buffer(self);
    const Health& h = b->lag;
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    if (put(d, "received", PyLong_FromUnsignedLongLong(b->received)) < 0 ||
        put(d, "delivered", PyLong_FromUnsignedLongLong(b->delivered)) < 0 ||
        put(d, "conflated", PyLong_FromUnsignedLongLong(b->conflated)) < 0 ||
        put(d, "dropped", PyLong_FromUnsignedLongLong(b->dropped)) < 0 ||
        put(d, "buffered", PyLong_FromSsize_t(buffered(b))) < 0 ||
        put(d, "lag_s", h.lag_quotes ? PyFloat_FromDouble(seconds(h.lag_ns > 0 ? h.lag_ns : 0)) : Py_NewRef(Py_None)) <
            0 ||
        put(d, "late_quotes", PyLong_FromUnsignedLongLong(h.late_quotes)) < 0 ||
        put(d, "future_quotes", PyLong_FromUnsignedLongLong(h.future_quotes)) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

// (bounds, counts, sum) of the hand-over lag, as quotra._monitor.lag_histogram gives a client's.
PyObject* fb_lag_histogram(PyObject* self, PyObject*) { return qt::lag_histogram_tuple(as_buffer(self)->lag); }

// set_limits(lag_threshold_ns, future_tolerance_ns): checked by quotra.feed.
PyObject* fb_set_limits(PyObject* self, PyObject* args) {
    long long threshold, tolerance;
    if (!PyArg_ParseTuple(args, "LL:set_limits", &threshold, &tolerance)) return nullptr;
    if (threshold <= 0 || tolerance < 0) {
        PyErr_SetString(PyExc_ValueError, "set_limits: a positive threshold and a tolerance of at least 0");
        return nullptr;
    }
    Health& h = as_buffer(self)->lag;
    h.lag_threshold_ns = threshold;
    h.future_tolerance_ns = tolerance;
    Py_RETURN_NONE;
}

PyObject* fb_limits(PyObject* self, PyObject*) {
    const Health& h = as_buffer(self)->lag;
    return Py_BuildValue("(dd)", seconds(h.lag_threshold_ns), seconds(h.future_tolerance_ns));
}

PyObject* fb_get_waiters(PyObject* self, void*) { return Py_NewRef(as_buffer(self)->waiters); }
PyObject* fb_get_ended(PyObject* self, void*) { return PyBool_FromLong(as_buffer(self)->ended); }

// FeedBuffer(logger, maxsize, conflate)
PyObject* fb_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* logger;
    Py_ssize_t maxsize;
    int conflate;
    static const char* kwlist[] = {"logger", "maxsize", "conflate", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Onp:FeedBuffer", const_cast<char**>(kwlist), &logger, &maxsize,
                                     &conflate))
        return nullptr;
    if (maxsize < 1) {
        PyErr_SetString(PyExc_ValueError, "FeedBuffer: maxsize is at least 1");
        return nullptr;
    }
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    FeedBuffer* b = as_buffer(o);
    b->vectorcall = fb_push;
    b->queue = new (std::nothrow) std::deque<Entry>();
    b->waiters = PyList_New(0);
    b->latest = conflate ? PyDict_New() : nullptr;
    b->logger = Py_NewRef(logger);
    b->maxsize = maxsize;
    b->conflate = conflate != 0;
    new (&b->lag) Health();
    if (!b->queue || !b->waiters || (conflate && !b->latest)) {
        bool no_queue = !b->queue;
        Py_DECREF(o);
        return no_queue ? PyErr_NoMemory() : nullptr;
    }
    return o;
}

int fb_traverse(PyObject* self, visitproc visit, void* arg) {
    FeedBuffer* b = as_buffer(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(b->latest);
    Py_VISIT(b->waiters);
    Py_VISIT(b->logger);
    if (b->queue) {
        for (const Entry& e : *b->queue) {
            Py_VISIT(e.key);
            Py_VISIT(e.quote);
        }
    }
    return 0;
}

int fb_clear(PyObject* self) {
    FeedBuffer* b = as_buffer(self);
    clear_queue(b);
    Py_CLEAR(b->latest);
    Py_CLEAR(b->waiters);
    Py_CLEAR(b->logger);
    return 0;
}

void fb_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    fb_clear(self);
    delete as_buffer(self)->queue;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef fb_methods[] = {
    {"take", fb_take, METH_NOARGS, "take($self, /)\n--\n\nThe next quote, or None when none is buffered."},
    {"end", fb_end, METH_NOARGS,
     "end($self, /)\n--\n\nNo more quotes: wakes the waiting consumers; later quotes are ignored."},
    {"discard", fb_discard, METH_NOARGS, "discard($self, /)\n--\n\nDrops the buffered quotes."},
    {"counters", fb_counters, METH_NOARGS, "counters($self, /)\n--\n\nThe buffer's counters now."},
    {"lag_histogram", fb_lag_histogram, METH_NOARGS,
     "lag_histogram($self, /)\n--\n\n(bounds, counts, sum) of the age of the quotes handed over."},
    {"set_limits", fb_set_limits, METH_VARARGS,
     "set_limits($self, lag_threshold_ns, future_tolerance_ns, /)\n--\n\nThe lag threshold and future tolerance."},
    {"limits", fb_limits, METH_NOARGS, "limits($self, /)\n--\n\n(lag threshold, future tolerance) in seconds."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef fb_getset[] = {
    {"waiters", fb_get_waiters, nullptr, "The futures of the consumers waiting for a quote.", nullptr},
    {"ended", fb_get_ended, nullptr, "Whether end() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fb_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FeedBuffer, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fb_slots[] = {
    {Py_tp_members, fb_members},
    {Py_tp_new, reinterpret_cast<void*>(fb_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fb_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fb_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fb_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_methods, fb_methods},
    {Py_tp_getset, fb_getset},
    {Py_tp_doc, const_cast<char*>("FeedBuffer(logger, maxsize, conflate)\n--\n\nA feed's quotes between its "
                                  "client and its consumer; use quotra.feed.")},
    {0, nullptr},
};

}  // namespace

int add_feed_buffer_type(PyObject* module) {
    if (!s_instrument) s_instrument = PyUnicode_InternFromString("instrument");
    if (!s_exchange_ts_ns) s_exchange_ts_ns = PyUnicode_InternFromString("exchange_ts_ns");
    if (!s_instrument || !s_exchange_ts_ns) return -1;
    PyType_Spec spec = {"quotra._quiet.FeedBuffer", sizeof(FeedBuffer), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL, fb_slots};
    PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
    if (!type) return -1;
    int r = PyModule_AddObjectRef(module, "FeedBuffer", type);
    Py_DECREF(type);
    return r;
}
