// The function type of the module. Its objects behave like plain Python
// functions as far as introspection goes (inspect.signature, help, pickle,
// binding to instances), while a call runs the module's own binding and
// conversion and then a solver.
#include "binding/function_type.hpp"

#include <cstddef>
#include <structmember.h>

#include "binding/arguments.hpp"
#include "binding/float32_view.hpp"
#include "binding/owned_ref.hpp"
#include "binding/texts.hpp"
#include "binding/traceback.hpp"

namespace zelvane {

namespace {

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const function_entry* entry;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* annotations;  // made on first access
    PyObject* dict;         // made on first access
    PyObject* weakrefs;
};

function_object* as_function(PyObject* object) noexcept {
    return reinterpret_cast<function_object*>(object);
}

// ---- Calls ---------------------------------------------------------------

// The three argument views of one call, released in argument order on every
// path out of the call.
struct argument_views {
    float32_view center, gap, prob;
    ~argument_views() {
        center.release();
        gap.release();
        prob.release();
    }
};

int bind_convert_and_solve(const function_entry& entry, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    PyObject* bound[parameter_count];
    if (bind_arguments(entry.name, args, nargs, kwnames, bound) < 0) return -1;
    argument_views views;
    if (acquire_float32_view(bound[0], views.center) < 0) return -1;
    if (acquire_float32_view(bound[1], views.gap) < 0) return -1;
    if (acquire_float32_view(bound[2], views.prob) < 0) return -1;
    return entry.solve(views.center.vector(), views.gap.vector(), views.prob.vector());
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    const function_entry& entry = *as_function(callable)->entry;
    if (bind_convert_and_solve(entry, args, PyVectorcall_NARGS(nargsf), kwnames) < 0) {
        add_traceback_entry(entry.traceback_name, entry.first_line);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The plain call slot: a tuple and a keyword mapping, turned into the vector
// form with the mapping's keys in the mapping's order.
PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = reinterpret_cast<PyTupleObject*>(args)->ob_item;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(callable, positional, static_cast<size_t>(nargs), nullptr);
    }
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    owned_ref kwnames(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    PyObject* small[8];
    PyObject** stack = nargs + nkw <= 8 ? small : PyMem_New(PyObject*, nargs + nkw);
    if (stack == nullptr) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = positional[i];
    Py_ssize_t position = 0, k = 0;
    PyObject *key, *value;
    bool all_strings = true;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        all_strings = all_strings && PyUnicode_Check(key);
        PyTuple_SET_ITEM(kwnames.get(), k, py::new_ref(key));
        stack[nargs + k] = value;
        ++k;
    }
    PyObject* result = nullptr;
    if (!all_strings) {
        PyErr_SetString(PyExc_TypeError, texts::keywords_not_strings);
    } else {
        result = function_vectorcall(callable, stack, static_cast<size_t>(nargs), kwnames.get());
    }
    if (stack != small) PyMem_Free(stack);
    return result;
}

// ---- Attributes ------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept { return py::new_ref(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return py::new_ref(as_function(self)->qualname);
}

int set_string(PyObject*& slot, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(slot, value);
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_string(as_function(self)->name, value, "__name__ must be set to a string object");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_string(as_function(self)->qualname, value,
                      "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) noexcept { return py::new_ref(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    PyObject* doc = value != nullptr ? value : Py_None;
    Py_INCREF(doc);
    Py_SETREF(as_function(self)->doc, doc);
    return 0;
}

PyObject* get_code(PyObject* self, void*) noexcept { return py::new_ref(as_function(self)->code); }
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) noexcept {
    function_object* function = as_function(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
        if (function->annotations == nullptr) return nullptr;
    }
    return py::new_ref(function->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(function_object, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(function_object, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled as a reference to the module global of the same qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return py::new_ref(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Lifecycle -------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    function_object* function = as_function(self);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->code);
    Py_VISIT(function->globals);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    function_object* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    function_object* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->code);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname,
                                static_cast<void*>(self));
}

// Stored as a class attribute, a function binds to instances like any other.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) return py::new_ref(self);
    return PyMethod_New(self, instance);
}

// Only the object header is initialised explicitly; every other slot starts
// zeroed and the ones in use are filled in below.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "zelvane.bake.function";
    type.tp_basicsize = sizeof(function_object);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(function_object, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = function_call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | py::tpflags_have_vectorcall |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_weaklistoffset = offsetof(function_object, weakrefs);
    type.tp_methods = function_methods;
    type.tp_members = function_members;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_descr_get;
    type.tp_dictoffset = offsetof(function_object, dict);
    return type;
}();
#pragma GCC diagnostic pop

}  // namespace

int prepare_function_type() noexcept { return PyType_Ready(&function_type); }

PyObject* new_function_code(const function_entry& entry) noexcept {
    owned_ref empty(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(texts::file_name, entry.name, entry.first_line)));
    if (!empty) return nullptr;
    owned_ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    owned_ref varnames(Py_BuildValue("(sss)", texts::param_center, texts::param_gap,
                                     texts::param_prob));
    if (!varnames) return nullptr;
    owned_ref changes(Py_BuildValue("{s:n,s:n,s:O}", "co_argcount", parameter_count,
                                    "co_nlocals", parameter_count, "co_varnames",
                                    varnames.get()));
    if (!changes) return nullptr;
    owned_ref no_args(PyTuple_New(0));
    if (!no_args) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), changes.get());
}

PyObject* new_function(const function_entry& entry, PyObject* qualname, PyObject* module_name,
                       PyObject* globals, PyObject* code) noexcept {
    owned_ref name(PyUnicode_FromString(entry.name));
    if (!name) return nullptr;
    owned_ref doc(PyUnicode_FromString(entry.doc));
    if (!doc) return nullptr;
    function_object* function = PyObject_GC_New(function_object, &function_type);
    if (function == nullptr) return nullptr;
    function->vectorcall = function_vectorcall;
    function->entry = &entry;
    function->name = name.release();
    function->qualname = py::new_ref(qualname);
    function->module = py::new_ref(module_name);
    function->doc = doc.release();
    function->code = py::new_ref(code);
    function->globals = py::new_ref(globals);
    function->annotations = nullptr;
    function->dict = nullptr;
    function->weakrefs = nullptr;
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

}  // namespace zelvane
