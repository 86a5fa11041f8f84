// Pickle protocol of Quotra and QuotraListner: reduce, set-state and the two
// module-level reconstructors. See pickling.hpp for how the pieces are wired.
//
// The state tuple lists the fields in the order of their field table
// (layouts.hpp), whose checksums are derived from that order.
#include "pickling.hpp"

#include <cstdio>
#include <string>

#include "layouts.hpp"
#include "module.hpp"

namespace qt {
namespace {

// The reduce/setstate functions sit in a class dictionary and can be fetched
// from there and called with anything; the field accesses below would be
// reads of foreign memory for a wrong `self`.
void check_self(PyObject* self, PyTypeObject* type, const char* method) {
    if (PyObject_TypeCheck(self, type)) return;
    type_error("descriptor '%s' for '%s' objects doesn't apply to a '%.200s' object", method, type->tp_name,
               Py_TYPE(self)->tp_name);
}

// Fields are None rather than NULL for the whole life of an object; the
// fallback only keeps a broken invariant from turning into a crash.
PyObject* field_ref(PyObject* field) noexcept { return Py_NewRef(field ? field : Py_None); }

// An instance of a Python subclass has a __dict__, which travels as one more
// element after the fields and always goes through __setstate__.
Ref append_dict_if_any(Ref fields, PyObject* self, bool& use_setstate) {
    PyObject* dict = nullptr;
    check(PyObject_GetOptionalAttr(self, S(__dict__), &dict));
    Ref d = Ref::steal(dict);
    if (!d || d.get() == Py_None) return fields;
    Py_ssize_t n = PyTuple_GET_SIZE(fields.get());
    Ref longer = own(PyTuple_New(n + 1));
    for (Py_ssize_t i = 0; i < n; i++) PyTuple_SET_ITEM(longer.get(), i, Py_NewRef(PyTuple_GET_ITEM(fields.get(), i)));
    PyTuple_SET_ITEM(longer.get(), n, d.release());
    use_setstate = true;
    return longer;
}

// (reconstructor, (type(self), checksum, state)) when everything fits in the
// reconstructor call, else (reconstructor, (type(self), checksum, None), state)
// so that pickle hands the state to __setstate__.
Ref reduce_value(PyObject* self, PyObject* reconstructor_name, PyObject* checksum, const Ref& pickled,
                 bool use_setstate) {
    Ref reconstructor = global(reconstructor_name);
    if (use_setstate) {
        Ref args = own(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), checksum, Py_None));
        return own(PyTuple_Pack(3, reconstructor.get(), args.get(), pickled.get()));
    }
    Ref args = own(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), checksum, pickled.get()));
    return own(PyTuple_Pack(2, reconstructor.get(), args.get()));
}

// Element `i` of a state that the caller has checked to be an exact tuple;
// borrowed from it. Too short a state fails the way tuple indexing does.
PyObject* item(PyObject* pickled, Py_ssize_t i) {
    if (i >= PyTuple_GET_SIZE(pickled)) index_error("tuple index out of range");
    return PyTuple_GET_ITEM(pickled, i);
}

void require_subscriptable(PyObject* pickled) {
    if (pickled != Py_None) return;
    type_error("'NoneType' object is not subscriptable");
}

// Exactly the type (no subclass) or None: the fields are read with the
// concrete type's C API, which a subclass could subvert.
PyObject* exact_or_none(PyObject* v, PyTypeObject* type, const char* type_name) {
    if (v == Py_None || Py_IS_TYPE(v, type)) return v;
    type_error("Expected %s, got %.200s", type_name, Py_TYPE(v)->tp_name);
}

// An instance of the class (subclasses allowed) or None.
PyObject* instance_or_none(PyObject* v, PyTypeObject* type) {
    if (!type) system_error("Missing type object");
    if (v == Py_None || PyObject_TypeCheck(v, type)) return v;
    type_error("Cannot convert %.200s to %.200s", Py_TYPE(v)->tp_name, type->tp_name);
}

int truth(PyObject* v) {
    if (v == Py_True) return 1;
    if (v == Py_False || v == Py_None) return 0;
    return check(PyObject_IsTrue(v));
}

