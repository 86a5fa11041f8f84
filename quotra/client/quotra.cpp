// Module frame of quotra.quotra: definition, two-phase initialisation, the
// process-wide state, imports and module globals, and the set-up of both
// classes.
#include "client.hpp"
#include "layouts.hpp"
#include "module.hpp"
#include "native_coroutine.hpp"
#include "native_function.hpp"
#include "pickling.hpp"

namespace qt {

int client_type_ready();
int client_populate_dict();
int listener_type_ready(PyTypeObject* base, ListenerVTable* base_vtable);
int listener_populate_dict();

Names names;
ModuleState state;

namespace {

// The interpreter that loaded us first; a second interpreter would share our
// process-wide state, so it is refused.
int64_t owner_interpreter = -1;
bool names_made = false;
bool abc_registered = false;

constexpr const char* AUTHOR = "Quotra developers";
constexpr const char* MODULE_DOC =
    "\n"
    "    :description: Streaming client for a market-data websocket service, on the user's asyncio loop.\n"
    "    :author: Quotra developers\n"
    "    :created: 2026-12-08 15:07:45+00:00\n";

// Basic sizes of picows' classes that we take but do not mirror field by field.
constexpr Py_ssize_t UPGRADE_REQUEST_SIZE = 48;
constexpr Py_ssize_t UPGRADE_RESPONSE_SIZE = 48;
constexpr Py_ssize_t UPGRADE_RESPONSE_WITH_LISTENER_SIZE = 32;

}  // namespace

int names_init() {
    if (names_made) return 0;
#define QUOTRA_NAME_MAKE(ident, text)               \
    names.ident = PyUnicode_InternFromString(text); \
    if (!names.ident) return -1;
    QUOTRA_NAMES(QUOTRA_NAME_MAKE)
#undef QUOTRA_NAME_MAKE
    names_made = true;
    return 0;
}

Ref global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(state.dict, name);  // borrowed
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(PyModule_GetDict(state.builtins), name);
    if (v) return newref(v);
    if (PyErr_Occurred()) raise();
    name_error("name '%U' is not defined", name);
}

void check_arg_type(PyObject* obj, PyTypeObject* type, const char* argname, bool none_ok) {
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, type)) return;
    type_error("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname, type->tp_name,
               Py_TYPE(obj)->tp_name);
}

Ref find_override(PyObject* self, PyObject* name, PyObject* ours) {
    Ref found = getattr(self, name);
    PyObject* f = found.get();
    if (PyMethod_Check(f) && PyMethod_GET_SELF(f) == self && PyMethod_GET_FUNCTION(f) == ours) return Ref();
    return found;
}

void set_class_item(PyTypeObject* type, PyObject* name, PyObject* value) {
    check(PyDict_SetItem(type->tp_dict, name, value));
    PyType_Modified(type);
}

bool ready_class(PyTypeObject* type, const ClassSlots& slots) {
    if (type->tp_flags & Py_TPFLAGS_READY) {
        if (slots.base && type->tp_base != slots.base)
            import_error("quotra.quotra was set up on another %s class in this process; it cannot be imported again",
                         slots.base->tp_name);
        return false;
    }
    type->tp_name = slots.name;
    type->tp_basicsize = slots.basicsize;
    type->tp_base = slots.base;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type->tp_new = slots.tp_new;
    type->tp_init = slots.init;
    type->tp_dealloc = slots.dealloc;
    type->tp_traverse = slots.traverse;
    type->tp_clear = slots.clear;
    type->tp_getset = slots.getset;
    type->tp_free = PyObject_GC_Del;
    check(PyType_Ready(type));
    return true;
}

