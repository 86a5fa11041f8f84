// A native message type from a generated message class: its schema read from
// the class's descriptor (only what is decoded exactly as protobuf decodes it;
// NotImplementedError for the rest), the template dict, and the type itself.

#include <algorithm>

#include "message.hpp"

namespace pricetape {
namespace {

struct SchemaError {};  // a Python exception is set

PyObject* get(PyObject* o, const char* name) {
    PyObject* r = PyObject_GetAttrString(o, name);
    if (!r) throw SchemaError{};
    return r;
}

struct Owned {
    PyObject* p;
    explicit Owned(PyObject* o) : p(o) {
        if (!o) throw SchemaError{};
    }
    ~Owned() { Py_XDECREF(p); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

long get_long(PyObject* o, const char* name) {
    Owned v(get(o, name));
    long r = PyLong_AsLong(v.p);
    if (r == -1 && PyErr_Occurred()) throw SchemaError{};
    return r;
}

bool get_bool(PyObject* o, const char* name) {
    Owned v(get(o, name));
    int r = PyObject_IsTrue(v.p);
    if (r < 0) throw SchemaError{};
    return r;
}

[[noreturn]] void unsupported(const char* what, PyObject* field) {
    if (field)
        PyErr_Format(PyExc_NotImplementedError, "field %R: %s", field, what);
    else
        PyErr_Format(PyExc_NotImplementedError, "%s", what);
    throw SchemaError{};
}

// descriptor.FieldDescriptor.TYPE_* -> Kind
bool kind_of(long type, Kind& k) {
    switch (type) {
        case 1: k = Kind::Double; return true;
        case 2: k = Kind::Float; return true;
        case 3: k = Kind::Int64; return true;
        case 4: k = Kind::UInt64; return true;
        case 5: k = Kind::Int32; return true;
        case 6: k = Kind::Fixed64; return true;
        case 7: k = Kind::Fixed32; return true;
        case 8: k = Kind::Bool; return true;
        case 9: k = Kind::String; return true;
        case 12: k = Kind::Bytes; return true;
        case 13: k = Kind::UInt32; return true;
        case 14: k = Kind::Enum; return true;
        case 15: k = Kind::SFixed32; return true;
        case 16: k = Kind::SFixed64; return true;
        case 17: k = Kind::SInt32; return true;
        case 18: k = Kind::SInt64; return true;
        default: return false;  // group, message
    }
}

constexpr long UTF8_VERIFY = 2, ENUM_OPEN = 1;  // FeatureSet.Utf8Validation.VERIFY, FeatureSet.EnumType.OPEN

void read_schema(Schema* s, PyObject* proto_class) {
    Owned desc(get(proto_class, "DESCRIPTOR"));
    {
        Owned oneofs(get(desc.p, "oneofs"));
        Py_ssize_t n = PyObject_Length(oneofs.p);
        if (n < 0) throw SchemaError{};
        if (n > 0) unsupported("oneof fields are not decoded natively", nullptr);
    }
    if (get_bool(desc.p, "is_extendable")) unsupported("extensions are not decoded natively", nullptr);
    Owned full_name(get(desc.p, "full_name"));
    s->error_prefix = PyUnicode_FromFormat("Error parsing message with type '%S': ", full_name.p);
    if (!s->error_prefix) throw SchemaError{};

    Owned fields(get(desc.p, "fields"));
    Owned seq(PySequence_Fast(fields.p, "DESCRIPTOR.fields is not a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.p);
    if (n > 0x7fff) unsupported("too many fields", nullptr);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* fd = PySequence_Fast_GET_ITEM(seq.p, i);  // borrowed
        Owned name(get(fd, "name"));
        if (!PyUnicode_Check(name.p)) unsupported("field name is not a str", fd);
        if (get_bool(fd, "is_repeated")) unsupported("repeated fields are not decoded natively", name.p);
        if (get_bool(fd, "has_presence")) unsupported("fields with presence are not decoded natively", name.p);
        {
            Owned oneof(get(fd, "containing_oneof"));
            if (oneof.p != Py_None) unsupported("oneof fields are not decoded natively", name.p);
        }
        Field f;
        if (!kind_of(get_long(fd, "type"), f.kind)) unsupported("message fields are not decoded natively", name.p);
        f.wire = wire_of(f.kind);
        if (f.kind == Kind::String || f.kind == Kind::Enum) {
            Owned features(PyObject_CallMethod(fd, "_GetFeatures", nullptr));
            if (f.kind == Kind::String && get_long(features.p, "utf8_validation") != UTF8_VERIFY)
                unsupported("strings without UTF-8 validation are not decoded natively", name.p);
            if (f.kind == Kind::Enum && get_long(features.p, "enum_type") != ENUM_OPEN)
                unsupported("closed enums are not decoded natively", name.p);
        }
        long number = get_long(fd, "number");
        if (number <= 0 || number > (1 << 29) - 1) unsupported("field number out of range", name.p);
        f.number = static_cast<uint32_t>(number);
        Py_ssize_t nlen;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.p, &nlen);
        if (!utf8) throw SchemaError{};
        f.name.assign(utf8, static_cast<size_t>(nlen));
        for (const char* const* r = RESERVED; *r; r++)
            if (f.name == *r) unsupported("field name hides a method of the message type", name.p);
        f.key = Py_NewRef(name.p);
        PyUnicode_InternInPlace(&f.key);
        s->fields.push_back(std::move(f));
    }
    std::sort(s->fields.begin(), s->fields.end(), [](const Field& a, const Field& b) { return a.number < b.number; });
    uint32_t small = 0;
    for (const Field& f : s->fields)
        if (f.number < 256) small = f.number + 1;
    for (size_t i = 0; i < s->fields.size(); i++) {
        s->kinds.push_back(s->fields[i].kind);
        if (is_object(s->fields[i].kind)) s->objects.push_back(static_cast<uint16_t>(i));
    }
    for (size_t i = 0; i < s->fields.size(); i++) {
        Kind k = s->fields[i].kind;
        bool signed64 = k == Kind::Int64 || k == Kind::SInt64 || k == Kind::SFixed64;
        if (signed64 && s->fields[i].name == "exchange_ts_ns") s->timestamp = static_cast<int>(i);
    }
    s->by_number.assign(small, Entry{-1, VARINT, Kind::Int32});
    for (size_t i = 0; i < s->fields.size(); i++) {
        const Field& f = s->fields[i];
        if (f.number < small) s->by_number[f.number] = {static_cast<int16_t>(i), f.wire, f.kind};
    }
}

void build_template(Schema* s) {
    s->template_dict = PyDict_New();
    if (!s->template_dict) throw SchemaError{};
    for (const Field& f : s->fields) {
        Slot zero{};
        if (is_object(f.kind))
            zero.obj = default_of(s, f.kind);
        else
            zero.bits = 0;
        Owned v(value_of(f.kind, zero));
        if (PyDict_SetItem(s->template_dict, f.key, v.p) < 0) throw SchemaError{};
    }
    s->direct_dict = direct_dict_fits(s);
}

void schema_capsule_free(PyObject* cap) { delete static_cast<Schema*>(PyCapsule_GetPointer(cap, SCHEMA_CAPSULE)); }

// Throws SchemaError with the Python exception set, or a standard exception
// when an allocation fails.
PyObject* message_type_(PyObject* args) {
    const char* name;
    PyObject* proto_class;
    PyObject* unpickle;
    int direct = 1;
    if (!PyArg_ParseTuple(args, "sOO|p:message_type", &name, &proto_class, &unpickle, &direct)) return nullptr;
    auto owned = std::make_unique<Schema>();
    Schema* s = owned.get();
    read_schema(s, proto_class);
    s->proto_class = Py_NewRef(proto_class);
    s->unpickle = Py_NewRef(unpickle);
    Owned mod(PyImport_ImportModule("google.protobuf.message"));
    s->decode_error = get(mod.p, "DecodeError");
    s->empty_str = PyUnicode_New(0, 0);
    s->empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    if (!s->empty_str || !s->empty_bytes) throw SchemaError{};
    build_template(s);
    s->direct_dict = s->direct_dict && direct;
    for (size_t i = 0; i < s->fields.size(); i++)
        s->getset.push_back({s->fields[i].name.c_str(), field_get, nullptr, nullptr,
                             reinterpret_cast<void*>(static_cast<uintptr_t>(i))});
    s->getset.push_back(
        {"message", msg_message, nullptr, "The content as a generated protobuf message (a copy).", nullptr});
    s->getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

    // The capsule owns the schema from here on; the type's dictionary and
    // every instance own the capsule.
    PyObject* cap = PyCapsule_New(owned.get(), SCHEMA_CAPSULE, schema_capsule_free);
    if (!cap) return nullptr;
    static_cast<void>(owned.release());

    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(msg_new)},
        {Py_tp_init, reinterpret_cast<void*>(msg_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(msg_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(msg_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(msg_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_methods, msg_methods},
        {Py_tp_getset, s->getset.data()},
        {Py_tp_doc,
         const_cast<char*>("A price message decoded natively from the protobuf wire format.\n\n"
                           "pricetape(**fields) makes one (keyword arguments as for the generated class);\n"
                           "ParseFromString(data) replaces its content, SerializeToDict() returns a new dict\n"
                           "of every field. Mutable, so unhashable; pickles as its serialized content.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        name,  static_cast<int>(sizeof(Msg) + s->fields.size() * sizeof(Slot)),
        0,     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) {
        Py_DECREF(cap);
        return nullptr;
    }
    s->type = reinterpret_cast<PyTypeObject*>(type);
    // The type is immutable to Python code; its dictionary is still ours to fill.
    PyObject* k = key(key_schema, SCHEMA_KEY);
    int r = k ? PyDict_SetItem(s->type->tp_dict, k, cap) : -1;
    Py_DECREF(cap);
    if (r < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    PyType_Modified(s->type);
    return type;
}

}  // namespace

PyObject* message_type(PyObject*, PyObject* args) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        try {
            return message_type_(args);
        } catch (const SchemaError&) {
            return nullptr;
        }
    });
}

}  // namespace pricetape
