// The native message type's slots and methods: construction, init, dealloc,
// ParseFromString, SerializeToDict, SerializeToString, Clear, pickling, repr,
// equality and the field attributes.

#include "message.hpp"

namespace pricetape {

void clear_slots(Msg* m) {
    Schema* s = m->schema;
    Py_CLEAR(m->unknown);
    Slot* slots = m->slots();
    for (size_t i = 0; i < s->fields.size(); i++) {
        Kind k = s->fields[i].kind;
        if (is_object(k))
            Py_SETREF(slots[i].obj, Py_NewRef(default_of(s, k)));
        else
            slots[i].bits = 0;
    }
}

// The two dictionary keys this module stores. Made once and kept for the
// life of the process (the module lives in one interpreter per process):
// interned the ordinary way, since the *String dict functions would make them
// immortal, and held here so that they stay reachable until exit.
PyObject* key_schema = nullptr;
PyObject* key_c_api = nullptr;

PyObject* key(PyObject*& slot, const char* text) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}

// A new reference to the capsule that owns a native type's schema, or null
// (with an exception set when the lookup itself failed).
PyObject* schema_capsule(PyTypeObject* base) {
    PyObject* k = key(key_schema, SCHEMA_KEY);
    if (!k) return nullptr;
    PyObject* cap = PyDict_GetItemWithError(base->tp_dict, k);  // borrowed
    return cap && PyCapsule_IsValid(cap, SCHEMA_CAPSULE) ? Py_NewRef(cap) : nullptr;
}

PyObject* msg_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyTypeObject* base = native_base(type);
    PyObject* cap = base ? schema_capsule(base) : nullptr;
    if (!cap) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "not a native message type");
        return nullptr;
    }
    auto* s = static_cast<Schema*>(PyCapsule_GetPointer(cap, SCHEMA_CAPSULE));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        Py_DECREF(cap);
        return nullptr;
    }
    Msg* m = reinterpret_cast<Msg*>(self);
    m->schema = s;
    m->owner = cap;
    m->unknown = nullptr;
    Slot* slots = m->slots();
    for (size_t i = 0; i < s->fields.size(); i++) {
        Kind k = s->fields[i].kind;
        if (is_object(k))
            slots[i].obj = Py_NewRef(default_of(s, k));
        else
            slots[i].bits = 0;
    }
    return self;
}

// pricetape(**fields): the generated class checks the names and values.
int msg_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", Py_TYPE(self)->tp_name);
        return -1;
    }
    Msg* m = reinterpret_cast<Msg*>(self);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        clear_slots(m);
        return 0;
    }
    PyObject* proto = PyObject_Call(m->schema->proto_class, args, kwargs);
    if (!proto) return -1;
    PyObject* raw = PyObject_CallMethod(proto, "SerializeToString", nullptr);
    Py_DECREF(proto);
    if (!raw) return -1;
    int r = parse_into(m, PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw));
    Py_DECREF(raw);
    return r;
}

void msg_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Msg* m = reinterpret_cast<Msg*>(self);
    Schema* s = m->schema;
    PyObject* owner = m->owner;
    Slot* slots = m->slots();
    for (size_t i = 0; i < s->fields.size(); i++)
        if (is_object(s->fields[i].kind)) Py_XDECREF(slots[i].obj);
    Py_XDECREF(m->unknown);
    type->tp_free(self);
    Py_DECREF(type);
    Py_DECREF(owner);  // last: the schema may go with it
}

// The bytes of ParseFromString's argument, as protobuf's runtime takes them:
// bytes, bytearray or a memoryview (copied), anything else a TypeError.
struct Buffer {
    PyObject* keep = nullptr;
    Py_buffer view{};
    bool exported = false;
    const char* data = nullptr;
    Py_ssize_t len = 0;
    ~Buffer() {
        if (exported) PyBuffer_Release(&view);
        Py_XDECREF(keep);
    }

    bool get(PyObject* arg) {
        if (PyByteArray_Check(arg)) {
            // An exported buffer keeps the bytearray from resizing while we
            // read it (a finaliser run by an allocation could try).
            if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return false;
            exported = true;
            data = static_cast<const char*>(view.buf);
            len = view.len;
            return true;
        }
        if (PyMemoryView_Check(arg)) {
            keep = PyBytes_FromObject(arg);
            if (!keep) return false;
            arg = keep;
        }
        char* p;
        if (PyBytes_AsStringAndSize(arg, &p, &len) < 0) return false;
        data = p;
        return true;
    }
};

PyObject* msg_parse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", nullptr};
    PyObject* arg = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw != 1 || nargs > 1 ||
        (nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), names[0]) != 0)) {
        PyErr_SetString(PyExc_TypeError, "ParseFromString() takes exactly one argument, 'data'");
        return nullptr;
    }
    arg = args[0];
    Buffer b;
    if (!b.get(arg) || parse_into(reinterpret_cast<Msg*>(self), b.data, b.len) < 0) return nullptr;
    return PyLong_FromSsize_t(b.len);
}

