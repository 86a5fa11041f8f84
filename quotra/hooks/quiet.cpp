// quotra._quiet: a quotra.quotra.Quotra client that ends without ending the
// program around it, for quotra.feed.
//
// A client's end (after close_websocket(), or a first attempt that failed)
// cancels every task on the loop and stops it, and constructing one installs
// SIGINT and SIGTERM handlers on the loop: right for a program built around
// the callbacks, wrong for a feed that a program iterates over among other
// tasks, under asyncio.run. The client reaches both through its native
// method table; a quiet client has a table of its own in which they are
// replaced: no signal handlers, and an end that only marks the client ended
// and sets its stop event (which the feed waits on). Everything else is the
// client's own code. Built from the client's headers, like quotra._monitor,
// and refused at import when the client type's size differs from theirs.
#include "../client/client_type.hpp"
#include "feed_buffer.hpp"

#include <cstring>

namespace {

using qt::Quotra;
using qt::QuotraVTable;

// Process-wide: the table every quiet client points at, filled once from the
// client type's own at the first import (the module refuses a second
// interpreter, as the client's does).
QuotraVTable quiet_table;
bool table_ready = false;

int no_signal_handlers(Quotra*) { return 0; }

// `obj.<name>()`, the result dropped; -1 with the exception set.
int call_method0(PyObject* obj, const char* name) {
    PyObject* r = PyObject_CallMethod(obj, name, nullptr);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

int quiet_end(Quotra* self) {
    self->started = false;
    self->shut_down = true;
    // Held across the calls, which run Python code that may replace the fields.
    PyObject* connected = Py_NewRef(self->IS_CONNECTED);
    PyObject* stop_event = Py_NewRef(self->stop_event);
    int r = call_method0(connected, "clear");
    if (r == 0) r = call_method0(stop_event, "set");
    Py_DECREF(connected);
    Py_DECREF(stop_event);
    return r;
}

// quiet_client(loop): a new client on `loop`, as Quotra(loop) makes one, with
// the quiet table.
PyObject* quiet_client(PyObject* module, PyObject* loop) {
    PyTypeObject* type = qt::client_type_of(module);
    PyObject* args = PyTuple_Pack(1, loop);
    if (!args) return nullptr;
    PyObject* client = type->tp_new(type, args, nullptr);
    if (client) {
        reinterpret_cast<Quotra*>(client)->vtab = &quiet_table;
        if (type->tp_init(client, args, nullptr) < 0) Py_CLEAR(client);
    }
    Py_DECREF(args);
    return client;
}

// is_quiet(client): whether `client` has the quiet table.
PyObject* is_quiet(PyObject* module, PyObject* client) {
    PyTypeObject* type = qt::client_type_of(module);
    return PyBool_FromLong(PyObject_TypeCheck(client, type) && reinterpret_cast<Quotra*>(client)->vtab == &quiet_table);
}

Quotra* client_of(PyObject* module, PyObject* client, const char* fn) {
    PyTypeObject* type = qt::client_type_of(module);
    if (!PyObject_TypeCheck(client, type)) {
        PyErr_Format(PyExc_TypeError, "%s() needs a quotra.quotra.Quotra client, not %.200s", fn,
                     Py_TYPE(client)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<Quotra*>(client);
}

// The client's stop event, which a quiet client's end sets.
PyObject* stop_event(PyObject* module, PyObject* client) {
    Quotra* q = client_of(module, client, "stop_event");
    return q ? Py_NewRef(q->stop_event) : nullptr;
}

// The transport of the client's latest connection, or None.
PyObject* transport(PyObject* module, PyObject* client) {
    Quotra* q = client_of(module, client, "transport");
    return q ? Py_NewRef(q->transport) : nullptr;
}

// Sets one of the client's unpickled object fields (sink, tls_context) to
// `value`, None or what `accept` lets through.
PyObject* set_client_field(PyObject* module, PyObject* const* args, Py_ssize_t nargs, const char* fn,
                           PyObject* Quotra::* field, int (*accept)(PyObject*), const char* what) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 arguments (%zd given)", fn, nargs);
        return nullptr;
    }
    Quotra* q = client_of(module, args[0], fn);
    if (!q) return nullptr;
    if (args[1] != Py_None && !accept(args[1])) {
        PyErr_Format(PyExc_TypeError, "%s() takes %s or None, not %.200s", fn, what, Py_TYPE(args[1])->tp_name);
        return nullptr;
    }
    Py_SETREF(q->*field, Py_NewRef(args[1]));
    Py_RETURN_NONE;
}

int is_callable(PyObject* o) { return PyCallable_Check(o); }
int any_object(PyObject*) { return 1; }

// set_sink(client, sink): the client hands each quote's dict to sink(dict)
// in place of its message callback, with no task; None undoes it.
PyObject* set_sink(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return set_client_field(module, args, nargs, "set_sink", &Quotra::sink, is_callable, "a callable");
}

// set_tls_context(client, context): every connection attempt of the client
// uses `context` in place of a new ssl.create_default_context(); None undoes it.
PyObject* set_tls_context(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return set_client_field(module, args, nargs, "set_tls_context", &Quotra::tls_context, any_object,
                            "an ssl.SSLContext");
}

int module_exec(PyObject* module) {
    if (qt::hold_client_type(module, "quotra._quiet") < 0) return -1;
    if (add_feed_buffer_type(module) < 0) return -1;
    PyTypeObject* t = qt::client_type_of(module);
    if (!table_ready) {
        PyObject* cap = PyDict_GetItemString(t->tp_dict, "__pyx_vtable__");  // borrowed
        void* table = cap && PyCapsule_CheckExact(cap) ? PyCapsule_GetPointer(cap, nullptr) : nullptr;
        if (!table) {
            PyErr_Clear();  // the module's state releases the type it holds
            PyErr_SetString(PyExc_ImportError, "quotra._quiet: quotra.quotra.Quotra publishes no native table");
            return -1;
        }
        std::memcpy(&quiet_table, table, sizeof quiet_table);
        quiet_table.add_signal_handler = no_signal_handlers;
        quiet_table.initiate_shutdown = quiet_end;
        table_ready = true;
    }
    return 0;
}

PyMethodDef module_methods[] = {
    {"quiet_client", quiet_client, METH_O,
     "quiet_client($module, loop, /)\n--\n\nA new client on loop that installs no signal handlers and whose end\n"
     "neither cancels the loop's tasks nor stops it: it sets the client's stop event."},
    {"stop_event", stop_event, METH_O, "stop_event($module, client, /)\n--\n\nThe client's stop event."},
    {"transport", transport, METH_O,
     "transport($module, client, /)\n--\n\nThe transport of the client's latest connection, or None."},
    {"set_sink", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_sink)), METH_FASTCALL,
     "set_sink($module, client, sink, /)\n--\n\nThe client hands each quote to sink(quote), with no task."},
    {"set_tls_context", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_tls_context)), METH_FASTCALL,
     "set_tls_context($module, client, context, /)\n--\n\nThe TLS context of the client's connections."},
    {"is_quiet", is_quiet, METH_O, "is_quiet($module, client, /)\n--\n\nWhether client was made by quiet_client()."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quotra._quiet",
    "Clients that end without cancelling the loop's tasks; use quotra.feed.",
    sizeof(qt::ClientTypeState),
    module_methods,
    module_slots,
    qt::client_type_traverse,
    qt::client_type_clear,
    qt::client_type_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__quiet() { return PyModuleDef_Init(&module_def); }
