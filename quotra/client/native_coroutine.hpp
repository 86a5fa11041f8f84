// One native coroutine type serves every coroutine function of the module.
// A body is a C++20 coroutine returning CoroBody; inside it
//     Ref value = co_await py_await(awaitable);
// delegates to a Python awaitable like `yield from` (values sent in go to its
// iterator, what it yields goes out, throw()/close() are forwarded, its return
// value resumes the body); when the awaitable raises, the co_await throws
// PyError with the Python exception still set. `co_return ref;` ends the body
// with that result (a null Ref means None); a PyError escaping the body becomes
// the coroutine's exception (StopIteration turned into RuntimeError).
//
// Python references that live across a suspension belong in the coroutine's
// GC-visible `locals`, never only in C++ frame variables.
#pragma once

#include <coroutine>
#include <initializer_list>
#include <exception>

#include "pyref.hpp"

namespace qt {

struct Coroutine;

class CoroBody {
public:
    struct promise_type {
        Coroutine* owner = nullptr;  // borrowed: the object owns the frame
        Ref result;
        bool failed = false;
        CoroBody get_return_object() noexcept;
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref r) noexcept { result = std::move(r); }
        void unhandled_exception() noexcept;
    };
    using handle = std::coroutine_handle<promise_type>;
    explicit CoroBody(handle h) noexcept : h_(h) {}
    CoroBody(CoroBody&& o) noexcept : h_(o.h_) { o.h_ = {}; }
    CoroBody(const CoroBody&) = delete;
    ~CoroBody() {
        if (h_) h_.destroy();
    }
    handle release() noexcept {
        handle h = h_;
        h_ = {};
        return h;
    }

private:
    handle h_;
};

inline constexpr int CORO_LOCALS = 6;

// A Python object: made zeroed by tp_alloc, never by a constructor.
struct Coroutine {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject_HEAD
    CoroBody::handle body;
    PyObject* name;
    PyObject* qualname;
    PyObject* await_iter;  // the iterator the body is delegating to, or nullptr
    PyObject* locals[CORO_LOCALS];  // GC-visible body state; nullptr when unused
    PyObject* weakreflist;
    int state;  // not started, suspended, running, finished
    bool resume_with_error;
    PyObject* resume_value;  // owned: what the finished await returned, until the body takes it
};

// Awaiter for `co_await py_await(obj)`.
struct PyAwait {
    PyObject* awaitable;  // borrowed for the duration of the co_await expression
    Coroutine* owner = nullptr;
    Ref owned{};  // py_await(Ref): released as soon as the iterator is taken
    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) {
        owner = h.promise().owner;
        return begin();
    }
    Ref await_resume();
    bool begin();  // false: resume at once (an immediate result or error)
};
inline PyAwait py_await(PyObject* awaitable) noexcept { return PyAwait{awaitable}; }
// Takes the awaitable over, e.g. `co_await py_await(call(sleep, delay))`: the
// awaiter lives in the frame across the suspension, where the GC cannot see
// it, so it lets go of the awaitable once the iterator (GC-visible in
// `await_iter`) is taken.
inline PyAwait py_await(Ref awaitable) noexcept {
    PyObject* p = awaitable.get();
    return PyAwait{p, nullptr, std::move(awaitable)};
}

extern PyTypeObject CoroutineType;
int coroutine_type_ready();
// Registers CoroutineType with collections.abc.Coroutine (once per process);
// failures are reported as unraisable plus a RuntimeWarning, never raised.
void coroutine_register_abc() noexcept;

// A new coroutine object running `body`; `locals` are stored (new references)
// into locals[0..] before the body is created. The body runs only when the
// object is first sent to.
using BodyFactory = CoroBody (*)(Coroutine* co);
Ref coroutine_new(PyObject* name, PyObject* qualname, std::initializer_list<PyObject*> locals, BodyFactory body);

}  // namespace qt
