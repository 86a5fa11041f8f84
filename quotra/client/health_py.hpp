// What the health counters give Python, shared by the client's quote path,
// quotra._monitor and quotra._quiet's feed buffer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "health.hpp"

namespace qt {

// A quote dict's exchange_ts_ns under `key`, or 0 when it has none that can
// be taken (not a dict, no such key, not an int that fits); never raises.
inline int64_t quote_timestamp(PyObject* quote, PyObject* key) noexcept {
    if (!PyDict_Check(quote)) return 0;
    PyObject* v = PyDict_GetItemWithError(quote, key);  // borrowed
    if (!v || !PyLong_CheckExact(v)) {
        PyErr_Clear();
        return 0;
    }
    int overflow;
    long long ts = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || (ts == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return 0;
    }
    return ts;
}

// (bounds, counts, sum): the bucket bounds in seconds, the count of each
// bucket (not cumulative; one more than the bounds, for what is older than the
// last) and the sum of the lags counted, in seconds; nullptr with an exception.
inline PyObject* lag_histogram_tuple(const Health& h) {
    PyObject* bounds = PyTuple_New(LAG_BOUNDS);
    PyObject* counts = PyTuple_New(LAG_BOUNDS + 1);
    PyObject* sum = PyFloat_FromDouble(h.lag_sum_s);
    PyObject* out = bounds && counts && sum ? PyTuple_Pack(3, bounds, counts, sum) : nullptr;
    bool ok = out != nullptr;
    for (size_t i = 0; ok && i < LAG_BOUNDS; i++) {
        PyObject* b = PyFloat_FromDouble(static_cast<double>(LAG_BOUNDS_NS[i]) / 1e9);
        ok = b != nullptr;
        if (ok) PyTuple_SET_ITEM(bounds, i, b);
    }
    for (size_t i = 0; ok && i <= LAG_BOUNDS; i++) {
        PyObject* c = PyLong_FromUnsignedLongLong(h.lag_counts[i]);
        ok = c != nullptr;
        if (ok) PyTuple_SET_ITEM(counts, i, c);
    }
    Py_XDECREF(bounds);
    Py_XDECREF(counts);
    Py_XDECREF(sum);
    if (!ok) Py_CLEAR(out);
    return out;
}

}  // namespace qt