void publish_class(PyTypeObject* type, void* vtable, const FunctionDef* reduce_def, const FunctionDef* setstate_def) {
    Ref cap = own(PyCapsule_New(vtable, nullptr, nullptr));
    set_class_item(type, S(__pyx_vtable__), cap.get());
    Ref reduce = function_new(reduce_def);
    set_class_item(type, S(__reduce_cython__), reduce.get());
    set_class_item(type, S(__reduce__), reduce.get());
    Ref setstate = function_new(setstate_def);
    set_class_item(type, S(__setstate_cython__), setstate.get());
    set_class_item(type, S(__setstate__), setstate.get());
}

void bind_init_args(PyObject* args, PyObject* kwds, const char* const* names, int n, PyObject** values) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    auto wrong_count = [&]() {
        type_error("%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "__init__", "exactly", (Py_ssize_t)n,
                   n == 1 ? "" : "s", nargs);
    };
    if (nargs > n) wrong_count();
    for (int i = 0; i < n; ++i) values[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwds) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) type_error("%s() keywords must be strings", "__init__");
            int idx = -1;
            for (int i = 0; i < n && idx < 0; ++i)
                if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) idx = i;
            if (idx < 0) type_error("%s() got an unexpected keyword argument '%U'", "__init__", key);
            if (values[idx]) type_error("%s() got multiple values for keyword argument '%U'", "__init__", key);
            values[idx] = value;
        }
    }
    for (int i = 0; i < n; ++i)
        if (!values[i]) wrong_count();
}

namespace {

void set_attr(PyObject* name, PyObject* value) { check(PyDict_SetItem(state.dict, name, value)); }

Ref builtin(const char* name) {
    PyObject* v = PyDict_GetItemString(PyModule_GetDict(state.builtins), name);  // borrowed
    if (!v) {
        if (PyErr_Occurred()) raise();
        name_error("name '%s' is not defined", name);
    }
    return newref(v);
}

Ref import_module(PyObject* name, PyObject* fromlist, int level) {
    return own(PyImport_ImportModuleLevelObject(name, state.dict, nullptr, fromlist, level));
}

// `from module import name`: the attribute, else the submodule already in sys.modules.
Ref import_from(PyObject* module, PyObject* name) {
    PyObject* v = PyObject_GetAttr(module, name);
    if (v) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    Ref pkg = getattr(module, S(__name__));
    Ref full = own(PyUnicode_FromFormat("%U.%U", pkg.get(), name));
    PyObject* sub = PyImport_GetModule(full.get());  // new reference or NULL
    if (sub) return Ref::steal(sub);
    if (PyErr_Occurred()) raise();
    import_error("cannot import name %S", name);
}

// "2.1.3, 2.2.0, ..." for messages.
Ref supported_versions_text() {
    Ref text = own(PyUnicode_FromString(picows::SUPPORTED_VERSIONS[0]));
    for (size_t i = 1; i < picows::SUPPORTED_VERSIONS.size(); ++i)
        text = own(PyUnicode_FromFormat("%U, %s", text.get(), picows::SUPPORTED_VERSIONS[i]));
    return text;
}

[[noreturn]] void layout_error(const char* what, const char* detail) {
    Ref supported = supported_versions_text();
    import_error(
        "quotra.quotra was built against the layouts of picows %U; picows.picows.%s %s. "
        "Install picows==%s.",
        supported.get(), what, detail, picows::SUPPORTED_VERSIONS.back());
}

// Takes a picows class, checking that it has the layout we were compiled
// against: its basic size, its weak-reference offset (0: none) and, when
// `table` is given, a native table, whose address `*table` receives.
Ref take_picows_class(PyObject* mod, const char* name, Py_ssize_t basicsize, Py_ssize_t weaklistoffset,
                      void** table = nullptr) {
    Ref cls = own(PyObject_GetAttrString(mod, name));
    if (!PyType_Check(cls.get())) layout_error(name, "is not a type");
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    if (type->tp_basicsize != basicsize) {
        Ref detail = own(PyUnicode_FromFormat("has instance size %zd, expected %zd", type->tp_basicsize, basicsize));
        layout_error(name, PyUnicode_AsUTF8(detail.get()));
    }
    if (type->tp_weaklistoffset != weaklistoffset) {
        Ref detail = own(PyUnicode_FromFormat("has its weak-reference list at offset %zd, expected %zd",
                                              type->tp_weaklistoffset, weaklistoffset));
        layout_error(name, PyUnicode_AsUTF8(detail.get()));
    }
    if (table) {
        PyObject* cap = PyDict_GetItemWithError(type->tp_dict, S(__pyx_vtable__));  // borrowed
        if (!cap) {
            if (PyErr_Occurred()) raise();
            layout_error(name, "has no native method table");
        }
        *table = PyCapsule_IsValid(cap, nullptr) ? PyCapsule_GetPointer(cap, nullptr) : nullptr;
        if (!*table) {
            PyErr_Clear();
            layout_error(name, "has an empty native method table");
        }
    }
    return cls;
}

// Only the releases known to share our layouts pass: a release may reorder
// fields or table entries and keep every size.
void check_picows_version(PyObject* picows_pkg) {
    Ref version = Ref::steal(PyObject_GetAttrString(picows_pkg, "__version__"));
    if (!version) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
    } else if (PyUnicode_Check(version.get())) {
        for (const char* v : picows::SUPPORTED_VERSIONS)
            if (PyUnicode_CompareWithASCIIString(version.get(), v) == 0) return;
    }
    Ref shown = !version                         ? own(PyUnicode_FromString("(no __version__)"))
                : PyUnicode_Check(version.get()) ? version
                                                 : own(PyObject_Repr(version.get()));
    Ref supported = supported_versions_text();
    import_error(
        "quotra.quotra cannot use the installed picows %U: it supports picows %U, whose object layouts "
        "and native method tables it was built against. Install one of them, e.g. "
        "pip install picows==%s.",
        shown.get(), supported.get(), picows::SUPPORTED_VERSIONS.back());
}

