// The module zelvane.bake: its definition, the creation and execution steps
// of its multi-phase initialisation, and the process-wide state they fill.
//
// All state is process-wide, so the module can be loaded into one interpreter
// per process only, and only once: importing it again (after it was removed
// from sys.modules) or reloading it gives back the same module object.
#include <cstdint>

#include "binding/arguments.hpp"
#include "binding/function_type.hpp"
#include "binding/owned_ref.hpp"
#include "binding/scratch.hpp"
#include "binding/texts.hpp"
#include "binding/traceback.hpp"
#include "module/compat_checks.hpp"
#include "module/module_state.hpp"
#include "solvers/solvers.hpp"

namespace zelvane {

namespace state {
PyObject* module_object = nullptr;
PyObject* module_namespace = nullptr;
PyObject* builtins_module = nullptr;
}  // namespace state

namespace {

std::int64_t main_interpreter_id = -1;
PyObject* fitgapmass_code = nullptr;
PyObject* fitgapmass_meh_code = nullptr;

}  // namespace

// ---- Global lookup at call time ---------------------------------------------

PyObject* lookup_global(PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(state::module_namespace, name);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(PyModule_GetDict(state::builtins_module), name);
        if (value == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, texts::name_not_defined, name);
        }
    }
    Py_XINCREF(value);
    return value;
}

namespace {

// ---- Creation ----------------------------------------------------------------

// Copies spec.<attribute> into the module's dictionary under `key`. A missing
// attribute is skipped; so is None when `skip_none`.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* attribute, const char* key,
                        bool skip_none) noexcept {
    owned_ref value(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    const std::int64_t interpreter = py::current_interpreter_id();
    if (main_interpreter_id == -1) {
        main_interpreter_id = interpreter;
        if (interpreter == -1) return nullptr;
    } else if (interpreter != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError, texts::interpreter_change);
        return nullptr;
    }
    if (state::module_object != nullptr) return py::new_ref(state::module_object);

    owned_ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    owned_ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (dict == nullptr) return nullptr;
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- Execution ---------------------------------------------------------------

// Module-level `import numpy`: an entry of sys.modules is used unless that
// module is still initialising; otherwise the package is imported.
PyObject* import_numpy(PyObject* globals) noexcept {
    owned_ref name(PyUnicode_FromString("numpy"));
    if (!name) return nullptr;
    owned_ref module(PyImport_GetModule(name.get()));
    if (module) {
        owned_ref spec(PyObject_GetAttrString(module.get(), "__spec__"));
        owned_ref initializing(spec ? PyObject_GetAttrString(spec.get(), "_initializing") : nullptr);
        const int busy = initializing ? PyObject_IsTrue(initializing.get()) : 0;
        PyErr_Clear();
        if (busy != 1) return module.release();
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    return PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, nullptr, 0);
}

// Makes a function object for `entry` and binds it in the namespace.
int bind_function(const function_entry& entry, PyObject* code, PyObject* module_name) noexcept {
    owned_ref qualname(PyUnicode_FromString(entry.name));
    if (!qualname) return -1;
    owned_ref function(
        new_function(entry, qualname.get(), module_name, state::module_namespace, code));
    if (!function) return -1;
    return PyDict_SetItem(state::module_namespace, qualname.get(), function.get());
}

// Execution steps from the attachment of NumPy's array interface on; a
// failure here is reported with an "init zelvane.bake" entry at `failed_line`.
int execute_steps(PyObject* module, int& failed_line) noexcept {
    failed_line = texts::line::module_init;
    if (attach_numpy_array_api() < 0) return -1;

    // Registration under the module's canonical name, whatever spec.name was.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = PyDict_GetItemString(modules, texts::module_qualified_name);
    if (registered == nullptr &&
        PyDict_SetItemString(modules, texts::module_qualified_name, module) < 0) {
        return -1;
    }

    PyObject* code = new_function_code(fitgapmass_entry);
    if (code == nullptr) return -1;
    Py_XSETREF(fitgapmass_code, code);
    code = new_function_code(fitgapmass_meh_entry);
    if (code == nullptr) return -1;
    Py_XSETREF(fitgapmass_meh_code, code);

    if (check_type_sizes() < 0) return -1;

    failed_line = texts::line::import_numpy;
    owned_ref numpy(import_numpy(state::module_namespace));
    if (!numpy || PyDict_SetItemString(state::module_namespace, "numpy", numpy.get()) < 0) {
        return -1;
    }

    owned_ref module_name(PyUnicode_FromString(texts::module_qualified_name));
    if (!module_name) return -1;
    failed_line = texts::line::fitgapmass;
    if (bind_function(fitgapmass_entry, fitgapmass_code, module_name.get()) < 0) return -1;
    failed_line = texts::line::fitgapmass_meh;
    if (bind_function(fitgapmass_meh_entry, fitgapmass_meh_code, module_name.get()) < 0) {
        return -1;
    }

    failed_line = texts::line::module_init;
    owned_ref tests(PyDict_New());
    if (!tests || PyDict_SetItemString(state::module_namespace, "__test__", tests.get()) < 0) {
        return -1;
    }
    return 0;
}

int execute_module(PyObject* module) noexcept {
    if (state::module_object != nullptr) {
        if (state::module_object == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, texts::reinitialisation);
        return -1;
    }
    state::module_object = py::new_ref(module);
    auto fail = [] {
        Py_CLEAR(state::module_object);
        return -1;
    };

    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) return fail();
    Py_INCREF(dict);
    Py_XSETREF(state::module_namespace, dict);

    PyObject* builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return fail();
    Py_XSETREF(state::builtins_module, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return fail();

    if (check_interpreter_version() < 0) return fail();
    if (prepare_parameter_names() < 0 || prepare_scratch_names() < 0 ||
        prepare_function_type() < 0) {
        return fail();
    }

    int failed_line = 0;
    if (execute_steps(module, failed_line) < 0) {
        add_traceback_entry(texts::init_entry_name, failed_line);
        return fail();
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    texts::module_name,
    nullptr,  // no docstring: __doc__ is None
    0,        // no per-module state: all state is process-wide
    nullptr,  // the functions are made and bound by execution
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zelvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_bake() {
    return PyModuleDef_Init(&zelvane::module_definition);
}
