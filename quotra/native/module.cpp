// quotra._pricetape: price message types decoded natively from the protobuf
// wire format, built at import from a generated message class's descriptor.
//
// message_type(name, proto_class, unpickle) returns a new type with the
// interface of quotra.pricetape_proto's message wrapper: pricetape(**fields),
// ParseFromString(data), SerializeToDict(), SerializeToString(), Clear(),
// message, one read-only attribute per field, pickling, equality, repr. It
// raises NotImplementedError for a schema it cannot decode exactly as
// protobuf does (anything but implicit-presence singular scalar fields); the
// caller then keeps the wrapper. The files and their concerns: message.hpp.

#include "message.hpp"
#include "pricetape_api.h"

namespace pricetape {
namespace {

// _profile_steps: private to the benchmark (bench/stages.py), not part of the
// module's interface; the leading underscore says so. It runs the first
// `steps` steps of the native quote path (1: frame form and base64, 2: and
// the parse, 3: and the dict) over a list of frame payloads, in a C loop so
// that no Python call is counted in the stage profile.
PyObject* profile_steps(PyObject*, PyObject* args) {
    PyObject* msg;
    PyObject* payloads;
    int steps;
    if (!PyArg_ParseTuple(args, "OO!i:_profile_steps", &msg, &PyList_Type, &payloads, &steps)) return nullptr;
    if (!is_msg(msg)) {
        PyErr_SetString(PyExc_TypeError, "_profile_steps() needs a native message");
        return nullptr;
    }
    Msg* m = reinterpret_cast<Msg*>(msg);
    unsigned char buf[1024];
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(payloads); i++) {
        PyObject* p = PyList_GET_ITEM(payloads, i);  // borrowed
        if (!PyBytes_Check(p)) {
            PyErr_SetString(PyExc_TypeError, "_profile_steps() needs a list of bytes");
            return nullptr;
        }
        if (steps < 1) continue;
        Py_ssize_t size = quote_message_size(PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p));
        if (size < 0 || size > static_cast<Py_ssize_t>(sizeof buf) ||
            !quote_message_decode(PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p), buf)) {
            PyErr_SetString(PyExc_ValueError, "_profile_steps(): a payload not of the usual form");
            return nullptr;
        }
        if (steps < 2) continue;
        if (parse_into(m, reinterpret_cast<const char*>(buf), size) < 0) return nullptr;
        if (steps < 3) continue;
        PyObject* d = to_dict(m);
        if (!d) return nullptr;
        Py_DECREF(d);
    }
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ C interface

int api_is_exact(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t->tp_dealloc == msg_dealloc && reinterpret_cast<Msg*>(o)->schema->type == t;
}

int api_parse(PyObject* o, const char* data, Py_ssize_t len) {
    return parse_into(reinterpret_cast<Msg*>(o), data, len);
}

PyObject* api_to_dict(PyObject* o) { return to_dict(reinterpret_cast<Msg*>(o)); }

int api_parse_quote(PyObject* o, const char* payload, Py_ssize_t n) {
    return parse_quote(reinterpret_cast<Msg*>(o), payload, n);
}

int64_t api_exchange_ts_ns(PyObject* o) {
    Msg* m = reinterpret_cast<Msg*>(o);
    int i = m->schema->timestamp;
    return i < 0 ? 0 : static_cast<int64_t>(m->slots()[i].bits);
}

const quotra_pricetape_api API = {
    QUOTRA_PRICETAPE_API_VERSION, api_is_exact, api_parse, api_to_dict, api_parse_quote, api_exchange_ts_ns};

PyMethodDef module_methods[] = {
    {"message_type", message_type, METH_VARARGS,
     "message_type($module, name, proto_class, unpickle, direct=True, /)\n--\n\n"
     "A native message type for the generated class proto_class, named name\n"
     "(dotted: module and class). Instances pickle as unpickle(type, serialized).\n"
     "Raises NotImplementedError when the schema holds anything but implicit-\n"
     "presence singular scalar fields. direct=False builds every dict through\n"
     "the public dict API only (the way taken when the table's layout is not the\n"
     "expected one)."},
    {"_profile_steps", profile_steps, METH_VARARGS,
     "_profile_steps($module, msg, payloads, steps, /)\n--\n\nThe first steps of the native quote path over the "
     "payloads, "
     "for the\nbenchmark's stage profile."},
    {"_quote_message", quote_message, METH_O,
     "_quote_message($module, payload, /)\n--\n\nThe message bytes of a quote frame of the usual form\n"
     "({\"message\":\"<strict base64>\"}, nothing else), or None: the native quote path's\n"
     "first two steps, for the tests."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* m) {
    PyObject* cap = PyCapsule_New(const_cast<quotra_pricetape_api*>(&API), QUOTRA_PRICETAPE_CAPSULE, nullptr);
    if (!cap) return -1;
    PyObject* k = key(key_c_api, "_C_API");
    int r = k ? PyDict_SetItem(PyModule_GetDict(m), k, cap) : -1;
    Py_DECREF(cap);
    return r;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quotra._pricetape",
    "Price message types decoded natively from the protobuf wire format.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pricetape

PyMODINIT_FUNC PyInit__pricetape() { return PyModuleDef_Init(&pricetape::module_def); }