void make_constants() {
    auto intern = [](PyObject*& slot, PyObject* value) {
        if (!value) raise();
        Py_XSETREF(slot, value);
    };
    intern(state.closed_by_user_bytes, PyBytes_FromString("Connection closed by the user."));
    intern(state.default_url, PyUnicode_InternFromString("wss://stream.quotra.invalid/?version=2"));
    intern(state.empty_bytes, PyBytes_FromStringAndSize("", 0));
    intern(state.empty_tuple, PyTuple_New(0));
}

void make_tuples() {
    auto set = [](PyObject*& slot, PyObject* value) {
        if (!value) raise();
        Py_XSETREF(slot, value);
    };
    set(state.signal_names, PyTuple_Pack(2, S(SIGINT), S(SIGTERM)));
    set(state.start_ticker_defaults, PyTuple_Pack(1, Py_False));
    set(state.start_websocket_defaults, PyTuple_Pack(3, Py_None, Py_None, Py_None));
    set(state.kw_reconnect, PyTuple_Pack(1, S(reconnect)));
    set(state.kw_instruments, PyTuple_Pack(1, S(instruments)));
    set(state.kw_data, PyTuple_Pack(1, S(data)));
    set(state.kw_timeout, PyTuple_Pack(1, S(timeout)));
    set(state.kw_ws_connect, PyTuple_Pack(5, S(ssl_context), S(enable_auto_ping), S(auto_ping_idle_timeout),
                                          S(auto_ping_reply_timeout), S(auto_ping_strategy)));
}

