// Field tables: each object type lists its fields once, as an X-macro in
// layouts.hpp, and its struct, allocation, GC traversal and clearing,
// release and pickled state all follow from that one list.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "pyref.hpp"

namespace qt {

// What a field may hold; the pickled state checks a restored value by it.
enum class FieldKind : unsigned char {
    Any,        // any object
    Flag,       // a C int, pickled as a bool
    Set,        // exactly a set, or None
    Bytes,      // exactly bytes, or None
    Str,        // exactly str, or None
    Transport,  // a picows WSTransport (subclasses too), or None
    Client,     // a Quotra (subclasses too), or None
};

template <FieldKind K>
using FieldStorage = std::conditional_t<K == FieldKind::Flag, int, PyObject*>;

constexpr bool holds_object(FieldKind k) { return k != FieldKind::Flag; }
// str and bytes cannot take part in a reference cycle: the GC neither visits
// nor clears them.
constexpr bool gc_visible(FieldKind k) { return holds_object(k) && k != FieldKind::Bytes && k != FieldKind::Str; }

struct Field {
    Py_ssize_t index;  // position in the pickled state; -1: not pickled
    const char* name;  // name in the pickled state (private names mangled)
    std::size_t offset;
    FieldKind kind;
};

// The same fields in pickled-state order, the unpickled ones (index -1)
// after them; every index from 0 must appear once.
template <std::size_t N>
constexpr std::array<Field, N> in_state_order(const std::array<Field, N>& layout) {
    std::array<Field, N> out{};
    std::array<bool, N> seen{};
    std::size_t pickled = 0;
    for (const Field& f : layout) pickled += f.index >= 0;
    std::size_t next_unpickled = pickled;
    for (const Field& f : layout) {
        if (f.index < 0) {
            out[next_unpickled++] = f;
            continue;
        }
        if (static_cast<std::size_t>(f.index) >= pickled || seen[f.index])
            throw "pickled-state indices must be 0..n-1, each once";  // a compile-time error
        seen[f.index] = true;
        out[f.index] = f;
    }
    return out;
}

template <std::size_t N>
constexpr Py_ssize_t pickled_count(const std::array<Field, N>& fields) {
    Py_ssize_t n = 0;
    for (const Field& f : fields) n += f.index >= 0;
    return n;
}

// One object type's fields, the pickled ones first in state order, with the
// checksums of its pickled form: the first is written, all three are
// accepted. They are the first seven hex digits of the SHA-256, SHA-1 and
// MD5 of the pickled names joined by spaces, so they change with the list.
struct FieldTable {
    const Field* fields;
    Py_ssize_t count;
    Py_ssize_t pickled;  // the first `pickled` fields form the state
    long checksums[3];

    const Field* begin() const { return fields; }
    const Field* end() const { return fields + count; }
    struct Range {
        const Field* b;
        const Field* e;
        const Field* begin() const { return b; }
        const Field* end() const { return e; }
    };
    Range state() const { return {fields, fields + pickled}; }
};

inline PyObject*& object_field(PyObject* o, const Field& f) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + f.offset);
}
inline int& flag_field(PyObject* o, const Field& f) {
    return *reinterpret_cast<int*>(reinterpret_cast<char*>(o) + f.offset);
}

// Every object field None, every flag 0: the state between allocation and
// construction.
inline void fields_init(PyObject* o, const FieldTable& t) noexcept {
    for (const Field& f : t) {
        if (holds_object(f.kind))
            object_field(o, f) = Py_NewRef(Py_None);
        else
            flag_field(o, f) = 0;
    }
}

inline int fields_traverse(PyObject* o, const FieldTable& t, visitproc visit, void* arg) {
    for (const Field& f : t)
        if (gc_visible(f.kind)) Py_VISIT(object_field(o, f));
    return 0;
}

inline void fields_clear(PyObject* o, const FieldTable& t) noexcept {
    for (const Field& f : t)
        if (gc_visible(f.kind)) set_field(object_field(o, f), Py_None);
}

inline void fields_release(PyObject* o, const FieldTable& t) noexcept {
    for (const Field& f : t)
        if (holds_object(f.kind)) Py_CLEAR(object_field(o, f));
}

}  // namespace qt

// Expands one X-macro row into a Field of `Type`.
#define QT_FIELD_ENTRY(Type, member, index, name, kind) \
    ::qt::Field{index, name, offsetof(Type, member), ::qt::FieldKind::kind},
#define QT_FIELD_MEMBER(member, index, name, kind) ::qt::FieldStorage<::qt::FieldKind::kind> member;
