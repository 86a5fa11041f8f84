// The per-quote path: a text frame's payload becomes the dict handed to the
// user's message callback, or the exception handed to the error callback.
// It runs for every quote, so it takes nothing from the module dictionary
// that it does not need and calls through vectorcall.
//
// Two ways through, one behaviour. The native way reads a frame of the
// service's usual form ({"message":"<base64>"}) straight from picows' buffer
// into the native price message (quotra._pricetape's C interface) and builds
// the dict there, with no Python-level call before the user's callback. It is
// taken only while everything the general way would call is what it was at
// import (orjson.loads, base64.b64decode) and the client's message object is
// exactly a native message type; anything else, and every frame not of the
// usual form, goes the general way, so results and errors stay exactly those
// of orjson, b64decode and the message object's own methods.
#include "client.hpp"
#include "health_py.hpp"
#include "support.hpp"

#include <optional>

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// Exported by CPython 3.13 (Include/internal/pycore_object.h), not declared
// in its public headers.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace qt {

namespace {

// A function of a plain module, as attribute lookup would return it: for names
// the module type itself does not define, that is the module dictionary's
// entry, and reading it directly saves the generic lookup on every quote.
Ref module_function(PyObject* mod, PyObject* name) {
    if (PyModule_CheckExact(mod)) {
        PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(mod), name);  // borrowed
        if (v) return newref(v);
        if (PyErr_Occurred()) raise();
    }
    return getattr(mod, name);
}

// Borrowed: the dictionary of the module global `module_name` when it is a
// plain module, else nullptr (never an exception: a miss only means the
// general way, which reports whatever is wrong).
PyObject* plain_module_dict(PyObject* module_name) {
    PyObject* mod = PyDict_GetItemWithError(state.dict, module_name);  // borrowed
    if (!mod || !PyModule_CheckExact(mod)) {
        PyErr_Clear();
        return nullptr;
    }
    return PyModule_GetDict(mod);
}

// Borrowed: `dict[name]`, or nullptr without an exception.
PyObject* entry(PyObject* dict, PyObject* name) {
    PyObject* v = dict ? PyDict_GetItemWithError(dict, name) : nullptr;  // borrowed
    if (!v) PyErr_Clear();
    return v;
}

// Whether the globals were found to be the originals and no watched
// dictionary has changed since. Process-wide like the module state.
int globals_watcher = -1;
bool globals_original = false;
// Owned: the dictionaries the watcher watches (the module's own, then those of
// the modules imported as orjson and base64).
PyObject* watched_dicts[3] = {nullptr, nullptr, nullptr};

int on_globals_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    globals_original = false;
    return 0;
}

bool globals_are_original() {
    if (globals_original) return true;
    PyObject* orjson_dict = plain_module_dict(S(orjson));
    PyObject* base64_dict = plain_module_dict(S(base64));
    bool original =
        entry(orjson_dict, S(loads)) == state.orjson_loads && entry(base64_dict, S(b64decode)) == state.b64decode;
    // The flag may stay set only while a watcher would clear it: with no
    // watcher, or with orjson or base64 now a module whose dictionary is not
    // watched, check at every frame.
    globals_original =
        original && globals_watcher >= 0 && orjson_dict == watched_dicts[1] && base64_dict == watched_dicts[2];
    return original;
}

bool native_way_open(Quotra* self) {
    const quotra_pricetape_api* api = state.pricetape_api;
    return api && api->is_exact(self->pricetape) && globals_are_original();
}

// While alive, `exc` is the exception being handled, as inside a Python
// `except` block: whatever the error callback or create_task raises carries
// it as its __context__.
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept : saved_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc); }
    ~Handling() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_;  // owned, or nullptr
};

// The current exception to the error callback when it is an Exception;
// anything else propagates.
void hand_to_error_callback(Quotra* self) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Handling handling(exc.get());
    Ref err_cb = newref(self->error_callback);
    if (truthy(err_cb.get())) {
        Ref loop = newref(self->loop);
        Ref create = getattr(loop.get(), S(create_task));
        Ref result = call(err_cb.get(), exc.get());
        if (PyCoro_CheckExact(result.get()))
            call(create.get(), result.get());
        else
            schedule_result(self, loop.get(), CB_ERROR, err_cb.get(), result.get());
    }
}