void setup_picows() {
    Ref mod = own(PyImport_Import(S(picows_picows)));
    {
        Ref pkg = import_module(S(picows), nullptr, 0);
        check_picows_version(pkg.get());
    }
    void* table = nullptr;
    Ref listener_cls = take_picows_class(mod.get(), "WSListener", sizeof(picows::WSListener),
                                         offsetof(picows::WSListener, weakref), &table);
    auto* listener_type = reinterpret_cast<PyTypeObject*>(listener_cls.get());
    // A heap-type base would have its reference dropped by our static type's dealloc.
    if (listener_type->tp_flags & Py_TPFLAGS_HEAPTYPE) layout_error("WSListener", "is a heap type");
    if (listener_type_ready(listener_type, static_cast<ListenerVTable*>(table)) < 0) raise();
    Py_XSETREF(state.WSListener, reinterpret_cast<PyTypeObject*>(listener_cls.release()));
    set_attr(S(QuotraListner), reinterpret_cast<PyObject*>(&QuotraListnerType));

    // Classes we only check: our layouts.hpp mirrors their instances.
    take_picows_class(mod.get(), "MemoryBuffer", sizeof(picows::MemoryBuffer), 0, &table);
    take_picows_class(mod.get(), "WSUpgradeRequest", UPGRADE_REQUEST_SIZE, 0);
    // picows 2.x made this class a plain extension type without a native table.
    take_picows_class(mod.get(), "WSUpgradeResponse", UPGRADE_RESPONSE_SIZE, 0);
    take_picows_class(mod.get(), "WSUpgradeResponseWithListener", UPGRADE_RESPONSE_WITH_LISTENER_SIZE, 0);
    Ref frame = take_picows_class(mod.get(), "WSFrame", sizeof(picows::WSFrame), 0, &table);
    Py_XSETREF(state.WSFrame, reinterpret_cast<PyTypeObject*>(frame.release()));
    Ref transport = take_picows_class(mod.get(), "WSTransport", sizeof(picows::WSTransport),
                                      offsetof(picows::WSTransport, weakref), &table);
    Py_XSETREF(state.WSTransport, reinterpret_cast<PyTypeObject*>(transport.release()));
    Ref protocol_error = own(PyObject_GetAttrString(mod.get(), "WSProtocolError"));
    if (!PyExceptionClass_Check(protocol_error.get())) layout_error("WSProtocolError", "is not an exception class");
    Py_XSETREF(state.WSProtocolError, protocol_error.release());
}

void run_module_statements() {
    {
        Ref author = own(PyUnicode_FromString(AUTHOR));
        set_attr(S(__author__), author.get());
    }
    for (PyObject* name : {S(ssl), S(socket), S(signal), S(orjson), S(base64), S(logging), S(asyncio)}) {
        Ref m = import_module(name, nullptr, 0);
        set_attr(name, m.get());
    }
    {
        Ref base64 = global(S(base64));
        Py_XSETREF(state.b64decode, getattr(base64.get(), S(b64decode)).release());
        Ref binascii = own(PyImport_ImportModule("binascii"));
        Py_XSETREF(state.a2b_base64, own(PyObject_GetAttrString(binascii.get(), "a2b_base64")).release());
    }
    {
        Ref orjson = global(S(orjson));
        Py_XSETREF(state.orjson_loads, getattr(orjson.get(), S(loads)).release());
        watch_quote_globals();
    }
    {
        Ref fromlist = own(PyTuple_Pack(1, S(wraps)));
        Ref m = import_module(S(functools), fromlist.get(), 0);
        Ref wraps = import_from(m.get(), S(wraps));
        set_attr(S(wraps), wraps.get());
    }
    {
        Ref fromlist = own(PyTuple_Pack(1, S(pricetape)));
        Ref m = import_module(S(pricetape_proto), fromlist.get(), 1);
        Ref cls = import_from(m.get(), S(pricetape));
        set_attr(S(pricetape), cls.get());
    }
    {
        // pricetape_proto has imported quotra._pricetape if it uses it; without
        // the interface every quote simply goes the general way.
        auto* api = static_cast<const quotra_pricetape_api*>(PyCapsule_Import(QUOTRA_PRICETAPE_CAPSULE, 0));
        if (!api || api->version != QUOTRA_PRICETAPE_API_VERSION) {
            PyErr_Clear();
            api = nullptr;
        }
        state.pricetape_api = api;
    }
    {
        PyObject* picows_names[] = {S(ws_connect), S(WSMsgType), S(WSCloseCode), S(WSError), S(WSAutoPingStrategy)};
        Ref fromlist =
            own(PyTuple_Pack(5, picows_names[0], picows_names[1], picows_names[2], picows_names[3], picows_names[4]));
        Ref m = import_module(S(picows), fromlist.get(), 0);
        for (PyObject* name : picows_names) {
            Ref v = import_from(m.get(), name);
            set_attr(name, v.get());
        }
    }
    {
        Ref logging = global(S(logging));
        Ref get_logger = getattr(logging.get(), S(getLogger));
        Ref name = global(S(__name__));
        Ref logger = call(get_logger.get(), name.get());
        set_attr(S(logger), logger.get());
    }
}