// A Python subclass's instance carries its __dict__ as the element after the
// fields; anything further is ignored, as is that element for an object that
// has no __dict__ to merge it into.
void merge_dict(PyObject* result, PyObject* pickled, Py_ssize_t nfields) {
    if (PyTuple_GET_SIZE(pickled) <= nfields) return;
    if (!check(PyObject_HasAttrWithError(result, S(__dict__)))) return;
    Ref dict = getattr(result, S(__dict__));
    call_method(dict.get(), S(update), PyTuple_GET_ITEM(pickled, nfields));
}

// A value restored into a field of kind `kind`, checked.
PyObject* checked(PyObject* v, FieldKind kind) {
    switch (kind) {
        case FieldKind::Set: return exact_or_none(v, &PySet_Type, "set");
        case FieldKind::Bytes: return exact_or_none(v, &PyBytes_Type, "bytes");
        case FieldKind::Str: return exact_or_none(v, &PyUnicode_Type, "unicode");
        case FieldKind::Transport: return instance_or_none(v, state.WSTransport);
        case FieldKind::Client: return instance_or_none(v, &QuotraType);
        default: return v;
    }
}

// Fields are assigned in state order and each check can fail: what came
// before the failing element keeps its new value (no rollback).
void set_state(PyObject* result, PyObject* pickled, const FieldTable& table) {
    require_subscriptable(pickled);
    for (const Field& f : table.state()) {
        PyObject* v = item(pickled, f.index);  // borrowed
        if (holds_object(f.kind))
            set_field(object_field(result, f), checked(v, f.kind));
        else
            flag_field(result, f) = truth(v);
    }
    merge_dict(result, pickled, table.pickled);
}

void require_tuple_or_none(PyObject* pickled) {
    if (pickled == Py_None || PyTuple_CheckExact(pickled)) return;
    type_error("Expected %s, got %.200s", "tuple", Py_TYPE(pickled)->tp_name);
}

// The message of a stale pickle, a template for Python's %-formatting with
// the checksum found: the checksums accepted and the field names they cover.
Ref incompatible_template(const FieldTable& table) {
    std::string text = "Incompatible checksums (0x%x vs (";
    char hex[24];
    for (int i = 0; i < 3; ++i) {
        std::snprintf(hex, sizeof hex, "%s0x%lx", i ? ", " : "", table.checksums[i]);
        text += hex;
    }
    text += ") = (";
    for (const Field& f : table.state()) {
        if (f.index) text += ", ";
        text += f.name;
    }
    text += "))";
    return own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// `from pickle import PickleError`, at the moment of the failure so that a
// process that never meets a stale pickle never imports it.
[[noreturn]] void raise_incompatible(const FieldTable& table, PyObject* checksum) {
    Ref fromlist = own(PyTuple_Pack(1, S(PickleError)));
    Ref pickle = own(PyImport_ImportModuleLevelObject(S(pickle), state.dict, nullptr, fromlist.get(), 0));
    PyObject* cls = nullptr;
    check(PyObject_GetOptionalAttr(pickle.get(), S(PickleError), &cls));
    if (!cls) import_error("cannot import name %S", S(PickleError));
    Ref error_class = Ref::steal(cls);
    // Python's %-formatting rather than C's, so that a negative checksum
    // reads as Python prints it ("0x-5") instead of as its two's complement.
    Ref message = own(PyUnicode_Format(incompatible_template(table).get(), checksum));
    if (!PyExceptionClass_Check(error_class.get())) {
        type_error("raise: exception class must be a subclass of BaseException");
    }
    raise_object(error_class.get(), message.get());
}

Ref reconstruct(PyTypeObject* cls, const FieldTable& table, PyObject* const* params) {
    PyObject* type = params[0];      // borrowed
    PyObject* checksum_arg = params[1];  // borrowed
    PyObject* pickled = params[2];   // borrowed
    int checksum_value = PyLong_AsInt(checksum_arg);
    if (checksum_value == -1 && PyErr_Occurred()) raise();
    bool accepted = false;
    for (long sum : table.checksums) accepted |= sum == checksum_value;
    if (!accepted) raise_incompatible(table, own(PyLong_FromLong(checksum_value)).get());
    // The class's own __new__ checks that `type` is the class or a subclass
    // and leaves every field None without running __init__.
    Ref new_ = getattr(reinterpret_cast<PyObject*>(cls), S(__new__));
    Ref result = call(new_.get(), type);
    if (pickled != Py_None) {
        require_tuple_or_none(pickled);
        set_state(result.get(), pickled, table);
    }
    return result;
}

Ref reduce(PyObject* self, PyTypeObject* cls, const FieldTable& table, PyObject* reconstructor_name) {
    check_self(self, cls, "__reduce_cython__");
    // Allocated before the fields are read: an allocation may run the GC
    // and with it finalisers that could replace a field, so each field is
    // read only right before its reference is taken.
    Ref fields = own(PyTuple_New(table.pickled));
    for (const Field& f : table.state()) {
        PyObject* v = holds_object(f.kind) ? field_ref(object_field(self, f))
                                           : Py_NewRef(flag_field(self, f) ? Py_True : Py_False);
        PyTuple_SET_ITEM(fields.get(), f.index, v);
    }
    bool use_setstate = false;
    Ref pickled = append_dict_if_any(std::move(fields), self, use_setstate);
    // Read the fields again, not the tuple: looking up __dict__ may have run
    // Python code of a subclass. The native boolean never forces setstate.
    for (const Field& f : table.state()) use_setstate |= holds_object(f.kind) && object_field(self, f) != Py_None;
    Ref checksum = own(PyLong_FromLong(table.checksums[0]));
    return reduce_value(self, reconstructor_name, checksum.get(), pickled, use_setstate);
}

void setstate(PyObject* const* params, PyTypeObject* cls, const FieldTable& table) {
    check_self(params[0], cls, "__setstate_cython__");
    require_tuple_or_none(params[1]);
    set_state(params[0], params[1], table);
}

PyObject* quotra_reduce(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return reduce(params[0], &QuotraType, quotra_table, S(__pyx_unpickle_Quotra)).release();
    });
}

