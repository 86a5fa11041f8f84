// The Quotra class: its fields and type slots, its native method table and
// its class dictionary. The methods live in one unit per concern (see
// client.hpp).
#include "client.hpp"
#include "pickling.hpp"
#include "support.hpp"

namespace qt {

QuotraVTable quotra_vtable;

namespace {

// ---------------------------------------------------------------- type slots

PyObject* Quotra_new(PyTypeObject* type, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* o;
        if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)
            o = PyBaseObject_Type.tp_new(type, state.empty_tuple, nullptr);
        else
            o = type->tp_alloc(type, 0);
        if (!o) raise();
        as_quotra(o)->vtab = &quotra_vtable;
        as_quotra(o)->health = Health{};
        fields_init(o, quotra_table);
        as_quotra(o)->connected_at = 0;
        as_quotra(o)->started = false;
        as_quotra(o)->shut_down = false;
        as_quotra(o)->attempt_closed = false;
        as_quotra(o)->closed_after_start = false;
        as_quotra(o)->callbacks_warned = 0;
        as_quotra(o)->round_quotes = 0;
        as_quotra(o)->round_marked = false;
        as_quotra(o)->deferred_at = 0;
        return o;
    });
}

int Quotra_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return boundary<int>(-1, [&]() -> int {
        static const char* const names[] = {"loop"};
        PyObject* loop;
        bind_init_args(args, kwds, names, 1, &loop);
        Quotra* q = as_quotra(self);
        Ref loop_ref = newref(loop);  // the old __loop may own the only other reference
        set_field(q->loop, loop);
        {
            Ref factory = global(S(pricetape));
            Ref msg = call(factory.get());
            set_field(q->pricetape, msg.get());
        }
        set_field(q->ws_url, state.default_url);
        set_field(q->open_callback, Py_None);
        set_field(q->close_callback, Py_None);
        set_field(q->message_callback, Py_None);
        set_field(q->error_callback, Py_None);
        q->disconnect_socket = 0;
        set_field(q->disconnect_msg, state.closed_by_user_bytes);
        {
            Ref s = own(PySet_New(nullptr));
            set_field(q->tokens_set, s.get());
        }
        {
            Ref asyncio = global(S(asyncio));
            Ref event_cls = getattr(asyncio.get(), S(Event));
            Ref ev = call(event_cls.get());
            set_field(q->IS_CONNECTED, ev.get());
        }
        {
            Ref asyncio = global(S(asyncio));
            Ref event_cls = getattr(asyncio.get(), S(Event));
            Ref ev = call(event_cls.get());
            set_field(q->stop_event, ev.get());
        }
        if (q->vtab->add_signal_handler(q) < 0) raise();
        return 0;
    });
}

int Quotra_traverse(PyObject* self, visitproc visit, void* arg) {
    return fields_traverse(self, quotra_table, visit, arg);
}

int Quotra_clear(PyObject* self) {
    fields_clear(self, quotra_table);
    return 0;
}

void Quotra_dealloc(PyObject* self) {
    if (Py_TYPE(self)->tp_finalize && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    fields_release(self, quotra_table);
    Py_TYPE(self)->tp_free(self);
}

PyObject* Quotra_get_IS_CONNECTED(PyObject* self, void*) { return Py_NewRef(as_quotra(self)->IS_CONNECTED); }

int Quotra_set_IS_CONNECTED(PyObject* self, PyObject* value, void*) {
    set_field(as_quotra(self)->IS_CONNECTED, value ? value : Py_None);
    return 0;
}

PyGetSetDef Quotra_getset[] = {
    {"IS_CONNECTED", Quotra_get_IS_CONNECTED, Quotra_set_IS_CONNECTED, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void set_class_item(PyObject* name, PyObject* value) { qt::set_class_item(&QuotraType, name, value); }

Ref annotations(std::initializer_list<std::pair<const char*, const char*>> items) {
    Ref d = own(PyDict_New());
    for (auto& [k, v] : items) {
        Ref val = own(PyUnicode_InternFromString(v));
        check(PyDict_SetItemString(d.get(), k, val.get()));
    }
    return d;
}

void put_static(const FunctionDef* def, PyObject* name) {
    Ref fn = function_new(def);
    set_class_item(name, fn.get());
    Ref sm = call(state.b_staticmethod, fn.get());
    set_class_item(name, sm.get());
}

void put_decorated(const FunctionDef* def, PyObject* name, PyObject* ann) {
    Ref fn = function_new(def, nullptr, nullptr, ann);
    set_class_item(name, fn.get());
    Ref factory = newref(dict_item(QuotraType.tp_dict, S(run_in_thread)));
    Ref decorator = call(factory.get());
    Ref plain = newref(dict_item(QuotraType.tp_dict, name));
    Ref decorated = call(decorator.get(), plain.get());
    set_class_item(name, decorated.get());
}

}  // namespace

QT_STATIC_TYPE(QuotraType)

int client_type_ready() {
    return boundary<int>(-1, [&]() -> int {
        quotra_vtable.add_signal_handler = vt_add_signal_handler;
        quotra_vtable.ws_send = vt_ws_send;
        quotra_vtable.on_data_callback = vt_on_data_callback;
        quotra_vtable.resubscribe = vt_resubscribe;
        quotra_vtable.start_websocket = vt_start_websocket;
        quotra_vtable.close_websocket = vt_close_websocket;
        quotra_vtable.initiate_shutdown = vt_initiate_shutdown;
        ready_class(&QuotraType, {"quotra.quotra.Quotra", sizeof(Quotra), nullptr, Quotra_new, Quotra_init,
                                  Quotra_dealloc, Quotra_traverse, Quotra_clear, Quotra_getset});
        publish_class(&QuotraType, &quotra_vtable, &quotra_reduce_def, &quotra_setstate_def);
        return 0;
    });
}

int client_populate_dict() {
    return boundary<int>(-1, [&]() -> int {
        put_static(&run_in_thread_def, S(run_in_thread));
        {
            Ref ann = annotations({{"return", "None"}});
            Ref fn = function_new(&stop_signal_handler_def, nullptr, nullptr, ann.get());
            set_class_item(S(stop_signal_handler), fn.get());
        }
        {
            Ref ann = annotations({{"instruments", "list"}, {"return", "None"}});
            put_decorated(&subscribe_def, S(subscribe), ann.get());
        }
        {
            Ref ann = annotations({{"instruments", "list"}, {"return", "None"}});
            put_decorated(&unsubscribe_def, S(unsubscribe), ann.get());
        }
        put_decorated(&resubscribe_def, S(_resubscribe), nullptr);
        {
            Ref fn = function_new(&start_ticker_def, nullptr, state.start_ticker_defaults);
            set_class_item(S(start_ticker), fn.get());
        }
        {
            Ref fn = function_new(&start_websocket_def, nullptr, state.start_websocket_defaults);
            set_class_item(S(start_websocket), fn.get());
        }
        {
            Ref fn = function_new(&close_websocket_def);
            set_class_item(S(close_websocket), fn.get());
        }
        put_static(&shutdown_def, S(shutdown));
        return 0;
    });
}

}  // namespace qt
