// quotra._monitor: reads the health counters of quotra.quotra.Quotra clients.
//
// The counters are native fields of the client (layouts.hpp, health.hpp) that
// neither its attributes nor its pickle show. This module is built by the
// same setup.py from the same headers, finds the client type through
// quotra.quotra.Quotra at import and refuses to load when that type's size is
// not the one these headers give, so the layout it reads is the one the
// client was built with.
#include "../client/client_type.hpp"
#include "../client/health_py.hpp"

namespace {

using qt::Health;
using qt::Quotra;

// Sets `key` to a new object, or fails with the exception set.
int put(PyObject* d, const char* key, PyObject* value) {
    if (!value) return -1;
    int r = PyDict_SetItemString(d, key, value);
    Py_DECREF(value);
    return r;
}

// The client's layout, or nullptr with TypeError naming `fn` for anything else.
Quotra* client_of(PyObject* module, PyObject* client, const char* fn) {
    PyTypeObject* type = qt::client_type_of(module);
    if (!PyObject_TypeCheck(client, type)) {
        PyErr_Format(PyExc_TypeError, "%s() needs a quotra.quotra.Quotra client, not %.200s", fn,
                     Py_TYPE(client)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<Quotra*>(client);
}

PyObject* snapshot(PyObject* module, PyObject* client) {
    Quotra* q = client_of(module, client, "snapshot");
    if (!q) return nullptr;
    // Copied first: nothing below runs the quote path, but the dict is made
    // from one consistent set of values all the same.
    const Health h = q->health;
    const int64_t now = qt::monotonic_ns();
    uint64_t open = h.connections_opened > h.disconnections ? h.connections_opened - h.disconnections : 0;
    Py_ssize_t subscriptions = PyAnySet_Check(q->tokens_set) ? PySet_GET_SIZE(q->tokens_set) : 0;

    const double age = now > h.last_quote_ns ? static_cast<double>(now - h.last_quote_ns) / 1e9 : 0.0;

    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    // Each value is made just before put() takes it over: a failure on the
    // way leaks nothing.
    if (put(d, "quotes", PyLong_FromUnsignedLongLong(h.quotes)) < 0 ||
        put(d, "quote_errors", PyLong_FromUnsignedLongLong(h.quote_errors)) < 0 ||
        put(d, "frames", PyLong_FromUnsignedLongLong(h.frames)) < 0 ||
        put(d, "bytes", PyLong_FromUnsignedLongLong(h.bytes)) < 0 ||
        put(d, "connections_opened", PyLong_FromUnsignedLongLong(h.connections_opened)) < 0 ||
        put(d, "disconnections", PyLong_FromUnsignedLongLong(h.disconnections)) < 0 ||
        put(d, "connect_failures", PyLong_FromUnsignedLongLong(h.connect_failures)) < 0 ||
        put(d, "connected", PyBool_FromLong(open > 0)) < 0 ||
        put(d, "last_quote_age_s", h.last_quote_ns ? PyFloat_FromDouble(age) : Py_NewRef(Py_None)) < 0 ||
        put(d, "subscriptions", PyLong_FromSsize_t(subscriptions)) < 0 ||
        put(d, "lag_s", h.lag_quotes ? PyFloat_FromDouble(static_cast<double>(h.lag_ns) / 1e9) : Py_NewRef(Py_None)) <
            0 ||
        put(d, "late_quotes", PyLong_FromUnsignedLongLong(h.late_quotes)) < 0 ||
        put(d, "future_quotes", PyLong_FromUnsignedLongLong(h.future_quotes)) < 0 ||
        put(d, "frames_after_close", PyLong_FromUnsignedLongLong(h.frames_after_close)) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

// (bounds, counts, sum): the bucket bounds in seconds, the count of each
// bucket (not cumulative; one more than the bounds, for what is older than the
// last) and the sum of the lags counted, in seconds.
PyObject* lag_histogram(PyObject* module, PyObject* client) {
    Quotra* q = client_of(module, client, "lag_histogram");
    if (!q) return nullptr;
    const Health h = q->health;
    return qt::lag_histogram_tuple(h);
}

PyObject* lag_threshold(PyObject* module, PyObject* client) {
    Quotra* q = client_of(module, client, "lag_threshold");
    if (!q) return nullptr;
    return PyFloat_FromDouble(static_cast<double>(q->health.lag_threshold_ns) / 1e9);
}

// The longest threshold taken: a day, far beyond any use, well inside int64 ns.
constexpr double MAX_THRESHOLD_S = 86400.0;
// The shortest: a millisecond, the histogram's first bound (anything finer is
// below what the clocks involved can tell apart).
constexpr double MIN_THRESHOLD_S = 0.001;

// Seconds from `value` (an int or a float, not a bool) between the bounds, or
// -1 with TypeError or ValueError naming `what`.
double seconds_arg(PyObject* value, const char* what, double lowest) {
    if (PyBool_Check(value) || (!PyFloat_Check(value) && !PyLong_Check(value))) {
        PyErr_Format(PyExc_TypeError, "the %s is a number of seconds, not %.200s", what, Py_TYPE(value)->tp_name);
        return -1;
    }
    double s = PyFloat_AsDouble(value);
    if (s == -1.0 && PyErr_Occurred()) return -1;
    // Written so that a NaN fails too.
    if (!(s >= lowest && s <= MAX_THRESHOLD_S)) {
        PyErr_Format(PyExc_ValueError, "the %s is at least %s and at most 86400 seconds, not %R", what,
                     lowest > 0 ? "0.001" : "0", value);
        return -1;
    }
    return s;
}

Quotra* client_and_seconds(PyObject* module, PyObject* const* args, Py_ssize_t nargs, const char* fn, const char* what,
                           double lowest, double* s) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 arguments (%zd given)", fn, nargs);
        return nullptr;
    }
    Quotra* q = client_of(module, args[0], fn);
    if (!q) return nullptr;
    *s = seconds_arg(args[1], what, lowest);
    return *s < 0 ? nullptr : q;
}

PyObject* set_lag_threshold(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    double s;
    Quotra* q = client_and_seconds(module, args, nargs, "set_lag_threshold", "lag threshold", MIN_THRESHOLD_S, &s);
    if (!q) return nullptr;
    q->health.lag_threshold_ns = static_cast<int64_t>(s * 1e9);
    Py_RETURN_NONE;
}

PyObject* future_tolerance(PyObject* module, PyObject* client) {
    Quotra* q = client_of(module, client, "future_tolerance");
    if (!q) return nullptr;
    return PyFloat_FromDouble(static_cast<double>(q->health.future_tolerance_ns) / 1e9);
}

PyObject* set_future_tolerance(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    double s;
    Quotra* q = client_and_seconds(module, args, nargs, "set_future_tolerance", "future tolerance", 0.0, &s);
    if (!q) return nullptr;
    q->health.future_tolerance_ns = static_cast<int64_t>(s * 1e9);
    Py_RETURN_NONE;
}

int module_exec(PyObject* module) { return qt::hold_client_type(module, "quotra._monitor"); }

PyMethodDef module_methods[] = {
    {"snapshot", snapshot, METH_O,
     "snapshot($module, client, /)\n--\n\nThe client's counters, connection state and the age of its last quote."},
    {"lag_histogram", lag_histogram, METH_O,
     "lag_histogram($module, client, /)\n--\n\n(bounds, counts, sum) of the lag of the client's quotes."},
    {"lag_threshold", lag_threshold, METH_O,
     "lag_threshold($module, client, /)\n--\n\nThe age in seconds beyond which the client's quotes are late."},
    {"set_lag_threshold", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_lag_threshold)), METH_FASTCALL,
     "set_lag_threshold($module, client, seconds, /)\n--\n\nSets the client's lag threshold."},
    {"future_tolerance", future_tolerance, METH_O,
     "future_tolerance($module, client, /)\n--\n\nHow far ahead of this clock a quote may be stamped, in seconds."},
    {"set_future_tolerance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_future_tolerance)),
     METH_FASTCALL, "set_future_tolerance($module, client, seconds, /)\n--\n\nSets the client's future tolerance."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quotra._monitor",
    "Health counters of quotra.quotra.Quotra clients; use quotra.monitor.",
    sizeof(qt::ClientTypeState),
    module_methods,
    module_slots,
    qt::client_type_traverse,
    qt::client_type_clear,
    qt::client_type_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__monitor() { return PyModuleDef_Init(&module_def); }