void register_coroutine_abc() {
    if (abc_registered) return;
    abc_registered = true;
    coroutine_register_abc();
}

int module_exec(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'quotra' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    int rc = boundary<int>(-1, [&]() -> int {
        state.dict = PyModule_GetDict(module);
        Py_XSETREF(state.builtins, own(PyImport_ImportModule("builtins")).release());
        check(PyDict_SetItemString(state.dict, "__builtins__", state.builtins));
        if ((Py_Version >> 24) != 3 || ((Py_Version >> 16) & 0xff) != 13) {
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                                 "quotra.quotra", "does not match", (int)(Py_Version >> 24),
                                 (int)((Py_Version >> 16) & 0xff)) < 0)
                raise();
        }
        check(names_init());
        make_constants();
        {
            Ref modules = own(PyImport_GetModuleDict() ? Py_NewRef(PyImport_GetModuleDict()) : nullptr);
            if (!check(PyDict_Contains(modules.get(), S(quotra_quotra))))
                check(PyDict_SetItem(modules.get(), S(quotra_quotra), module));
        }
        Py_XSETREF(state.b_staticmethod, builtin("staticmethod").release());
        Py_XSETREF(state.b_OSError, builtin("OSError").release());
        Py_XSETREF(state.b_super, builtin("super").release());
        make_tuples();
        check(function_type_ready());
        check(coroutine_type_ready());
        check(client_type_ready());
        set_attr(S(Quotra), reinterpret_cast<PyObject*>(&QuotraType));
        setup_picows();
        register_coroutine_abc();
        run_module_statements();
        check(client_populate_dict());
        check(listener_populate_dict());
        {
            Ref f = function_new(&unpickle_quotra_def);
            set_attr(S(__pyx_unpickle_Quotra), f.get());
            Ref g = function_new(&unpickle_listener_def);
            set_attr(S(__pyx_unpickle_QuotraListner), g.get());
        }
        {
            Ref test = own(PyDict_New());
            set_attr(S(__test__), test.get());
        }
        return 0;
    });
    if (rc < 0) {
        Py_CLEAR(state.module);
        state.dict = nullptr;
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init quotra.quotra");
    }
    return rc;
}

// Copies one attribute of the module spec into the module dictionary; a
// missing attribute is skipped.
void copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return;
    }
    Ref v = Ref::steal(value);
    if (skip_none && value == Py_None) return;
    check(PyDict_SetItemString(dict, to, value));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1 && PyErr_Occurred()) raise();
        if (owner_interpreter == -1) {
            owner_interpreter = id;
        } else if (owner_interpreter != id) {
            import_error(
                "Interpreter change detected - this module can only be loaded into one interpreter per "
                "process.");
        }
        if (state.module) return Py_NewRef(state.module);
        Ref name = own(PyObject_GetAttrString(spec, "name"));
        Ref module = own(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());  // borrowed
        copy_spec_attr(spec, dict, "loader", "__loader__", false);
        copy_spec_attr(spec, dict, "origin", "__file__", false);
        copy_spec_attr(spec, dict, "parent", "__package__", false);
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true);
        return module.release();
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quotra", MODULE_DOC, 0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace qt

PyMODINIT_FUNC PyInit_quotra() { return PyModuleDef_Init(&qt::module_def); }
