// The protobuf wire format of a price message: the reader (varints, fixed
// widths, lengths, skipping), decoding into a message's slots, and encoding.
// Errors are the runtime's DecodeError with the runtime's messages.

#include "message.hpp"

namespace pricetape {
namespace {

enum class Status { Ok, Malformed, BadUtf8, Error /* a Python exception is set */ };

constexpr int MAX_GROUP_DEPTH = 100;  // protobuf's default recursion limit

struct Reader {
    const uint8_t* p;
    const uint8_t* end;

    // A varint of at most `max` bytes (10 for a value, 5 for a tag or a length); bits past
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
    // A length: at most 5 bytes, as protobuf reads one. A longer encoding
    // parsed here would be written back as bytes protobuf refuses.
    bool length(const uint8_t*& data, size_t& n) {
        uint64_t len;
        if (!varint(len, 5)) return false;
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
        case Kind::Int32:
        case Kind::Enum: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)));
        case Kind::SFixed32:
            return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(raw))));
        case Kind::UInt32:
        case Kind::Fixed32:
        case Kind::Float: return raw & 0xffffffffu;
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
                PyObject* o =
                    e.kind == Kind::String
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

static int parse_into_(Msg* m, const char* data, Py_ssize_t len) {
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
            case Kind::Fixed32:
            case Kind::SFixed32:
            case Kind::Float: put_fixed(out, v.bits, 4); break;
            case Kind::Fixed64:
            case Kind::SFixed64:
            case Kind::Double: put_fixed(out, v.bits, 8); break;
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

}  // namespace

int parse_into(Msg* m, const char* data, Py_ssize_t len) noexcept {
    return guarded(-1, [&] { return parse_into_(m, data, len); });
}

PyObject* serialize(Msg* m) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return serialize_(m); });
}

}  // namespace pricetape
