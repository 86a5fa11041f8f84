// The module's function type: what every method and nested function in the
// module is. Behaves like a Python function: binds `self` through __get__,
// carries __module__/__name__/__qualname__/__doc__/__defaults__/
// __kwdefaults__/__annotations__/__type_params__/__dict__ (so functools.wraps
// works on it), gives inspect.signature() its real parameters, and is called
// through vectorcall.
#pragma once

#include "pyref.hpp"

namespace qt {

// Receives the bound arguments: `params` holds one borrowed pointer per named
// parameter (defaults already applied); `varargs` is the tuple of extra
// positional arguments (only when the function takes *args) and `varkw` a new
// dict of extra keywords (only when it takes **kwargs), else nullptr. All are
// borrowed for the call; `varkw` is a dict no one else holds, so the impl may
// keep it by taking a reference. Returns a new reference, or nullptr with an
// exception set.
using NativeImpl = PyObject* (*)(PyObject* func, PyObject* const* params, PyObject* varargs, PyObject* varkw);

struct FunctionDef {
    const char* name = nullptr;
    const char* qualname = nullptr;
    const char* const* params = nullptr;  // positional-or-keyword parameter names, nullptr-terminated
    bool varargs = false;                 // takes *args (named "args")
    bool varkw = false;                   // takes **kwargs (named "kwargs")
    bool coroutine = false;               // a coroutine function: carries the markers inspect/asyncio look for
    NativeImpl impl = nullptr;
    const char* doc = nullptr;
};

// Parameter lists many functions share.
inline constexpr const char* no_params[] = {nullptr};
inline constexpr const char* self_params[] = {"self", nullptr};

extern PyTypeObject FunctionType;

// Readies FunctionType; call once at module execution.
int function_type_ready();

// A new function object. `closure` (may be nullptr) is kept alive and visited by
// the GC; `defaults` a tuple or nullptr; `annotations` a dict or nullptr (an
// empty dict is made). __module__ is "quotra.quotra".
Ref function_new(const FunctionDef* def, PyObject* closure = nullptr, PyObject* defaults = nullptr,
                 PyObject* annotations = nullptr);

// Borrowed: the closure object given at creation (nullptr if none).
PyObject* function_closure(PyObject* func) noexcept;

}  // namespace qt
