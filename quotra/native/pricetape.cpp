// quotra._pricetape: price message types decoded natively from the protobuf
// wire format, built at import from a generated message class's descriptor.
//
// message_type(name, proto_class, unpickle) returns a new type with the
// interface of quotra.pricetape_proto's message wrapper: pricetape(**fields),
// ParseFromString(data), SerializeToDict(), SerializeToString(), Clear(),
// message, one read-only attribute per field, pickling, equality, repr. It
// raises NotImplementedError for a schema it cannot decode exactly as
// protobuf does (anything but implicit-presence singular scalar fields); the
// caller then keeps the wrapper.
//
// Decoding follows protobuf's own runtime (upb) byte for byte, including what
// it rejects: the differential fuzz in the tests holds the two together.
// Errors are the runtime's DecodeError with the runtime's messages.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "pricetape_api.h"

namespace {

// ------------------------------------------------------------------ schema

enum class Kind : uint8_t {
    Int32, Int64, UInt32, UInt64, SInt32, SInt64, Bool, Enum,
    Fixed32, SFixed32, Fixed64, SFixed64, Float, Double, String, Bytes,
};

enum Wire : uint8_t { VARINT = 0, I64 = 1, LEN = 2, SGROUP = 3, EGROUP = 4, I32 = 5 };

bool is_object(Kind k) { return k == Kind::String || k == Kind::Bytes; }

Wire wire_of(Kind k) {
    switch (k) {
        case Kind::Fixed64: case Kind::SFixed64: case Kind::Double: return I64;
        case Kind::Fixed32: case Kind::SFixed32: case Kind::Float: return I32;
        case Kind::String: case Kind::Bytes: return LEN;
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
    uint32_t number;
    Kind kind;
    Wire wire;
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
    std::vector<PyGetSetDef> getset;
    PyObject* template_dict = nullptr;  // every key with its default value
    PyObject* proto_class = nullptr;
    PyObject* unpickle = nullptr;
    PyObject* decode_error = nullptr;
    PyObject* error_prefix = nullptr;  // "Error parsing message with type '<full name>': "
    PyObject* empty_str = nullptr;
    PyObject* empty_bytes = nullptr;
    PyTypeObject* type = nullptr;      // borrowed: the type owns the schema
    bool direct_dict = false;          // the template's table is the layout to_dict knows
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

constexpr const char* SCHEMA_CAPSULE = "quotra._pricetape.schema";
constexpr const char* SCHEMA_KEY = "__pricetape_schema__";

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
PyTypeObject* native_base(PyTypeObject* t) {
    while (t && t->tp_dealloc != msg_dealloc) t = t->tp_base;
    return t;
}

bool is_msg(PyObject* o) { return native_base(Py_TYPE(o)) != nullptr; }

// ------------------------------------------------------------------ values

PyObject* default_of(const Schema* s, Kind k) {
    switch (k) {
        case Kind::String: return s->empty_str;
        case Kind::Bytes: return s->empty_bytes;
        default: return nullptr;
    }
}

// A new reference to the Python value of a slot.
[[gnu::always_inline]] inline PyObject* value_of(Kind k, Slot v) {
    switch (k) {
        case Kind::Int32: case Kind::SInt32: case Kind::Enum: case Kind::SFixed32:
        case Kind::Int64: case Kind::SInt64: case Kind::SFixed64:
            return PyLong_FromLongLong(static_cast<int64_t>(v.bits));
        case Kind::UInt32: case Kind::Fixed32: case Kind::UInt64: case Kind::Fixed64:
            return PyLong_FromUnsignedLongLong(v.bits);
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
        case Kind::String: case Kind::Bytes: return Py_NewRef(v.obj);
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

// ------------------------------------------------------------------ decoding

enum class Status { Ok, Malformed, BadUtf8, Error /* a Python exception is set */ };

constexpr int MAX_GROUP_DEPTH = 100;  // protobuf's default recursion limit

struct Reader {
    const uint8_t* p;
    const uint8_t* end;

    // A varint of at most `max` bytes (10 for a value, 5 for a tag); bits past
    // the 64th are dropped, as protobuf does.
    bool varint(uint64_t& out, int max = 10) {
        if (p < end && *p < 0x80) {
            out = *p++;
            return true;
        }
        uint64_t v = 0;
        for (int i = 0; i < max; i++) {
            if (p >= end) return false;
            uint64_t b = *p++;
            v |= (b & 0x7f) << (7 * i);
            if (!(b & 0x80)) {
                out = v;
                return true;
            }
        }
        return false;
    }
    // A tag: at most 5 bytes, and it must fit 32 bits. Field number 0 is
    // malformed in a message but passes inside a skipped group, as protobuf has it.
    bool tag(uint32_t& number, Wire& wire, bool in_group = false) {
        uint64_t v;
        if (!varint(v, 5) || v > UINT32_MAX) return false;
        number = static_cast<uint32_t>(v >> 3);
        wire = static_cast<Wire>(v & 7);
        return (number != 0 || in_group) && (v & 7) < 6;
    }
    bool fixed(int n, uint64_t& out) {
        if (end - p < n) return false;
        uint64_t v = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::memcpy(&v, p, static_cast<size_t>(n));  // the wire's byte order
#else
        for (int i = n - 1; i >= 0; i--) v = (v << 8) | p[i];
#endif
        p += n;
        out = v;
        return true;
    }
    bool length(const uint8_t*& data, size_t& n) {
        uint64_t len;
        if (!varint(len)) return false;
        if (len >= INT32_MAX || len > static_cast<uint64_t>(end - p)) return false;
        data = p;
        n = static_cast<size_t>(len);
        p += n;
        return true;
    }

    // Skips one unknown field's value; `number` closes a group.
    bool skip(uint32_t number, Wire wire, int depth) {
        uint64_t ignored;
        const uint8_t* data;
        size_t n;
        switch (wire) {
            case VARINT: return varint(ignored);
            case I64: return fixed(8, ignored);
            case I32: return fixed(4, ignored);
            case LEN: return length(data, n);
            case SGROUP: {
                if (depth >= MAX_GROUP_DEPTH) return false;
                for (;;) {
                    uint32_t inner;
                    Wire w;
                    if (!tag(inner, w, true)) return false;
                    if (w == EGROUP) return inner == number;
                    if (!skip(inner, w, depth + 1)) return false;
                }
            }
            default: return false;
        }
    }
};

int32_t zigzag32(uint32_t v) { return static_cast<int32_t>((v >> 1) ^ (~(v & 1) + 1)); }
int64_t zigzag64(uint64_t v) { return static_cast<int64_t>((v >> 1) ^ (~(v & 1) + 1)); }

[[gnu::always_inline]] inline uint64_t normalise(Kind k, uint64_t raw) {
    switch (k) {
        case Kind::Int32: case Kind::Enum:
            return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)));
        case Kind::SFixed32:
            return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(raw))));
        case Kind::UInt32: case Kind::Fixed32: case Kind::Float: return raw & 0xffffffffu;
        case Kind::SInt32: return static_cast<uint64_t>(static_cast<int64_t>(zigzag32(static_cast<uint32_t>(raw))));
        case Kind::SInt64: return static_cast<uint64_t>(zigzag64(raw));
        case Kind::Bool: return raw != 0;
        default: return raw;
    }
}

