// Small RAII helpers for the CPython C API: an owning reference, a Py_buffer
// guard and a scoped release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
    Py_XINCREF(o);
    return o;
}
#endif

namespace vesk::py {

// Move-only owner of one strong reference. No implicit conversions: a raw
// pointer becomes a Ref only through steal() or borrow().
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(o_, std::exchange(other.o_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }

    PyObject* get() const noexcept { return o_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(o_, nullptr); }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : o_(o) {}
    PyObject* o_ = nullptr;
};

// Releases a Py_buffer exactly once.
class BufferGuard {
public:
    BufferGuard() = default;
    BufferGuard(const BufferGuard&) = delete;
    BufferGuard& operator=(const BufferGuard&) = delete;
    ~BufferGuard() { release(); }
    // Returns false with a Python error set when the object refuses the buffer.
    bool acquire(PyObject* obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }
    void release() {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    Py_buffer& view() { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Lets other threads run while core code that touches no Python object works.
// Restores the lock on every way out, exceptions included.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

} // namespace vesk::py