PyObject* listener_reduce(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return reduce(params[0], &QuotraListnerType, listener_table, S(__pyx_unpickle_QuotraListner)).release();
    });
}

PyObject* quotra_setstate(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        setstate(params, &QuotraType, quotra_table);
        Py_RETURN_NONE;
    });
}

PyObject* listener_setstate(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        setstate(params, &QuotraListnerType, listener_table);
        Py_RETURN_NONE;
    });
}

PyObject* unpickle_quotra(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr,
                               [&]() -> PyObject* { return reconstruct(&QuotraType, quotra_table, params).release(); });
}

PyObject* unpickle_listener(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(
        nullptr, [&]() -> PyObject* { return reconstruct(&QuotraListnerType, listener_table, params).release(); });
}

const char* const setstate_params[] = {"self", "__pyx_state", nullptr};
const char* const unpickle_params[] = {"__pyx_type", "__pyx_checksum", "__pyx_state", nullptr};

}  // namespace

const FunctionDef quotra_reduce_def{"__reduce_cython__", "Quotra.__reduce_cython__", self_params, false, false, false,
                                    quotra_reduce};
const FunctionDef quotra_setstate_def{
    "__setstate_cython__", "Quotra.__setstate_cython__", setstate_params, false, false, false, quotra_setstate};
const FunctionDef listener_reduce_def{
    "__reduce_cython__", "QuotraListner.__reduce_cython__", self_params, false, false, false, listener_reduce};
const FunctionDef listener_setstate_def{
    "__setstate_cython__", "QuotraListner.__setstate_cython__", setstate_params, false, false, false,
    listener_setstate};
const FunctionDef unpickle_quotra_def{
    "__pyx_unpickle_Quotra", "__pyx_unpickle_Quotra", unpickle_params, false, false, false, unpickle_quotra};
const FunctionDef unpickle_listener_def{"__pyx_unpickle_QuotraListner",
                                        "__pyx_unpickle_QuotraListner",
                                        unpickle_params,
                                        false,
                                        false,
                                        false,
                                        unpickle_listener};

}  // namespace qt