bool all_ascii(const uint8_t* s, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (w & 0x8080808080808080ull) return false;
    }
    for (; i < n; i++)
        if (s[i] & 0x80) return false;
    return true;
}

PyObject* ascii_str(const uint8_t* s, size_t n) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (o) std::memcpy(PyUnicode_1BYTE_DATA(o), s, n);
    return o;
}

// A new str for a string field's bytes; nullptr with `status` set when they
// are not UTF-8 (BadUtf8) or on a Python error.
PyObject* make_str(Schema* s, const uint8_t* data, size_t n, Status& status) {
    if (n == 0) return Py_NewRef(s->empty_str);
    if (n <= StrCache::MAX_LEN && all_ascii(data, n)) {
        PyObject*& hit = s->cache.slot[StrCache::hash(data, n)];
        if (hit && static_cast<size_t>(PyUnicode_GET_LENGTH(hit)) == n &&
            std::memcmp(PyUnicode_1BYTE_DATA(hit), data, n) == 0)
            return Py_NewRef(hit);
        PyObject* o = ascii_str(data, n);
        if (!o) {
            status = Status::Error;
            return nullptr;
        }
        Py_XSETREF(hit, Py_NewRef(o));
        return o;
    }
    PyObject* o = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(n), "strict");
    if (!o) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            status = Status::BadUtf8;
        } else {
            status = Status::Error;
        }
    }
    return o;
}

