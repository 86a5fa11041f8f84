// Between the native coroutine's stepping engine (native_coroutine.cpp) and
// its Python type (coroutine_type.cpp): the states and the steps the type's
// slots and methods drive.
#pragma once

#include "native_coroutine.hpp"

namespace qt {

enum : int { CORO_CREATED = 0, CORO_SUSPENDED = 1, CORO_RUNNING = 2, CORO_FINISHED = 3 };

inline Coroutine* as_coro(PyObject* o) noexcept { return reinterpret_cast<Coroutine*>(o); }
inline bool is_coro(PyObject* o) noexcept { return Py_IS_TYPE(o, &CoroutineType); }

// Each step returns what PyIter_Send would: a value yielded (PYGEN_NEXT), the
// coroutine's result (PYGEN_RETURN) or an error set (PYGEN_ERROR).
PySendResult coro_send_ex(Coroutine* co, PyObject* value, PyObject** out) noexcept;
PySendResult coro_throw_ex(Coroutine* co, PyObject* exc, PyObject** out) noexcept;  // steals exc
PyObject* coro_close_ex(Coroutine* co) noexcept;

// The exception throw(typ[, val[, tb]]) raises, as a new reference.
PyObject* exception_from_args(PyObject* typ, PyObject* val, PyObject* tb) noexcept;
void set_stop_iteration(PyObject* value) noexcept;

// Ends the C++ frame without running it further, then drops what the body
// kept for Python.
void destroy_frame(Coroutine* co) noexcept;
void release_body_state(Coroutine* co) noexcept;

}  // namespace qt
