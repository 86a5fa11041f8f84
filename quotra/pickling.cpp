// Pickle protocol of Quotra and QuotraListner: reduce, set-state and the two
// module-level reconstructors. See pickling.hpp for how the pieces are wired.
//
// The state tuple lists the fields in a fixed order that differs from the
// layout order, under their mangled names; the checksums in the module state
// are derived from that list, so reorder nothing here without them.
#include "pickling.hpp"

#include "layouts.hpp"
#include "module.hpp"

namespace qt {
namespace {

constexpr Py_ssize_t QUOTRA_NFIELDS = 13;
constexpr Py_ssize_t LISTENER_NFIELDS = 3;

// The reduce/setstate functions sit in a class dictionary and can be fetched
// from there and called with anything; the field accesses below would be
// reads of foreign memory for a wrong `self`.
void check_self(PyObject* self, PyTypeObject* type, const char* method) {
    if (PyObject_TypeCheck(self, type)) return;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%.200s' object", method,
                 type->tp_name, Py_TYPE(self)->tp_name);
    raise();
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
    if (i >= PyTuple_GET_SIZE(pickled)) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        raise();
    }
    return PyTuple_GET_ITEM(pickled, i);
}

void require_subscriptable(PyObject* pickled) {
    if (pickled != Py_None) return;
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    raise();
}

// Exactly the type (no subclass) or None: the fields are read with the
// concrete type's C API, which a subclass could subvert.
PyObject* exact_or_none(PyObject* v, PyTypeObject* type, const char* type_name) {
    if (v == Py_None || Py_IS_TYPE(v, type)) return v;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_name, Py_TYPE(v)->tp_name);
    raise();
}

// An instance of the class (subclasses allowed) or None.
PyObject* instance_or_none(PyObject* v, PyTypeObject* type, const char* full_name) {
    if (!type) {
        PyErr_SetString(PyExc_SystemError, "Missing type object");
        raise();
    }
    if (v == Py_None || PyObject_TypeCheck(v, type)) return v;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(v)->tp_name, full_name);
    raise();
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

// Fields are assigned in state order and each check can fail: what came
// before the failing element keeps its new value (no rollback).
void quotra_set_state(PyObject* result, PyObject* pickled) {
    require_subscriptable(pickled);
    Quotra* q = as_quotra(result);
    set_field(q->IS_CONNECTED, item(pickled, 0));
    set_field(q->loop, item(pickled, 1));
    set_field(q->tokens_set, exact_or_none(item(pickled, 2), &PySet_Type, "set"));
    set_field(q->transport, instance_or_none(item(pickled, 3), state.WSTransport, "picows.picows.WSTransport"));
    set_field(q->pricetape, item(pickled, 4));
    set_field(q->close_callback, item(pickled, 5));
    set_field(q->disconnect_msg, exact_or_none(item(pickled, 6), &PyBytes_Type, "bytes"));
    q->disconnect_socket = truth(item(pickled, 7));
    set_field(q->error_callback, item(pickled, 8));
    set_field(q->message_callback, item(pickled, 9));
    set_field(q->open_callback, item(pickled, 10));
    set_field(q->stop_event, item(pickled, 11));
    set_field(q->ws_url, exact_or_none(item(pickled, 12), &PyUnicode_Type, "unicode"));
    merge_dict(result, pickled, QUOTRA_NFIELDS);
}

void listener_set_state(PyObject* result, PyObject* pickled) {
    require_subscriptable(pickled);
    QuotraListner* l = as_listener(result);
    set_field(l->loop, item(pickled, 0));
    set_field(l->ping_msg, exact_or_none(item(pickled, 1), &PyBytes_Type, "bytes"));
    set_field(l->parent, instance_or_none(item(pickled, 2), &QuotraType, "quotra.quotra.Quotra"));
    merge_dict(result, pickled, LISTENER_NFIELDS);
}

void require_tuple_or_none(PyObject* pickled) {
    if (pickled == Py_None || PyTuple_CheckExact(pickled)) return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(pickled)->tp_name);
    raise();
}

// `from pickle import PickleError`, at the moment of the failure so that a
// process that never meets a stale pickle never imports it.
[[noreturn]] void raise_incompatible(PyObject* message_template, PyObject* checksum) {
    Ref fromlist = own(PyTuple_Pack(1, S(PickleError)));
    Ref pickle = own(PyImport_ImportModuleLevelObject(S(pickle), state.dict, nullptr, fromlist.get(), 0));
    PyObject* cls = nullptr;
    check(PyObject_GetOptionalAttr(pickle.get(), S(PickleError), &cls));
    if (!cls) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", S(PickleError));
        raise();
    }
    Ref error_class = Ref::steal(cls);
    // Python's %-formatting rather than C's, so that a negative checksum
    // reads as Python prints it ("0x-5") instead of as its two's complement.
    Ref message = own(PyUnicode_Format(message_template, checksum));
    if (!PyExceptionClass_Check(error_class.get())) {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
        raise();
    }
    PyErr_SetObject(error_class.get(), message.get());
    raise();
}

using SetState = void (*)(PyObject*, PyObject*);

Ref reconstruct(PyTypeObject* cls, PyObject* accepted, PyObject* message_template, SetState set_state,
                PyObject* const* params) {
    PyObject* type = params[0];      // borrowed
    PyObject* checksum_arg = params[1];  // borrowed
    PyObject* pickled = params[2];   // borrowed
    int checksum_value = PyLong_AsInt(checksum_arg);
    if (checksum_value == -1 && PyErr_Occurred()) raise();
    Ref checksum = own(PyLong_FromLong(checksum_value));
    if (!check(PySequence_Contains(accepted, checksum.get()))) raise_incompatible(message_template, checksum.get());
    // The class's own __new__ checks that `type` is the class or a subclass
    // and leaves every field None without running __init__.
    Ref new_ = getattr(reinterpret_cast<PyObject*>(cls), S(__new__));
    Ref result = call(new_.get(), type);
    if (pickled != Py_None) {
        require_tuple_or_none(pickled);
        set_state(result.get(), pickled);
    }
    return result;
}

