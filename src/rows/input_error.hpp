// zelvane.InputError raised from C++: the exception of zelvane._rows for bad
// arguments and for rows that it cannot fit, with the fields that the Python
// layer gives its own (problem, argument, index, row, value and named details;
// zelvane/_errors.py makes the message from them). The class is looked up in
// zelvane._errors at the moment of raising, so the module holds no reference
// of its own and keeps no state.
//
//     return input_error("negative").argument("gap").index(i).value(v).raise();
#pragma once

#include <cstdint>
#include <initializer_list>

#include "binding/owned_ref.hpp"
#include "binding/python_compat.hpp"

namespace zelvane::rows {

// The extents of an array of one or two dimensions: a shape in a message.
struct extents {
    int ndim;
    std::int64_t size[2];
};

class input_error {
public:
    explicit input_error(const char* problem) noexcept
        : problem_(problem), fields_(PyDict_New()) {}
    input_error(const input_error&) = delete;
    input_error& operator=(const input_error&) = delete;

    input_error& argument(const char* name) noexcept { return text("argument", name); }
    input_error& index(std::int64_t i) noexcept { return number("index", i); }
    input_error& row(std::int64_t r) noexcept { return number("row", r); }
    input_error& value(double v) noexcept { return real("value", v); }
    input_error& value(std::int64_t v) noexcept { return number("value", v); }
    // A value given as it was (an integer too large for std::int64_t, say).
    input_error& value(PyObject* v) noexcept {
        if (fields_) set("value", py::new_ref(v));
        return *this;
    }

    input_error& number(const char* name, std::int64_t v) noexcept {
        if (fields_) set(name, PyLong_FromLongLong(v));
        return *this;
    }
    input_error& real(const char* name, double v) noexcept {
        if (fields_) set(name, PyFloat_FromDouble(v));
        return *this;
    }
    input_error& text(const char* name, const char* v) noexcept {
        if (fields_) set(name, PyUnicode_FromString(v));
        return *this;
    }
    input_error& flag(const char* name, bool v) noexcept {
        if (fields_) set(name, py::new_ref(v ? Py_True : Py_False));
        return *this;
    }
    // A tuple of integers: a shape, or the allowed numbers of dimensions.
    input_error& shape(const char* name, const extents& e) noexcept {
        if (fields_) set(name, tuple_of(e));
        return *this;
    }
    // A tuple of shapes, any of which would do.
    input_error& shapes(const char* name, std::initializer_list<extents> choices) noexcept {
        if (!fields_) return *this;
        owned_ref all(PyTuple_New(static_cast<Py_ssize_t>(choices.size())));
        Py_ssize_t k = 0;
        for (const extents& e : choices) {
            PyObject* one = all ? tuple_of(e) : nullptr;
            if (one == nullptr) {
                all.reset(nullptr);
                break;
            }
            PyTuple_SET_ITEM(all.get(), k++, one);
        }
        set(name, all.release());
        return *this;
    }

    // Sets zelvane.InputError(problem, **fields) as the current exception (or
    // whatever error stopped that); returns -1 for the caller to pass on.
    int raise() noexcept {
        if (!fields_) return -1;
        const owned_ref module(PyImport_ImportModule("zelvane._errors"));
        if (!module) return -1;
        const owned_ref type(PyObject_GetAttrString(module.get(), "InputError"));
        if (!type) return -1;
        const owned_ref args(Py_BuildValue("(s)", problem_));
        if (!args) return -1;
        const owned_ref error(PyObject_Call(type.get(), args.get(), fields_.get()));
        if (!error) return -1;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        return -1;
    }

private:
    static PyObject* tuple_of(const extents& e) noexcept {
        return e.ndim == 1 ? Py_BuildValue("(L)", static_cast<long long>(e.size[0]))
                           : Py_BuildValue("(LL)", static_cast<long long>(e.size[0]),
                                           static_cast<long long>(e.size[1]));
    }

    // Takes `value` (a new reference, or null with an exception set); a
    // failure drops the fields, and raise() then passes that exception on.
    void set(const char* name, PyObject* value) noexcept {
        const owned_ref held(value);
        if (!held || PyDict_SetItemString(fields_.get(), name, held.get()) < 0) fields_.reset(nullptr);
    }

    const char* problem_;
    owned_ref fields_;
};

}  // namespace zelvane::rows