// Owns the objects decoded so far until they are committed to the message; a
// failed parse drops them and leaves the message as it was.
struct Decoded {
    size_t n;
    const std::vector<uint16_t>& objects;
    bool committed = false;
    Slot* v;
    Slot local[32];
    std::unique_ptr<Slot[]> heap;
    // The unknown fields' bytes, in the order read; made at the first one, so
    // that a message without any (the usual quote) pays nothing for them.
    std::unique_ptr<std::string> unknown;

    Decoded(size_t count, const std::vector<uint16_t>& objects_) : n(count), objects(objects_) {
        v = count <= 32 ? local : (heap.reset(new Slot[count]), heap.get());
        std::memset(static_cast<void*>(v), 0, n * sizeof(Slot));
    }
    ~Decoded() {
        if (!committed)
            for (uint16_t i : objects) Py_XDECREF(v[i].obj);
    }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;

    [[gnu::noinline, gnu::cold]] void keep_unknown(const uint8_t* from, const uint8_t* to) {
        if (!unknown) unknown = std::make_unique<std::string>();
        unknown->append(reinterpret_cast<const char*>(from), static_cast<size_t>(to - from));
    }
};

// Throws std::bad_alloc only when keeping an unknown field's bytes fails.
Status decode(Schema* s, const uint8_t* data, size_t len, Decoded& d) {
    Slot* out = d.v;
    Reader r{data, data + len};
    while (r.p < r.end) {
        const uint8_t* start = r.p;
        uint32_t number;
        Wire wire;
        if (!r.tag(number, wire) || wire == EGROUP) return Status::Malformed;
        Entry e = s->entry(number);
        int i = e.index;
        if (i < 0 || e.wire != wire) {
            // Not a field of the schema, or one with another wire type: kept
            // as it stands, as protobuf's runtime keeps it.
            if (!r.skip(number, wire, 0)) return Status::Malformed;
            d.keep_unknown(start, r.p);
            continue;
        }
        uint64_t raw;
        switch (wire) {
            case VARINT:
                if (!r.varint(raw)) return Status::Malformed;
                out[i].bits = normalise(e.kind, raw);
                break;
            case I64:
                if (!r.fixed(8, raw)) return Status::Malformed;
                out[i].bits = raw;
                break;
            case I32:
                if (!r.fixed(4, raw)) return Status::Malformed;
                out[i].bits = normalise(e.kind, raw);
                break;
            case LEN: {
                const uint8_t* p;
                size_t n;
                if (!r.length(p, n)) return Status::Malformed;
                Status st = Status::Ok;
                PyObject* o = e.kind == Kind::String
                                  ? make_str(s, p, n, st)
                                  : (n ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n))
                                       : Py_NewRef(s->empty_bytes));
                if (!o) return st == Status::Ok ? Status::Error : st;
                Py_XSETREF(out[i].obj, o);
                break;
            }
            default: return Status::Malformed;
        }
    }
    return Status::Ok;
}

void set_decode_error(Schema* s, Status st) {
    const char* why = st == Status::BadUtf8 ? "String field had bad UTF-8" : "Wire format was corrupt";
    PyObject* msg = PyUnicode_FromFormat("%U%s", s->error_prefix, why);
    if (msg) {
        PyErr_SetObject(s->decode_error, msg);
        Py_DECREF(msg);
    }
}

int parse_into_(Msg* m, const char* data, Py_ssize_t len) {
    Schema* s = m->schema;
    size_t n = s->fields.size();
    Decoded d(n, s->objects);
    Status st = decode(s, reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(len), d);
    if (st != Status::Ok) {
        if (st != Status::Error) set_decode_error(s, st);
        return -1;
    }
    // Commit: the old objects go only after every slot holds its new value,
    // so no destructor sees a half-replaced message.
    Slot* slots = m->slots();
    const uint16_t* objects = s->objects.data();
    size_t nobj = s->objects.size();
    PyObject* old_local[32];
    std::vector<PyObject*> old_heap;
    if (nobj > 32) old_heap.resize(nobj);
    PyObject** old = nobj <= 32 ? old_local : old_heap.data();
    PyObject* unknown = nullptr;
    if (d.unknown) {
        unknown = PyBytes_FromStringAndSize(d.unknown->data(), static_cast<Py_ssize_t>(d.unknown->size()));
        if (!unknown) return -1;
    }
    for (size_t j = 0; j < nobj; j++) {
        size_t i = objects[j];
        old[j] = slots[i].obj;
        if (!d.v[i].obj) d.v[i].obj = Py_NewRef(default_of(s, s->kinds[i]));
    }
    std::memcpy(static_cast<void*>(slots), d.v, n * sizeof(Slot));
    d.committed = true;
    PyObject* old_unknown = m->unknown;
    m->unknown = unknown;
    for (size_t j = 0; j < nobj; j++) Py_DECREF(old[j]);
    Py_XDECREF(old_unknown);
    return 0;
}

