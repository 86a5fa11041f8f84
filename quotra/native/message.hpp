// The native price message's types and the functions its files share.
//
// quotra._pricetape is built from these files, one concern each:
//   schema.cpp         the schema read from a generated class's descriptor, and
//                      the type built on it (message_type)
//   wire.cpp           the protobuf wire format: reading, decoding, encoding
//   dict_fill.cpp      the dict of every field; the one file that knows
//                      CPython 3.13's dict layout
//   message_slots.cpp  the type's slots: init, parse, pickling, repr, equality
//   quote_frame.cpp    the service's usual quote frame: its JSON form, strict base64
//   module.cpp         the module, its C interface (pricetape_api.h) and the
//                      benchmark's private stage split
//
// Decoding follows protobuf's own runtime (upb) byte for byte, including what
// it rejects: the differential fuzz in the tests holds the two together.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace pricetape {

enum class Kind : uint8_t {
    Int32,
    Int64,
    UInt32,
    UInt64,
    SInt32,
    SInt64,
    Bool,
    Enum,
    Fixed32,
    SFixed32,
    Fixed64,
    SFixed64,
    Float,
    Double,
    String,
    Bytes,
};

enum Wire : uint8_t { VARINT = 0, I64 = 1, LEN = 2, SGROUP = 3, EGROUP = 4, I32 = 5 };

inline bool is_object(Kind k) { return k == Kind::String || k == Kind::Bytes; }

inline Wire wire_of(Kind k) {
    switch (k) {
        case Kind::Fixed64:
        case Kind::SFixed64:
        case Kind::Double: return I64;
        case Kind::Fixed32:
        case Kind::SFixed32:
        case Kind::Float: return I32;
        case Kind::String:
        case Kind::Bytes: return LEN;
        default: return VARINT;
    }
}

// One field's value in a message: numbers as normalised bits (signed kinds
// sign-extended, float as its 32 bits), strings and bytes as an owned object
// that is never null.
union Slot {
    uint64_t bits;
    PyObject* obj;
};

struct Field {
    uint32_t number = 0;
    Kind kind{};
    Wire wire{};
    std::string name;
    PyObject* key = nullptr;  // interned name, owned
};

// Strings that repeat from quote to quote (the instrument) come from here
// rather than a new object per quote. Bounded: a slot is replaced on a miss.
// Never interned: 3.13's interned strings are immortal, so every distinct
// string a server sends would stay for the life of the process.
struct StrCache {
    static constexpr size_t SLOTS = 64, MAX_LEN = 32;
    PyObject* slot[SLOTS] = {};

    static size_t hash(const unsigned char* s, size_t n) {
        uint32_t h = 2166136261u ^ static_cast<uint32_t>(n);
        for (size_t i = 0; i < n; i++) h = (h ^ s[i]) * 16777619u;
        return (h ^ (h >> 15)) & (SLOTS - 1);
    }
    ~StrCache() {
        for (PyObject*& o : slot) Py_CLEAR(o);
    }
};

// What the decoder needs of a field, looked up by field number.
struct Entry {
    int16_t index;  // in Schema::fields; -1: not a field of the schema
    Wire wire;
    Kind kind;
};

struct Schema {
    std::vector<Field> fields;      // in field-number order
    std::vector<Kind> kinds;        // fields[i].kind, packed for the per-quote loops
    std::vector<uint16_t> objects;  // indices of the string and bytes fields
    std::vector<Entry> by_number;   // for the numbers below its size
    // The type's field attributes point into this. The capsule that owns the
    // schema goes before the type only when the collector clears the type's
    // dictionary, which drops those attributes with it.
    std::vector<PyGetSetDef> getset;
    PyObject* template_dict = nullptr;  // every key with its default value
    PyObject* proto_class = nullptr;
    PyObject* unpickle = nullptr;
    PyObject* decode_error = nullptr;
    PyObject* error_prefix = nullptr;  // "Error parsing message with type '<full name>': "
    PyObject* empty_str = nullptr;
    PyObject* empty_bytes = nullptr;
    // Borrowed: only ever compared with the type of a live instance (which
    // owns its type), never read through.
    PyTypeObject* type = nullptr;
    bool direct_dict = false;          // the template's table is the layout to_dict knows
    int timestamp = -1;                // index of exchange_ts_ns, a signed 64-bit field; -1: none
    StrCache cache;

    Entry entry(uint32_t number) const {
        if (number < by_number.size()) return by_number[number];
        for (size_t i = 0; i < fields.size(); i++)
            if (fields[i].number == number) return {static_cast<int16_t>(i), fields[i].wire, fields[i].kind};
        return {-1, VARINT, Kind::Int32};
    }

    ~Schema() {
        for (Field& f : fields) Py_XDECREF(f.key);
        Py_XDECREF(template_dict);
        Py_XDECREF(proto_class);
        Py_XDECREF(unpickle);
        Py_XDECREF(decode_error);
        Py_XDECREF(error_prefix);
        Py_XDECREF(empty_str);
        Py_XDECREF(empty_bytes);
    }
};

