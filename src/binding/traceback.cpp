// Traceback entries. The empty code objects behind them are made once per
// (function, line) and kept for the life of the process: the set of places
// that can fail is small and fixed.
#include "binding/traceback.hpp"

#include "binding/owned_ref.hpp"
#include "binding/texts.hpp"
#include "module/module_state.hpp"

namespace zelvane {

namespace {

struct cached_code {
    const char* qualified_name;
    int line;
    PyCodeObject* code;
};

// More than every failing place of the module, so the cache never fills;
// if it ever did, entries would simply be made afresh.
cached_code code_cache[32];

PyCodeObject* code_for(const char* qualified_name, int line) noexcept {
    for (cached_code& entry : code_cache) {
        if (entry.code == nullptr) {
            entry.code = PyCode_NewEmpty(texts::file_name, qualified_name, line);
            if (entry.code == nullptr) return nullptr;
            entry.qualified_name = qualified_name;
            entry.line = line;
            Py_INCREF(entry.code);
            return entry.code;
        }
        if (entry.qualified_name == qualified_name && entry.line == line) {
            Py_INCREF(entry.code);
            return entry.code;
        }
    }
    return PyCode_NewEmpty(texts::file_name, qualified_name, line);
}

}  // namespace

void add_traceback_entry(const char* qualified_name, int line) noexcept {
    PyObject* globals = state::module_namespace;
    if (globals == nullptr) return;  // nothing is entered before execution has a namespace

    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    owned_ref code(reinterpret_cast<PyObject*>(code_for(qualified_name, line)));
    if (!code) {
        // The failure to make the entry replaces the exception it was for.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);

    owned_ref frame(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    if (!frame) return;
    auto* raw_frame = reinterpret_cast<PyFrameObject*>(frame.get());
    py::set_frame_line(raw_frame, line);
    PyTraceBack_Here(raw_frame);
}

}  // namespace zelvane
