// Scratch vectors are made through the module global `numpy` on every call,
// so that rebinding it (or deleting it) changes what the solvers use.
#include "binding/scratch.hpp"

#include "binding/owned_ref.hpp"
#include "binding/texts.hpp"
#include "module/module_state.hpp"

namespace zelvane {

namespace {

PyObject* name_numpy;
PyObject* name_empty;
PyObject* name_float32;
PyObject* dtype_kwnames;  // ("dtype",)

int intern(PyObject*& slot, const char* text) noexcept {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) return -1;
    Py_XSETREF(slot, name);
    return 0;
}

// getattr(object, name). For an object that is exactly a module, the module
// type's own attributes come first in the generic lookup, and builtin types
// take no new attributes, so a name that the module type lacks ("empty",
// "float32") is found in the module's dictionary or not at all: a direct
// dictionary lookup gives the same object. Anything not found that way takes
// the full lookup, with the module's __getattr__ and its error message.
PyObject* get_attribute(PyObject* object, PyObject* name) noexcept {
    if (PyModule_CheckExact(object)) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(object), name);
        if (value != nullptr) return py::new_ref(value);
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(object, name);
}

}  // namespace

int prepare_scratch_names() noexcept {
    if (intern(name_numpy, "numpy") < 0 || intern(name_empty, "empty") < 0 ||
        intern(name_float32, "float32") < 0) {
        return -1;
    }
    PyObject* dtype = PyUnicode_InternFromString("dtype");
    if (dtype == nullptr) return -1;
    PyObject* kwnames = PyTuple_Pack(1, dtype);
    Py_DECREF(dtype);
    if (kwnames == nullptr) return -1;
    Py_XSETREF(dtype_kwnames, kwnames);
    return 0;
}

int make_scratch_vector(std::int64_t length, float32_view& view) noexcept {
    owned_ref numpy(lookup_global(name_numpy));
    if (!numpy) return -1;
    owned_ref empty(get_attribute(numpy.get(), name_empty));
    if (!empty) return -1;
    owned_ref count(PyLong_FromLongLong(length));
    if (!count) return -1;
    // `numpy` is looked up afresh for the dtype, as the expression
    // numpy.empty(k, dtype=numpy.float32) would.
    numpy.reset(lookup_global(name_numpy));
    if (!numpy) return -1;
    owned_ref float32(get_attribute(numpy.get(), name_float32));
    if (!float32) return -1;

    PyObject* const args[] = {count.get(), float32.get()};
    owned_ref array(py::vectorcall(empty.get(), args, 1, dtype_kwnames));
    if (!array) return -1;
    if (acquire_float32_view(array.get(), view) < 0) return -1;
    // The kernels index scratch vectors by the lengths they asked for, so a
    // replacement `numpy` that hands back another length is refused here.
    if (view.size() != length) {
        PyErr_Format(PyExc_ValueError, texts::scratch_length, static_cast<long long>(length),
                     static_cast<long long>(view.size()), view.size() == 1 ? "" : "s");
        view.release();
        return -1;
    }
    return 0;
}

}  // namespace zelvane
