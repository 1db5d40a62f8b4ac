// An owned (strong) reference to an interpreter object: takes over the
// reference it is given, drops it when it goes out of scope, and hands it on
// with release(). Used wherever a function holds temporaries so that every
// error path can simply return.
#pragma once

#include "binding/python_compat.hpp"

namespace zelvane {

class owned_ref {
public:
    owned_ref() noexcept = default;
    explicit owned_ref(PyObject* object) noexcept : object_(object) {}
    owned_ref(const owned_ref&) = delete;
    owned_ref& operator=(const owned_ref&) = delete;
    owned_ref(owned_ref&& other) noexcept : object_(other.release()) {}
    owned_ref& operator=(owned_ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~owned_ref() { Py_XDECREF(object_); }

    static owned_ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return owned_ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(PyObject* object = nullptr) noexcept {
        PyObject* old = object_;
        object_ = object;
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

// Sets the pending exception aside for the lifetime of the scope and restores
// it afterwards, so that clean-up code can call into the interpreter.
class pending_exception_guard {
public:
    pending_exception_guard() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    pending_exception_guard(const pending_exception_guard&) = delete;
    pending_exception_guard& operator=(const pending_exception_guard&) = delete;
    ~pending_exception_guard() {
        if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Releases the interpreter lock for the scope and takes it back on every path
// out of it; reacquire() takes it back early.
class released_interpreter_lock {
public:
    released_interpreter_lock() noexcept : saved_(PyEval_SaveThread()) {}
    released_interpreter_lock(const released_interpreter_lock&) = delete;
    released_interpreter_lock& operator=(const released_interpreter_lock&) = delete;
    ~released_interpreter_lock() { reacquire(); }
    void reacquire() noexcept {
        if (saved_ != nullptr) {
            PyEval_RestoreThread(saved_);
            saved_ = nullptr;
        }
    }

private:
    PyThreadState* saved_;
};

}  // namespace zelvane