inline constexpr const char* SCHEMA_CAPSULE = "quotra._pricetape.schema";
inline constexpr const char* SCHEMA_KEY = "__pricetape_schema__";

// No C++ exception leaves this module: code that can throw (allocation in the
// standard containers) runs inside guarded(), which turns the exception into
// the Python one (MemoryError for bad_alloc and length_error) and returns
// `fail`.
template <class R, class F>
R guarded(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quotra._pricetape: unexpected C++ exception");
    }
    return fail;
}

// An instance owns a reference to the capsule that owns its schema. The type
// alone cannot keep the schema: when the collector clears a type (its
// dictionary, and the capsule in it) while instances of a subclass in the same
// garbage are still to be deallocated, those instances still need the schema.
struct Msg {
    PyObject_HEAD
    Schema* schema;     // owned by `owner`
    PyObject* owner;    // the schema's capsule, owned
    PyObject* unknown;  // bytes of the fields the schema does not know, from the last parse; or null
    Slot* slots() { return reinterpret_cast<Slot*>(this + 1); }
};

void msg_dealloc(PyObject* self);

// The native type of an instance of it or of a subclass of it.
inline PyTypeObject* native_base(PyTypeObject* t) {
    while (t && t->tp_dealloc != msg_dealloc) t = t->tp_base;
    return t;
}

inline bool is_msg(PyObject* o) { return native_base(Py_TYPE(o)) != nullptr; }

// ------------------------------------------------------------------ values

inline PyObject* default_of(const Schema* s, Kind k) {
    switch (k) {
        case Kind::String: return s->empty_str;
        case Kind::Bytes: return s->empty_bytes;
        default: return nullptr;
    }
}

// A new reference to the Python value of a slot.
[[gnu::always_inline]] inline PyObject* value_of(Kind k, Slot v) {
    switch (k) {
        case Kind::Int32:
        case Kind::SInt32:
        case Kind::Enum:
        case Kind::SFixed32:
        case Kind::Int64:
        case Kind::SInt64:
        case Kind::SFixed64: return PyLong_FromLongLong(static_cast<int64_t>(v.bits));
        case Kind::UInt32:
        case Kind::Fixed32:
        case Kind::UInt64:
        case Kind::Fixed64: return PyLong_FromUnsignedLongLong(v.bits);
        case Kind::Bool: return PyBool_FromLong(v.bits != 0);
        case Kind::Float: {
            float f;
            uint32_t b = static_cast<uint32_t>(v.bits);
            std::memcpy(&f, &b, sizeof f);
            return PyFloat_FromDouble(static_cast<double>(f));
        }
        case Kind::Double: {
            double d;
            std::memcpy(&d, &v.bits, sizeof d);
            return PyFloat_FromDouble(d);
        }
        case Kind::String:
        case Kind::Bytes: return Py_NewRef(v.obj);
    }
    Py_UNREACHABLE();
}

// proto3 implicit presence: a field is "set" when it differs from its
// default, bit for bit (so -0.0 is set, as protobuf has it).
[[gnu::always_inline]] inline bool is_set(Kind k, Slot v) {
    if (k == Kind::String) return PyUnicode_GET_LENGTH(v.obj) != 0;
    if (k == Kind::Bytes) return PyBytes_GET_SIZE(v.obj) != 0;
    return v.bits != 0;
}

// ------------------------------------------------------------------ between the files

// wire.cpp
// ParseFromString: 0, or -1 with an exception set and the message unchanged.
int parse_into(Msg* m, const char* data, Py_ssize_t len) noexcept;
// SerializeToString: a new bytes, or nullptr with an exception set.
PyObject* serialize(Msg* m) noexcept;

// dict_fill.cpp
// SerializeToDict: a new dict of every field, or nullptr with an exception set.
PyObject* to_dict(Msg* m);
// Whether to_dict may fill the copies of this schema's template in place.
bool direct_dict_fits(const Schema* s);

// message_slots.cpp
PyObject* msg_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
int msg_init(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* msg_repr(PyObject* self);
PyObject* msg_richcompare(PyObject* self, PyObject* other, int op);
PyObject* field_get(PyObject* self, void* closure);
PyObject* msg_message(PyObject* self, void*);
extern PyMethodDef msg_methods[];
extern const char* const RESERVED[];  // names the type defines itself
// The dictionary keys this module stores, made once (see key()).
extern PyObject* key_schema;
extern PyObject* key_c_api;
PyObject* key(PyObject*& slot, const char* text);

// schema.cpp
PyObject* message_type(PyObject* module, PyObject* args) noexcept;

// quote_frame.cpp
int parse_quote(Msg* m, const char* payload, Py_ssize_t n);
Py_ssize_t quote_message_size(const char* payload, Py_ssize_t n);
bool quote_message_decode(const char* payload, Py_ssize_t n, unsigned char* out);
PyObject* quote_message(PyObject* module, PyObject* payload);

}  // namespace pricetape
