
// The dict of every field that SerializeToDict and the quote path return.

#include "message.hpp"

namespace pricetape {

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
namespace {

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

}  // namespace
#endif

bool direct_dict_fits(const Schema* s) {
#ifdef QUOTRA_DIRECT_DICT
    // The template and a copy of it both have the layout, and the copy is the
    // fresh, untracked table, its own, that to_dict writes into.
    PyObject* copy = PyDict_Copy(s->template_dict);
    if (!copy) {
        PyErr_Clear();  // the public way then
        return false;
    }
    bool fits = dict_entries(s, s->template_dict) && own_entries(s, copy) && !PyObject_GC_IsTracked(s->template_dict) &&
                !PyObject_GC_IsTracked(copy);
    Py_DECREF(copy);
    return fits;
#else
    (void)s;
    return false;
#endif
}

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

}  // namespace pricetape