// ParseFromString: 0, or -1 with an exception set and the message unchanged.
int parse_into(Msg* m, const char* data, Py_ssize_t len) noexcept {
    return guarded(-1, [&] { return parse_into_(m, data, len); });
}

// Filling the copied dict's values in place. The dict is built by copying a
// template that holds every key with its default value (public API), then
// each field that differs from its default is stored. PyDict_SetItem does a
// hash lookup per field, about two thirds of the dict's cost; writing the
// value into the copy's entry table directly skips it. That table is CPython
// 3.13's internal layout (Objects/dictobject.c, Include/internal/pycore_dict.h),
// not an API: it is mirrored here, checked against the template at type
// creation and against every copy before it is written, and any mismatch
// takes the public way.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define QUOTRA_DIRECT_DICT 1
struct DictKeys313 {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;  // 1: every key a str (DICT_KEYS_UNICODE)
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};
struct UnicodeEntry313 {
    PyObject* me_key;
    PyObject* me_value;
};

// The entry table of `d` when it is a combined str-keyed table holding
// exactly the schema's keys in order, else nullptr.
UnicodeEntry313* dict_entries(const Schema* s, PyObject* d) {
    auto* dict = reinterpret_cast<PyDictObject*>(d);
    size_t n = s->fields.size();
    if (dict->ma_values || dict->ma_used != static_cast<Py_ssize_t>(n)) return nullptr;
    auto* keys = reinterpret_cast<DictKeys313*>(dict->ma_keys);
    if (keys->dk_kind != 1 || keys->dk_nentries != static_cast<Py_ssize_t>(n) || keys->dk_log2_size > 30 ||
        keys->dk_log2_index_bytes > keys->dk_log2_size + 3 || (size_t{2} << keys->dk_log2_size) / 3 < n)
        return nullptr;
    auto* e = reinterpret_cast<UnicodeEntry313*>(keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes));
    // A copy's table is the template's, cloned: its ends stand for the rest
    // once the template itself has passed the full check.
    if (!s->direct_dict) {
        for (size_t i = 0; i < n; i++)
            if (e[i].me_key != s->fields[i].key) return nullptr;
    } else if (n && (e[0].me_key != s->fields[0].key || e[n - 1].me_key != s->fields[n - 1].key)) {
        return nullptr;
    }
    return e;
}

// The entry table of a fresh copy of the template, when it has the layout and
// its keys object is the copy's own (not the template's, referenced once), so
// that writing a value into it changes nothing else; else nullptr.
UnicodeEntry313* own_entries(const Schema* s, PyObject* copy) {
    PyDictKeysObject* keys = reinterpret_cast<PyDictObject*>(copy)->ma_keys;
    if (keys == reinterpret_cast<PyDictObject*>(s->template_dict)->ma_keys ||
        reinterpret_cast<DictKeys313*>(keys)->dk_refcnt != 1)
        return nullptr;
    return dict_entries(s, copy);
}
#endif

