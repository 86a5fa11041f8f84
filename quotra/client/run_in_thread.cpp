// run_in_thread: the decorator that runs the subscription bodies on worker
// threads of the loop's executor, and the hand-over of their sends back to the
// loop thread (picows transports refuse other threads).
#include <condition_variable>
#include <mutex>

#include "client.hpp"
#include "native_coroutine.hpp"
#include "support.hpp"

namespace qt {

namespace {

// A send handed from a worker thread to the transport's loop thread. The
// worker waits with the GIL released.
struct SendJob {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;       // guarded by mu
    bool abandoned = false;  // read and written with the GIL held
    PyObject* error = nullptr;  // owned; the exception the send raised
    ~SendJob() { Py_XDECREF(error); }
};

void send_job_capsule_free(PyObject* cap) { delete static_cast<SendJob*>(PyCapsule_GetPointer(cap, nullptr)); }

// closure: (capsule(SendJob), transport, msg_type int, payload)
PyObject* send_job_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    PyObject* closure = function_closure(func);  // borrowed
    auto* job = static_cast<SendJob*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(closure, 0), nullptr));
    if (!job || job->abandoned) Py_RETURN_NONE;
    auto* tr = reinterpret_cast<picows::WSTransport*>(PyTuple_GET_ITEM(closure, 1));
    auto mt = static_cast<picows::WSMsgType>(PyLong_AsLong(PyTuple_GET_ITEM(closure, 2)));
    PyObject* r = tr->vtab->send(tr, mt, PyTuple_GET_ITEM(closure, 3), 1, nullptr);
    if (r)
        Py_DECREF(r);
    else
        job->error = PyErr_GetRaisedException();
    {
        std::lock_guard<std::mutex> lk(job->mu);
        job->done = true;
    }
    job->cv.notify_all();
    Py_RETURN_NONE;
}

const FunctionDef send_job_def = {"_send_on_loop", "Quotra._send_on_loop", no_params, false, false,
                                  false,           send_job_impl};

bool loop_is_running(PyObject* loop) {
    Ref r = call_method(loop, S(is_running));
    return truthy(r.get());
}

// The job run on the worker thread; closure: (func, args tuple, kwargs dict).
PyObject* thread_job_impl(PyObject* func, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* closure = function_closure(func);  // borrowed
        Ref kwargs = own(PyDict_Copy(PyTuple_GET_ITEM(closure, 2)));
        return own(PyObject_Call(PyTuple_GET_ITEM(closure, 0), PyTuple_GET_ITEM(closure, 1), kwargs.get())).release();
    });
}
const FunctionDef thread_job_def = {
    "<lambda>",     "run_in_thread.<locals>.decorator.<locals>.wrapper.<locals>.<lambda>",
    no_params,      false,
    false,          false,
    thread_job_impl};

enum WrapperLocal : int { WR_FUNC, WR_ARGS, WR_KWARGS };

// Every body below builds its awaitable in a scope that closes before the
// await and hands it over to py_await: nothing the GC cannot see stays in the
// C++ frame across the suspension.
CoroBody wrapper_body(Coroutine* co) {
    Ref awaitable;
    {
        Ref asyncio = global(S(asyncio));
        Ref to_thread = getattr(asyncio.get(), S(to_thread));
        Ref closure = own(PyTuple_Pack(3, co->locals[WR_FUNC], co->locals[WR_ARGS], co->locals[WR_KWARGS]));
        Ref job = function_new(&thread_job_def, closure.get());
        awaitable = call(to_thread.get(), job.get());
    }
    co_return co_await py_await(std::move(awaitable));
}

PyObject* wrapper_impl(PyObject* func, PyObject* const*, PyObject* varargs, PyObject* varkw) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return coroutine_new(S(wrapper), S(qn_wrapper), {function_closure(func), varargs, varkw}, wrapper_body)
            .release();
    });
}
const FunctionDef wrapper_def = {
    "wrapper", "run_in_thread.<locals>.decorator.<locals>.wrapper", no_params, true, true, true, wrapper_impl};

PyObject* decorator_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* target = p[0];
        Ref wrapper = function_new(&wrapper_def, target);
        Ref wraps = global(S(wraps));
        Ref apply = call(wraps.get(), target);
        return call(apply.get(), wrapper.get()).release();
    });
}
const char* const decorator_params[] = {"func", nullptr};
const FunctionDef decorator_def = {
    "decorator", "run_in_thread.<locals>.decorator", decorator_params, false, false, false, decorator_impl};

PyObject* run_in_thread_impl(PyObject*, PyObject* const*, PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* { return function_new(&decorator_def).release(); });
}

}  // namespace

void transport_send(PyObject* transport, picows::WSMsgType mt, PyObject* payload) {
    auto* tr = reinterpret_cast<picows::WSTransport*>(transport);
    if (tr->thread_id == PyThread_get_thread_ident()) {
        own(tr->vtab->send(tr, mt, payload, 1, nullptr));
        return;
    }
    PyObject* loop = tr->loop;  // borrowed from the transport, which we hold
    if (!loop || loop == Py_None) runtime_error("the connection's event loop is gone; cannot send");
    Ref loop_ref = newref(loop);
    Ref closed = call_method(loop, S(is_closed));
    if (truthy(closed.get()) || !loop_is_running(loop)) {
        runtime_error("the client's event loop is not running; cannot send");
    }
    auto* job = new SendJob();
    Ref cap = Ref::steal(PyCapsule_New(job, nullptr, send_job_capsule_free));
    if (!cap) {
        delete job;
        raise();
    }
    Ref mt_obj = own(PyLong_FromLong(mt));
    Ref closure = own(PyTuple_Pack(4, cap.get(), transport, mt_obj.get(), payload));
    Ref fn = function_new(&send_job_def, closure.get());
    call_method(loop, S(call_soon_threadsafe), fn.get());
    for (;;) {
        bool finished;
        Py_BEGIN_ALLOW_THREADS {
            // The lock must be given up before the GIL is taken back: the loop
            // thread takes it, GIL held, to report the send.
            std::unique_lock<std::mutex> lk(job->mu);
            finished = job->cv.wait_for(lk, std::chrono::milliseconds(100), [&] { return job->done; });
        }
        Py_END_ALLOW_THREADS if (finished) break;
        // The loop may have stopped after taking the job; never wait forever.
        bool running = false;
        Ref c = call_method(loop, S(is_closed));
        if (!truthy(c.get())) running = loop_is_running(loop);
        if (!running) {
            std::lock_guard<std::mutex> lk(job->mu);
            if (job->done) break;
            job->abandoned = true;
            runtime_error("the client's event loop stopped before the message was sent");
        }
    }
    if (job->error) {
        PyErr_SetRaisedException(job->error);
        job->error = nullptr;
        raise();
    }
}

const FunctionDef run_in_thread_def = {"run_in_thread", "Quotra.run_in_thread", no_params, false, false,
                                       false,           run_in_thread_impl};

}  // namespace qt
