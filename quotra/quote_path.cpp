// The per-quote path: a text frame's payload becomes the dict handed to the
// user's message callback, or the exception handed to the error callback.
// It runs for every quote, so it takes nothing from the module dictionary
// that it does not need and calls through vectorcall.
#include "client.hpp"
#include "support.hpp"

namespace qt {

namespace {

// A function of a plain module, as attribute lookup would return it: for names
// the module type itself does not define, that is the module dictionary's
// entry, and reading it directly saves the generic lookup on every quote.
Ref module_function(PyObject* mod, PyObject* name) {
    if (PyModule_CheckExact(mod)) {
        PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(mod), name);  // borrowed
        if (v) return newref(v);
        if (PyErr_Occurred()) raise();
    }
    return getattr(mod, name);
}

}  // namespace

// JSON, then base64, then the price message, then the user's callback.
int vt_on_data_callback(Quotra* self, PyObject* payload) {
    return boundary<int>(-1, [&]() -> int {
        Ref data;
        {
            Ref orjson = global(S(orjson));
            Ref loads = module_function(orjson.get(), S(loads));
            data = call(loads.get(), payload);
        }
        if (data.get() != Py_None && !PyDict_CheckExact(data.get())) {
            type_error("Expected %s, got %.200s", "dict", Py_TYPE(data.get())->tp_name);
        }
        Ref pricetape = newref(self->pricetape);
        try {
            {
                Ref parse = getattr(pricetape.get(), S(ParseFromString));
                Ref base64 = global(S(base64));
                Ref b64decode = module_function(base64.get(), S(b64decode));
                if (data.get() == Py_None) type_error("'NoneType' object is not subscriptable");
                PyObject* text = dict_item(data.get(), S(message));  // borrowed
                Ref text_ref = newref(text);
                bool plain = b64decode.get() == state.b64decode && (PyUnicode_CheckExact(text) || PyBytes_CheckExact(text));
                Ref raw = call(plain ? state.a2b_base64 : b64decode.get(), text);
                call_kw(parse.get(), 0, state.kw_data, raw.get());
            }
            {
                Ref loop = newref(self->loop);
                Ref create = getattr(loop.get(), S(create_task));
                Ref as_dict = call_method(pricetape.get(), S(SerializeToDict));
                Ref cb = newref(self->message_callback);
                Ref coro = call(cb.get(), as_dict.get());
                call(create.get(), coro.get());
            }
        } catch (const PyError&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            Ref err_cb = newref(self->error_callback);
            if (truthy(err_cb.get())) {
                Ref loop = newref(self->loop);
                schedule(loop.get(), err_cb.get(), exc.get());
            }
        }
        return 0;
    });
}

}  // namespace qt