PyObject* quotra_reduce(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = params[0];
        check_self(self, &QuotraType, "__reduce_cython__");
        // Allocated before the fields are read: an allocation may run the GC
        // and with it finalisers that could replace a field, so each field is
        // read only right before its reference is taken.
        Ref fields = own(PyTuple_New(QUOTRA_NFIELDS));
        Quotra* q = as_quotra(self);
        PyObject* t = fields.get();
        PyTuple_SET_ITEM(t, 0, field_ref(q->IS_CONNECTED));
        PyTuple_SET_ITEM(t, 1, field_ref(q->loop));
        PyTuple_SET_ITEM(t, 2, field_ref(q->tokens_set));
        PyTuple_SET_ITEM(t, 3, field_ref(q->transport));
        PyTuple_SET_ITEM(t, 4, field_ref(q->pricetape));
        PyTuple_SET_ITEM(t, 5, field_ref(q->close_callback));
        PyTuple_SET_ITEM(t, 6, field_ref(q->disconnect_msg));
        PyTuple_SET_ITEM(t, 7, Py_NewRef(q->disconnect_socket ? Py_True : Py_False));
        PyTuple_SET_ITEM(t, 8, field_ref(q->error_callback));
        PyTuple_SET_ITEM(t, 9, field_ref(q->message_callback));
        PyTuple_SET_ITEM(t, 10, field_ref(q->open_callback));
        PyTuple_SET_ITEM(t, 11, field_ref(q->stop_event));
        PyTuple_SET_ITEM(t, 12, field_ref(q->ws_url));
        bool use_setstate = false;
        Ref pickled = append_dict_if_any(std::move(fields), self, use_setstate);
        // Read the fields again, not the tuple: looking up __dict__ may have run
        // Python code of a subclass. The native boolean never forces setstate.
        if (!use_setstate) {
            PyObject* const object_fields[] = {q->IS_CONNECTED,     q->loop,          q->tokens_set,     q->transport,
                                               q->pricetape,        q->close_callback, q->disconnect_msg, q->error_callback,
                                               q->message_callback, q->open_callback, q->stop_event,      q->ws_url};
            for (PyObject* f : object_fields) use_setstate |= (f != Py_None);
        }
        return reduce_value(self, S(__pyx_unpickle_Quotra), state.quotra_checksum, pickled, use_setstate)
            .release();
    });
}

PyObject* listener_reduce(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = params[0];
        check_self(self, &QuotraListnerType, "__reduce_cython__");
        Ref fields = own(PyTuple_New(LISTENER_NFIELDS));
        QuotraListner* l = as_listener(self);
        PyTuple_SET_ITEM(fields.get(), 0, field_ref(l->loop));
        PyTuple_SET_ITEM(fields.get(), 1, field_ref(l->ping_msg));
        PyTuple_SET_ITEM(fields.get(), 2, field_ref(l->parent));
        bool use_setstate = false;
        Ref pickled = append_dict_if_any(std::move(fields), self, use_setstate);
        if (!use_setstate) use_setstate = l->loop != Py_None || l->ping_msg != Py_None || l->parent != Py_None;
        return reduce_value(self, S(__pyx_unpickle_QuotraListner), state.listener_checksum, pickled, use_setstate)
            .release();
    });
}

PyObject* quotra_setstate(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        check_self(params[0], &QuotraType, "__setstate_cython__");
        require_tuple_or_none(params[1]);
        quotra_set_state(params[0], params[1]);
        Py_RETURN_NONE;
    });
}

PyObject* listener_setstate(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        check_self(params[0], &QuotraListnerType, "__setstate_cython__");
        require_tuple_or_none(params[1]);
        listener_set_state(params[0], params[1]);
        Py_RETURN_NONE;
    });
}

PyObject* unpickle_quotra(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return reconstruct(&QuotraType, state.quotra_checksums, S(incompatible_quotra), quotra_set_state, params)
            .release();
    });
}

PyObject* unpickle_listener(PyObject*, PyObject* const* params, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return reconstruct(&QuotraListnerType, state.listener_checksums, S(incompatible_listener), listener_set_state,
                           params)
            .release();
    });
}

const char* const setstate_params[] = {"self", "__pyx_state", nullptr};
const char* const unpickle_params[] = {"__pyx_type", "__pyx_checksum", "__pyx_state", nullptr};

}  // namespace

const FunctionDef quotra_reduce_def{"__reduce_cython__", "Quotra.__reduce_cython__", self_params, false, false, false,
                                    quotra_reduce};
const FunctionDef quotra_setstate_def{"__setstate_cython__", "Quotra.__setstate_cython__", setstate_params, false,
                                      false, false, quotra_setstate};
const FunctionDef listener_reduce_def{"__reduce_cython__", "QuotraListner.__reduce_cython__", self_params, false,
                                      false, false, listener_reduce};
const FunctionDef listener_setstate_def{"__setstate_cython__", "QuotraListner.__setstate_cython__", setstate_params,
                                        false, false, false, listener_setstate};
const FunctionDef unpickle_quotra_def{"__pyx_unpickle_Quotra", "__pyx_unpickle_Quotra", unpickle_params, false, false,
                                      false, unpickle_quotra};
const FunctionDef unpickle_listener_def{"__pyx_unpickle_QuotraListner", "__pyx_unpickle_QuotraListner",
                                        unpickle_params, false, false, false, unpickle_listener};

}  // namespace qt
