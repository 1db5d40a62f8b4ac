// The interpreter's C API as this module uses it, with the differences
// between interpreter versions 3.8 to 3.13 kept behind small helpers here
// rather than spread through the code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

// Module slots of a module that keeps no state, where the interpreter has
// them: it may be loaded into interpreters with a lock of their own (3.12 on)
// and needs no global interpreter lock (3.13 on). Each expands to a slot and
// its comma, or to nothing.
#ifdef Py_mod_multiple_interpreters
#define ZELVANE_SLOT_PER_INTERPRETER_GIL \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define ZELVANE_SLOT_PER_INTERPRETER_GIL
#endif
#ifdef Py_mod_gil
#define ZELVANE_SLOT_GIL_NOT_USED {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define ZELVANE_SLOT_GIL_NOT_USED
#endif

namespace zelvane::py {

#if PY_VERSION_HEX >= 0x03090000
inline constexpr unsigned long tpflags_have_vectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
#else
inline constexpr unsigned long tpflags_have_vectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

inline PyObject* new_ref(PyObject* object) noexcept {
    Py_INCREF(object);
    return object;
}

// Identity of the interpreter that runs the calling thread; -1 with an
// exception set on failure.
inline std::int64_t current_interpreter_id() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
#else
    PyInterpreterState* interpreter = PyThreadState_Get()->interp;
#endif
    return PyInterpreterState_GetID(interpreter);
}

// Makes a frame report `line` as its current line. From 3.11 on a frame's
// line comes from its code object's line table, and an empty code object
// made for `line` already maps its only instruction there.
inline void set_frame_line(PyFrameObject* frame, int line) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

}  // namespace zelvane::py