PyObject* to_dict(Msg* m) {
    Schema* s = m->schema;
    PyObject* d = PyDict_Copy(s->template_dict);
    if (!d) return nullptr;
    Slot* slots = m->slots();
    const Kind* kinds = s->kinds.data();
    size_t n = s->kinds.size();
#ifdef QUOTRA_DIRECT_DICT
    if (s->direct_dict) {
        if (UnicodeEntry313* e = own_entries(s, d)) {
            for (size_t i = 0; i < n; i++) {
                Kind k = kinds[i];
                if (!is_set(k, slots[i])) continue;
                PyObject* v = value_of(k, slots[i]);
                if (!v) {
                    Py_DECREF(d);
                    return nullptr;
                }
                // Atomic values only (int, float, bool, str, bytes): the copy
                // of the untracked template needs no GC tracking for them.
                PyObject* old = e[i].me_value;
                e[i].me_value = v;
                Py_DECREF(old);
            }
            return d;
        }
    }
#endif
    for (size_t i = 0; i < s->fields.size(); i++) {
        const Field& f = s->fields[i];
        if (!is_set(f.kind, slots[i])) continue;  // the template holds the default
        PyObject* v = value_of(f.kind, slots[i]);
        if (!v || PyDict_SetItem(d, f.key, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(d);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return d;
}

// ------------------------------------------------------------------ encoding

void put_varint(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void put_fixed(std::string& out, uint64_t v, int n) {
    for (int i = 0; i < n; i++) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Known fields in field-number order, then the unknown fields as they were
// read: the order protobuf's runtime writes them in.
PyObject* serialize_(Msg* m) {
    Schema* s = m->schema;
    Slot* slots = m->slots();
    std::string out;
    for (size_t i = 0; i < s->fields.size(); i++) {
        const Field& f = s->fields[i];
        Slot v = slots[i];
        if (!is_set(f.kind, v)) continue;
        put_varint(out, (static_cast<uint64_t>(f.number) << 3) | f.wire);
        switch (f.kind) {
            case Kind::SInt32: {
                auto x = static_cast<int32_t>(v.bits);
                put_varint(out, (static_cast<uint32_t>(x) << 1) ^ static_cast<uint32_t>(x >> 31));
                break;
            }
            case Kind::SInt64: {
                auto x = static_cast<int64_t>(v.bits);
                put_varint(out, (static_cast<uint64_t>(x) << 1) ^ static_cast<uint64_t>(x >> 63));
                break;
            }
            case Kind::Fixed32: case Kind::SFixed32: case Kind::Float: put_fixed(out, v.bits, 4); break;
            case Kind::Fixed64: case Kind::SFixed64: case Kind::Double: put_fixed(out, v.bits, 8); break;
            case Kind::Bytes:
                put_varint(out, static_cast<uint64_t>(PyBytes_GET_SIZE(v.obj)));
                out.append(PyBytes_AS_STRING(v.obj), static_cast<size_t>(PyBytes_GET_SIZE(v.obj)));
                break;
            case Kind::String: {
                Py_ssize_t n;
                const char* u = PyUnicode_AsUTF8AndSize(v.obj, &n);
                if (!u) return nullptr;
                put_varint(out, static_cast<uint64_t>(n));
                out.append(u, static_cast<size_t>(n));
                break;
            }
            default: put_varint(out, v.bits); break;  // signed kinds are sign-extended: 10 bytes when negative
        }
    }
    if (m->unknown) out.append(PyBytes_AS_STRING(m->unknown), static_cast<size_t>(PyBytes_GET_SIZE(m->unknown)));
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* serialize(Msg* m) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return serialize_(m); });
}

// ------------------------------------------------------------------ the type's slots

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
const char* const RESERVED[] = {"ParseFromString", "SerializeToDict", "SerializeToString", "Clear",
                                "message", nullptr};

// ------------------------------------------------------------------ building a type

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
        Slot zero;
        if (is_object(f.kind))
            zero.obj = default_of(s, f.kind);
        else
            zero.bits = 0;
        Owned v(value_of(f.kind, zero));
        if (PyDict_SetItem(s->template_dict, f.key, v.p) < 0) throw SchemaError{};
    }
#ifdef QUOTRA_DIRECT_DICT
    // The template and a copy of it both have the layout, and the copy is the
    // fresh, untracked table that to_dict writes into.
    Owned copy(PyDict_Copy(s->template_dict));
    s->direct_dict = dict_entries(s, s->template_dict) && own_entries(s, copy.p) &&
                     !PyObject_GC_IsTracked(s->template_dict) && !PyObject_GC_IsTracked(copy.p);
#endif
}

void schema_capsule_free(PyObject* cap) {
    delete static_cast<Schema*>(PyCapsule_GetPointer(cap, SCHEMA_CAPSULE));
}

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
    s->getset.push_back({"message", msg_message, nullptr,
                         "The content as a generated protobuf message (a copy).", nullptr});
    s->getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

    // The capsule owns the schema from here on; the type owns the capsule.
    PyObject* cap = PyCapsule_New(owned.get(), SCHEMA_CAPSULE, schema_capsule_free);
    if (!cap) return nullptr;
    owned.release();

    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(msg_new)},
        {Py_tp_init, reinterpret_cast<void*>(msg_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(msg_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(msg_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(msg_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_methods, msg_methods},
        {Py_tp_getset, s->getset.data()},
        {Py_tp_doc, const_cast<char*>(
             "A price message decoded natively from the protobuf wire format.\n\n"
             "pricetape(**fields) makes one (keyword arguments as for the generated class);\n"
             "ParseFromString(data) replaces its content, SerializeToDict() returns a new dict\n"
             "of every field. Mutable, so unhashable; pickles as its serialized content.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        name,
        static_cast<int>(sizeof(Msg) + s->fields.size() * sizeof(Slot)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
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

PyObject* message_type(PyObject*, PyObject* args) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        try {
            return message_type_(args);
        } catch (const SchemaError&) {
            return nullptr;
        }
    });
}

// ------------------------------------------------------------------ the usual quote frame

// The service's quote frame is exactly {"message":"<base64>"}. For that form
// the JSON object and the base64 text are read here; anything else (spaces,
// escapes, other members, a padding or an alphabet the strict form does not
// have) is left to orjson and base64.b64decode, so their results and errors
// stay exactly theirs. Within the form both give the same bytes: the JSON is
// one member whose string has no escapes, and strict base64 with canonical
// padding bits is read the same way by the lenient decoder.
constexpr char QUOTE_HEAD[] = "{\"message\":\"";
constexpr char QUOTE_TAIL[] = "\"}";
constexpr Py_ssize_t HEAD_LEN = sizeof QUOTE_HEAD - 1, TAIL_LEN = sizeof QUOTE_TAIL - 1;

constexpr uint32_t BAD = 0x80000000u;

// One table per position in a quantum, pre-shifted, with BAD for anything
// outside the alphabet (including '=' and every byte >= 0x80).
struct B64Tables {
    uint32_t t[4][256];
    constexpr B64Tables() : t{} {
        for (int i = 0; i < 256; i++) {
            int v = -1;
            if (i >= 'A' && i <= 'Z') v = i - 'A';
            else if (i >= 'a' && i <= 'z') v = i - 'a' + 26;
            else if (i >= '0' && i <= '9') v = i - '0' + 52;
            else if (i == '+') v = 62;
            else if (i == '/') v = 63;
            for (int k = 0; k < 4; k++)
                t[k][i] = v < 0 ? BAD : static_cast<uint32_t>(v) << (6 * (3 - k));
        }
    }
};
constexpr B64Tables B64{};

// The decoded length of the base64 text of a quote frame of the usual form,
// or -1 when the frame is not of that form.
Py_ssize_t quote_message_size(const char* payload, Py_ssize_t n) {
    if (n < HEAD_LEN + TAIL_LEN || std::memcmp(payload, QUOTE_HEAD, HEAD_LEN) != 0 ||
        std::memcmp(payload + n - TAIL_LEN, QUOTE_TAIL, TAIL_LEN) != 0)
        return -1;
    Py_ssize_t len = n - HEAD_LEN - TAIL_LEN;
    if (len % 4) return -1;
    if (len == 0) return 0;
    const char* end = payload + n - TAIL_LEN;
    return len / 4 * 3 - (end[-1] == '=') - (end[-2] == '=');
}

// Decodes the text of a frame that quote_message_size accepted into out
// (room for its size); false when the text is not strict base64.
bool quote_message_decode(const char* payload, Py_ssize_t n, unsigned char* out) {
    const auto* s = reinterpret_cast<const unsigned char*>(payload + HEAD_LEN);
    Py_ssize_t len = n - HEAD_LEN - TAIL_LEN;
    if (len == 0) return true;
    const unsigned char* last = s + len - 4;
    uint32_t bad = 0;
    for (; s < last; s += 4) {
        uint32_t v = B64.t[0][s[0]] | B64.t[1][s[1]] | B64.t[2][s[2]] | B64.t[3][s[3]];
        bad |= v;
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
        out[2] = static_cast<unsigned char>(v);
        out += 3;
    }
    if (bad & BAD) return false;
    // The last quantum: "xxxx", "xxx=" or "xx==", with the bits that padding
    // leaves over all zero (the canonical encoding).
    uint32_t v = B64.t[0][s[0]] | B64.t[1][s[1]];
    if (s[3] != '=') {
        v |= B64.t[2][s[2]] | B64.t[3][s[3]];
        if (v & BAD) return false;
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
        out[2] = static_cast<unsigned char>(v);
    } else if (s[2] != '=') {
        v |= B64.t[2][s[2]];
        if ((v & BAD) || (v & 0xff)) return false;
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
    } else {
        if ((v & BAD) || (v & 0xffff)) return false;
        out[0] = static_cast<unsigned char>(v >> 16);
    }
    return true;
}

// A frame of the usual form, read into the message: 1 done; 0 not of the
// form (nothing done, no exception); -1 with an exception set (the message's
// DecodeError for bytes that are not a message, which leaves it as it was).
// The frame is read before anything can run Python code: picows' buffer may
// be reused by the time a finaliser runs.
int parse_quote(Msg* m, const char* payload, Py_ssize_t n) {
    Py_ssize_t size = quote_message_size(payload, n);
    if (size < 0) return 0;
    unsigned char local[1024];
    std::unique_ptr<unsigned char[]> heap;
    unsigned char* buf = local;
    if (size > static_cast<Py_ssize_t>(sizeof local)) {
        heap.reset(new (std::nothrow) unsigned char[static_cast<size_t>(size)]);
        if (!heap) {
            PyErr_NoMemory();
            return -1;
        }
        buf = heap.get();
    }
    if (!quote_message_decode(payload, n, buf)) return 0;
    return parse_into(m, reinterpret_cast<const char*>(buf), size) < 0 ? -1 : 1;
}

// For the tests: the message bytes the usual form carries, or None.
PyObject* quote_message(PyObject*, PyObject* arg) {
    char* p;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(arg, &p, &n) < 0) return nullptr;
    Py_ssize_t size = quote_message_size(p, n);
    if (size < 0) Py_RETURN_NONE;
    PyObject* out = PyBytes_FromStringAndSize(nullptr, size);
    if (!out) return nullptr;
    if (!quote_message_decode(p, n, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)))) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    return out;
}

// For the benchmark's stage profile: the first `steps` steps of the native
// quote path (1: frame form and base64, 2: and the parse, 3: and the dict)
// over a list of frame payloads, in a C loop so that no Python call is counted.
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

int api_parse(PyObject* o, const char* data, Py_ssize_t len) { return parse_into(reinterpret_cast<Msg*>(o), data, len); }

PyObject* api_to_dict(PyObject* o) { return to_dict(reinterpret_cast<Msg*>(o)); }

int api_parse_quote(PyObject* o, const char* payload, Py_ssize_t n) {
    return parse_quote(reinterpret_cast<Msg*>(o), payload, n);
}

const quotra_pricetape_api API = {QUOTRA_PRICETAPE_API_VERSION, api_is_exact, api_parse, api_to_dict,
                                  api_parse_quote};

PyMethodDef module_methods[] = {
    {"message_type", message_type, METH_VARARGS,
     "message_type(name, proto_class, unpickle, direct=True)\n--\n\n"
     "A native message type for the generated class proto_class, named name\n"
     "(dotted: module and class). Instances pickle as unpickle(type, serialized).\n"
     "Raises NotImplementedError when the schema holds anything but implicit-\n"
     "presence singular scalar fields. direct=False builds every dict through\n"
     "the public dict API only (the way taken when the table's layout is not the\n"
     "expected one)."},
    {"_profile_steps", profile_steps, METH_VARARGS,
     "_profile_steps(msg, payloads, steps)\n--\n\nThe first steps of the native quote path over the payloads, "
     "for the\nbenchmark's stage profile."},
    {"_quote_message", quote_message, METH_O,
     "_quote_message(payload)\n--\n\nThe message bytes of a quote frame of the usual form\n"
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
    PyModuleDef_HEAD_INIT, "quotra._pricetape",
    "Price message types decoded natively from the protobuf wire format.", 0, module_methods, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__pricetape() { return PyModuleDef_Init(&module_def); }