PyObject* msg_to_dict(PyObject* self, PyObject*) { return to_dict(reinterpret_cast<Msg*>(self)); }

PyObject* msg_serialize(PyObject* self, PyObject*) { return serialize(reinterpret_cast<Msg*>(self)); }

PyObject* msg_clear(PyObject* self, PyObject*) {
    clear_slots(reinterpret_cast<Msg*>(self));
    Py_RETURN_NONE;
}

// A generated message holding the same content (a copy).
PyObject* as_proto(Msg* m) {
    PyObject* raw = serialize(m);
    if (!raw) return nullptr;
    PyObject* r = PyObject_CallMethod(m->schema->proto_class, "FromString", "O", raw);
    Py_DECREF(raw);
    return r;
}

PyObject* msg_message(PyObject* self, void*) { return as_proto(reinterpret_cast<Msg*>(self)); }

PyObject* msg_reduce(PyObject* self, PyObject*) {
    Msg* m = reinterpret_cast<Msg*>(self);
    PyObject* raw = serialize(m);
    if (!raw) return nullptr;
    return Py_BuildValue("O(ON)", m->schema->unpickle, reinterpret_cast<PyObject*>(Py_TYPE(self)), raw);
}

PyObject* msg_repr(PyObject* self) {
    Msg* m = reinterpret_cast<Msg*>(self);
    Schema* s = m->schema;
    PyObject* parts = PyList_New(0);
    if (!parts) return nullptr;
    Slot* slots = m->slots();
    for (size_t i = 0; i < s->fields.size(); i++) {
        const Field& f = s->fields[i];
        if (!is_set(f.kind, slots[i])) continue;
        PyObject* v = value_of(f.kind, slots[i]);
        PyObject* item = v ? PyUnicode_FromFormat("%U=%R", f.key, v) : nullptr;
        Py_XDECREF(v);
        if (!item || PyList_Append(parts, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(parts);
            return nullptr;
        }
        Py_DECREF(item);
    }
    PyObject* sep = PyUnicode_FromString(", ");
    PyObject* body = sep ? PyUnicode_Join(sep, parts) : nullptr;
    Py_XDECREF(sep);
    Py_DECREF(parts);
    if (!body) return nullptr;
    PyObject* tname = PyType_GetName(Py_TYPE(self));
    PyObject* r = tname ? PyUnicode_FromFormat("%U(%U)", tname, body) : nullptr;
    Py_XDECREF(tname);
    Py_DECREF(body);
    return r;
}

// Equal when the content is, by protobuf's own comparison; also to a bare
// generated message.
PyObject* msg_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    Msg* m = reinterpret_cast<Msg*>(self);
    PyObject* rhs;
    if (is_msg(other) && reinterpret_cast<Msg*>(other)->schema == m->schema) {
        rhs = as_proto(reinterpret_cast<Msg*>(other));
    } else {
        int is_proto = PyObject_IsInstance(other, m->schema->proto_class);
        if (is_proto < 0) return nullptr;
        if (!is_proto) Py_RETURN_NOTIMPLEMENTED;
        rhs = Py_NewRef(other);
    }
    if (!rhs) return nullptr;
    PyObject* lhs = as_proto(m);
    PyObject* r = lhs ? PyObject_RichCompare(lhs, rhs, op) : nullptr;
    Py_XDECREF(lhs);
    Py_DECREF(rhs);
    return r;
}

PyObject* field_get(PyObject* self, void* closure) {
    Msg* m = reinterpret_cast<Msg*>(self);
    size_t i = reinterpret_cast<uintptr_t>(closure);
    return value_of(m->schema->fields[i].kind, m->slots()[i]);
}

PyMethodDef msg_methods[] = {
    {"ParseFromString", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(msg_parse)),
     METH_FASTCALL | METH_KEYWORDS,
     "ParseFromString(data)\n--\n\nReplace the whole content with the message serialized in data (bytes, "
     "bytearray or memoryview).\nReturns the number of bytes read; raises DecodeError for bytes that are not "
     "a valid message,\nleaving the content as it was."},
    {"SerializeToDict", msg_to_dict, METH_NOARGS,
     "SerializeToDict()\n--\n\nA new dict of every field (field-number order), defaults included."},
    {"SerializeToString", msg_serialize, METH_NOARGS,
     "SerializeToString()\n--\n\nThe serialized message (protobuf wire format)."},
    {"Clear", msg_clear, METH_NOARGS, "Clear()\n--\n\nEvery field back to its default."},
    {"__reduce__", msg_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Names the type defines itself: a field of the same name would be hidden.
const char* const RESERVED[] = {"ParseFromString", "SerializeToDict", "SerializeToString", "Clear", "message", nullptr};

}  // namespace pricetape
