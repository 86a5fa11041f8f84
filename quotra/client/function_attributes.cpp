// The attributes of the module's function type: the ones functools.wraps
// copies, __defaults__ and friends, and the __signature__ that
// inspect.signature() reads.
#include "function_object.hpp"

#include "names.hpp"

namespace qt {

namespace {

PyObject* none_or(PyObject* v) noexcept { return Py_NewRef(v ? v : Py_None); }

PyObject* fn_get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_fn(self)->name); }
int fn_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_field(as_fn(self)->name, value, "__name__");
}

PyObject* fn_get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_fn(self)->qualname); }
int fn_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_field(as_fn(self)->qualname, value, "__qualname__");
}

// Fields that hold any object, with deletion meaning None.
void set_optional(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    field = (value && value != Py_None) ? Py_NewRef(value) : nullptr;
    Py_XDECREF(old);
}

PyObject* fn_get_module(PyObject* self, void*) noexcept { return none_or(as_fn(self)->module); }
int fn_set_module(PyObject* self, PyObject* value, void*) noexcept {
    set_optional(as_fn(self)->module, value);
    return 0;
}

PyObject* fn_get_doc(PyObject* self, void*) noexcept { return none_or(as_fn(self)->doc); }
int fn_set_doc(PyObject* self, PyObject* value, void*) noexcept {
    set_optional(as_fn(self)->doc, value);
    return 0;
}

PyObject* fn_get_defaults(PyObject* self, void*) noexcept { return none_or(as_fn(self)->defaults); }
int fn_set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value && value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    set_optional(as_fn(self)->defaults, value);
    return 0;
}

PyObject* fn_get_kwdefaults(PyObject* self, void*) noexcept { return none_or(as_fn(self)->kwdefaults); }
int fn_set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    set_optional(as_fn(self)->kwdefaults, value);
    return 0;
}

PyObject* fn_get_annotations(PyObject* self, void*) noexcept {
    Function* f = as_fn(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int fn_set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    // As for Python functions: deleting (or setting None) leaves a fresh
    // empty dict to be made on the next read.
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    set_optional(as_fn(self)->annotations, value);
    return 0;
}

PyObject* fn_get_type_params(PyObject* self, void*) noexcept { return Py_NewRef(as_fn(self)->type_params); }
int fn_set_type_params(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    set_field(as_fn(self)->type_params, value);
    return 0;
}

// inspect.Signature of the function's own parameters, from the current
// __defaults__ and __annotations__.
Ref build_signature(Function* f) {
    const FunctionDef* def = f->def;
    const Py_ssize_t np = f->nparams;
    // Hold our own references: the calls below run Python code that may
    // replace the function's fields.
    Ref defaults = newref(f->defaults);
    Ref annotations = own(fn_get_annotations(reinterpret_cast<PyObject*>(f), nullptr));

    Ref inspect = own(PyImport_Import(S(inspect)));
    Ref Parameter = getattr(inspect.get(), S(Parameter));
    Ref Signature = getattr(inspect.get(), S(Signature));
    Ref empty = getattr(Parameter.get(), S(empty));
    Ref positional_or_keyword = getattr(Parameter.get(), S(POSITIONAL_OR_KEYWORD));

    auto annotation_of = [&](PyObject* key) -> Ref {
        PyObject* v = nullptr;
        check(PyDict_GetItemRef(annotations.get(), key, &v));
        return Ref::steal(v);
    };
    auto make_param = [&](PyObject* name, PyObject* kind, PyObject* dflt) -> Ref {
        Ref kw = own(PyDict_New());
        if (dflt) check(PyDict_SetItem(kw.get(), S(default_), dflt));
        if (Ref a = annotation_of(name)) check(PyDict_SetItem(kw.get(), S(annotation), a.get()));
        Ref args = own(PyTuple_Pack(2, name, kind));
        return own(PyObject_Call(Parameter.get(), args.get(), kw.get()));
    };

    const Py_ssize_t ndefaults_all = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t first_default = np - std::min(ndefaults_all, np);
    Ref params = own(PyList_New(0));
    for (Py_ssize_t i = 0; i < np; ++i) {
        Ref name = own(PyUnicode_FromString(def->params[i]));
        PyObject* dflt = i >= first_default ? PyTuple_GET_ITEM(defaults.get(), ndefaults_all - (np - i)) : nullptr;
        check(PyList_Append(params.get(), make_param(name.get(), positional_or_keyword.get(), dflt).get()));
    }
    if (def->varargs) {
        Ref kind = getattr(Parameter.get(), S(VAR_POSITIONAL));
        check(PyList_Append(params.get(), make_param(S(args), kind.get(), nullptr).get()));
    }
    if (def->varkw) {
        Ref kind = getattr(Parameter.get(), S(VAR_KEYWORD));
        check(PyList_Append(params.get(), make_param(S(kwargs), kind.get(), nullptr).get()));
    }

    Ref ret = annotation_of(S(return_));
    Ref kw = own(PyDict_New());
    check(PyDict_SetItem(kw.get(), S(return_annotation), ret ? ret.get() : empty.get()));
    Ref args = own(PyTuple_Pack(1, params.get()));
    return own(PyObject_Call(Signature.get(), args.get(), kw.get()));
}

// __signature__ is what inspect.signature() asks first. An explicit value
// stored by the user wins; a function that carries __wrapped__ (functools.wraps
// was applied to it) has none, so that inspect follows the wrapper chain to the
// wrapped callable exactly as it does for a Python wrapper.
PyObject* fn_get_signature(PyObject* self, void*) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Function* f = as_fn(self);
        if (f->dict) {
            Ref dict = newref(f->dict);
            PyObject* v = nullptr;
            if (check(PyDict_GetItemRef(dict.get(), S(__signature__), &v))) return v;
            if (check(PyDict_Contains(dict.get(), S(__wrapped__)))) {
                attribute_error("'%.100s' object has no attribute '__signature__'", Py_TYPE(self)->tp_name);
            }
        }
        return build_signature(f).release();
    });
}
int fn_set_signature(PyObject* self, PyObject* value, void*) noexcept {
    return boundary<int>(-1, [&] {
        Ref dict = own(PyObject_GenericGetDict(self, nullptr));
        if (value) return check(PyDict_SetItem(dict.get(), S(__signature__), value));
        if (check(PyDict_Pop(dict.get(), S(__signature__), nullptr)) == 0) {
            raise_object(PyExc_AttributeError, S(__signature__));
        }
        return 0;
    });
}

// Pickled by reference, as Python functions are: the qualified name is looked
// up in __module__ when unpickling.
PyObject* fn_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_fn(self)->qualname); }

}  // namespace

PyGetSetDef function_getset[] = {
    {"__name__", fn_get_name, fn_set_name, nullptr, nullptr},
    {"__qualname__", fn_get_qualname, fn_set_qualname, nullptr, nullptr},
    {"__module__", fn_get_module, fn_set_module, nullptr, nullptr},
    {"__doc__", fn_get_doc, fn_set_doc, nullptr, nullptr},
    {"__defaults__", fn_get_defaults, fn_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", fn_get_kwdefaults, fn_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", fn_get_annotations, fn_set_annotations, nullptr, nullptr},
    {"__type_params__", fn_get_type_params, fn_set_type_params, nullptr, nullptr},
    {"__signature__", fn_get_signature, fn_set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qt
