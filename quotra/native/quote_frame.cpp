// The service's usual quote frame, {"message":"<base64>"}, read natively:
// its JSON form and its strict base64, into the message.

#include "message.hpp"

namespace pricetape {

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
            if (i >= 'A' && i <= 'Z')
                v = i - 'A';
            else if (i >= 'a' && i <= 'z')
                v = i - 'a' + 26;
            else if (i >= '0' && i <= '9')
                v = i - '0' + 52;
            else if (i == '+')
                v = 62;
            else if (i == '/')
                v = 63;
            for (int k = 0; k < 4; k++) t[k][i] = v < 0 ? BAD : static_cast<uint32_t>(v) << (6 * (3 - k));
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
        // The three bytes in one store of four: the fourth is the next
        // quantum's first, which is written after (the last quantum is
        // decoded below, so there is always one).
        uint32_t be = v << 8;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        be = __builtin_bswap32(be);
#endif
        std::memcpy(out, &be, 4);
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

}  // namespace pricetape