// The error callback's share of a failure of the guarded steps: counted as a
// quote error, then handed over.
void to_error_callback(Quotra* self) {
    self->health.quote_errors++;
    hand_to_error_callback(self);
}

void count_quote(Quotra* self, bool line_due) {
    self->health.quotes++;
    self->health.last_quote_ns = monotonic_ns();
    if (line_due) lag_line(self);
}

// `obj.<name>`, looked up the way a method call looks it up: when the
// attribute is a plain function of the object's type (a loop's create_task,
// always in practice) the function itself, to be called with `obj` first,
// instead of a bound method made and dropped again for one call (some 460
// instructions a quote). Anything else (an instance attribute, a custom
// __getattribute__, a property) is the bound attribute, as getattr gives it.
class MethodOf {
public:
    MethodOf(PyObject* obj, PyObject* name) : obj_(obj) {
        PyObject* fn = nullptr;
        unbound_ = lookup(obj, name, &fn) == 1;
        fn_ = own(fn);
    }

    Ref operator()(PyObject* arg) const {
        PyObject* args[] = {nullptr, obj_, arg};
        if (unbound_) return own(PyObject_Vectorcall(fn_.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        return own(PyObject_Vectorcall(fn_.get(), args + 2, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

private:
    // CPython 3.13 exports the lookup that PyObject_VectorcallMethod makes;
    // the public API offers it only fused with the call, and the call must
    // wait until the callback has run.
    static int lookup(PyObject* obj, PyObject* name, PyObject** fn) {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
        return _PyObject_GetMethod(obj, name, fn);
#else
        *fn = PyObject_GetAttr(obj, name);
        return 0;
#endif
    }

    PyObject* obj_;  // borrowed: the caller holds it for the object's life
    Ref fn_;
    bool unbound_;
};

// The guarded block's second statement: the dict to the user's callback, its
// coroutine to the loop. create_task is looked up before the dict is made, so
// that a loop without it fails before the callback runs. A client with a sink
// (a feed's buffer) hands the dict to it instead: no callback, no task.
void deliver(Quotra* self, PyObject* pricetape, bool native) {
    Ref loop = newref(self->loop);
    Ref sink = newref(self->sink);
    bool to_sink = sink.get() != Py_None;
    std::optional<MethodOf> create_task;
    if (!to_sink) create_task.emplace(loop.get(), S(create_task));
    Ref as_dict = native ? own(state.pricetape_api->to_dict(pricetape)) : call_method(pricetape, S(SerializeToDict));
    // The quote's age as its dict is filled, before the callback (which an
    // eager task runs inside create_task) can add to it.
    // The native way reads it from the message, the general way from the dict.
    int64_t ts =
        native ? state.pricetape_api->exchange_ts_ns(pricetape) : quote_timestamp(as_dict.get(), S(exchange_ts_ns));
    bool line_due = ts > 0 && count_lag(self->health, wall_ns() - ts);
    if (to_sink) {
        PyObject* args[] = {nullptr, as_dict.get()};
        own(PyObject_Vectorcall(sink.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        count_quote(self, line_due);
        return;
    }
    Ref cb = newref(self->message_callback);
    Ref coro = call(cb.get(), as_dict.get());
    if (PyCoro_CheckExact(coro.get())) {
        if (round_has_room(self)) {
            (*create_task)(coro.get());
            count_round_quote(self, loop.get());
        } else {
            defer_quote(self, loop.get(), coro.get());
        }
        count_quote(self, line_due);
        return;
    }
    // The callback has had the quote, whatever becomes of its result: a
    // result that cannot run goes to the error callback as create_task's
    // TypeError would, and the frame is not a failed one.
    count_quote(self, line_due);
    try {
        schedule_quote_result(self, loop.get(), cb.get(), coro.get());
    } catch (const PyError&) {
        hand_to_error_callback(self);
    }
}

// The native way for one payload: true when it handled the frame (delivered,
// or handed the message's DecodeError to the error callback), false when the
// general way must take it. Reads `data` only before anything can run Python
// code (see parse_quote), so the bytes may be picows' own buffer.
bool native_way(Quotra* self, const char* data, Py_ssize_t n) {
    if (!native_way_open(self)) return false;
    Ref pricetape = newref(self->pricetape);
    int r = state.pricetape_api->parse_quote(pricetape.get(), data, n);
    if (r == 0) return false;
    try {
        if (r < 0) raise();
        deliver(self, pricetape.get(), true);
    } catch (const PyError&) {
        to_error_callback(self);
    }
    return true;
}

// JSON, then base64, then the price message, then the user's callback, each
// through the module's globals and the message object's methods.
void general_way(Quotra* self, PyObject* payload) {
    Ref data;
    try {
        Ref orjson = global(S(orjson));
        Ref loads = module_function(orjson.get(), S(loads));
        data = call(loads.get(), payload);
        if (data.get() != Py_None && !PyDict_CheckExact(data.get()))
            type_error("Expected %s, got %.200s", "dict", Py_TYPE(data.get())->tp_name);
    } catch (const PyError&) {
        // Not a quote at all: the error leaves on_ws_frame, and counts.
        self->health.quote_errors++;
        throw;
    }
    Ref pricetape = newref(self->pricetape);
    try {
        Ref parse = getattr(pricetape.get(), S(ParseFromString));
        Ref base64 = global(S(base64));
        Ref b64decode = module_function(base64.get(), S(b64decode));
        if (data.get() == Py_None) type_error("'NoneType' object is not subscriptable");
        PyObject* text = dict_item(data.get(), S(message));  // borrowed
        Ref text_ref = newref(text);
        bool plain = b64decode.get() == state.b64decode && (PyUnicode_CheckExact(text) || PyBytes_CheckExact(text));
        Ref raw = call(plain ? state.a2b_base64 : b64decode.get(), text);
        call_kw(parse.get(), 0, state.kw_data, raw.get());
        deliver(self, pricetape.get(), false);
    } catch (const PyError&) {
        to_error_callback(self);
    }
}

}  // namespace

void watch_quote_globals() {
    // The module's own dictionary (the globals orjson and base64) and the
    // dictionaries of the modules imported under those names (their loads and
    // b64decode): any change to one of them sends the next frame through the
    // full check. Without a free watcher slot the check simply runs every time.
    // A second execution of the module (a reload) watches with the same slot.
    int id = globals_watcher >= 0 ? globals_watcher : PyDict_AddWatcher(on_globals_change);
    if (id < 0) {
        PyErr_Clear();
        return;
    }
    globals_watcher = -1;
    PyObject* dicts[3] = {state.dict, nullptr, nullptr};
    PyObject* names[2] = {S(orjson), S(base64)};
    for (int i = 0; i < 2; i++) {
        PyObject* mod = PyDict_GetItemWithError(state.dict, names[i]);  // borrowed
        if (!mod || !PyModule_CheckExact(mod)) {
            PyErr_Clear();
            PyDict_ClearWatcher(id);
            return;
        }
        dicts[i + 1] = PyModule_GetDict(mod);
    }
    for (PyObject* d : dicts) {
        if (PyDict_Watch(id, d) < 0) {
            PyErr_Clear();
            PyDict_ClearWatcher(id);
            return;
        }
    }
    for (int i = 0; i < 3; i++) {
        PyObject* previous = watched_dicts[i];
        watched_dicts[i] = Py_NewRef(dicts[i]);
        Py_XDECREF(previous);
    }
    globals_watcher = id;
    globals_original = false;
}

int vt_on_data_callback(Quotra* self, PyObject* payload) {
    return boundary<int>(-1, [&]() -> int {
        if (closing(self)) {
            self->health.frames_after_close++;
            return 0;
        }
        if (PyBytes_CheckExact(payload) && native_way(self, PyBytes_AS_STRING(payload), PyBytes_GET_SIZE(payload)))
            return 0;
        general_way(self, payload);
        return 0;
    });
}

int on_text_frame(Quotra* self, const char* data, Py_ssize_t n) {
    return boundary<int>(-1, [&]() -> int {
        if (closing(self)) {
            self->health.frames_after_close++;
            return 0;
        }
        if (native_way(self, data, n)) return 0;
        Ref payload = own(PyBytes_FromStringAndSize(data, n));
        general_way(self, payload.get());
        return 0;
    });
}

}  // namespace qt
