// The native price message's C interface, for quotra.quotra's quote path.
//
// Published by quotra._pricetape as the capsule named QUOTRA_PRICETAPE_CAPSULE.
// It lets the quote path parse into the client's message object and build the
// quote dict without Python-level calls; the Python methods run the same code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define QUOTRA_PRICETAPE_CAPSULE "quotra._pricetape._C_API"
#define QUOTRA_PRICETAPE_API_VERSION 2

struct quotra_pricetape_api {
    int version;  // QUOTRA_PRICETAPE_API_VERSION
    // 1 when obj's type is exactly one of the native message types (not a
    // subclass: a subclass may override the methods). Sets no exception.
    int (*is_exact)(PyObject* obj);
    // ParseFromString on a buffer: 0, or -1 with an exception set (the
    // message's DecodeError for bad bytes). The message keeps its content on
    // failure.
    int (*parse)(PyObject* msg, const char* data, Py_ssize_t len);
    // SerializeToDict(): a new reference, or NULL with an exception set.
    PyObject* (*to_dict)(PyObject* msg);
    // The whole frame payload of a quote, when it is exactly
    // {"message":"<strict base64>"}: reads it into msg and returns 1; 0 when
    // it is not of that form (nothing done, no exception: the general path
    // decodes it); -1 with an exception set (DecodeError: msg unchanged).
    // Reads the payload only before it runs anything that can call Python code.
    int (*parse_quote)(PyObject* msg, const char* payload, Py_ssize_t len);
    // The message's exchange_ts_ns (a signed 64-bit field of that name), or 0
    // when its schema has none. Sets no exception.
    int64_t (*exchange_ts_ns)(PyObject* msg);
};
