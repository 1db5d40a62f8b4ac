// Argument binding. Keyword names are matched first by identity (the
// interpreter interns the names written in calls, and ours are interned too),
// then by equality, so the common call costs a few pointer comparisons.
#include "binding/arguments.hpp"

#include "binding/texts.hpp"

namespace zelvane {

namespace {

PyObject* parameter_names[parameter_count];

int count_error(const char* function_name, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, texts::count_error, function_name, "exactly", parameter_count,
                 "s", given);
    return -1;
}

// Position in kwnames of the keyword that names `parameter`, -1 when none
// does, -2 when a comparison raised.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* parameter) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == parameter) return k;
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        if (name == Py_None) continue;
        if (PyUnicode_CheckExact(name)) {
            if (PyUnicode_Compare(name, parameter) == 0) return k;
            continue;
        }
        const int equal = PyObject_RichCompareBool(name, parameter, Py_EQ);
        if (equal < 0) return -2;
        if (equal > 0) return k;
    }
    return -1;
}

// Whether the string `name` spells the parameter at `index`.
bool names_parameter(PyObject* name, Py_ssize_t index) noexcept {
    PyObject* parameter = parameter_names[index];
    if (name == parameter) return true;
    return PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(parameter) &&
           PyUnicode_Compare(name, parameter) == 0;
}

// Called when some keywords were left over after binding: reports the first
// one that is not a string, names a parameter already bound by position, or
// names no parameter at all.
int check_leftover_keywords(const char* function_name, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, texts::keywords_not_strings_named, function_name);
            return -1;
        }
        bool keyword_parameter = false;
        for (Py_ssize_t index = nargs; index < parameter_count && !keyword_parameter; ++index) {
            keyword_parameter = names_parameter(name, index);
        }
        if (keyword_parameter) continue;
        for (Py_ssize_t index = 0; index < nargs; ++index) {
            if (names_parameter(name, index)) {
                PyErr_Format(PyExc_TypeError, texts::multiple_values, function_name, name);
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, texts::unexpected_keyword, function_name, name);
        return -1;
    }
    return 0;
}

}  // namespace

int prepare_parameter_names() noexcept {
    const char* const spellings[parameter_count] = {texts::param_center, texts::param_gap,
                                                    texts::param_prob};
    for (Py_ssize_t index = 0; index < parameter_count; ++index) {
        PyObject* name = PyUnicode_InternFromString(spellings[index]);
        if (name == nullptr) return -1;
        Py_XSETREF(parameter_names[index], name);
    }
    return 0;
}

int bind_arguments(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject* bound[parameter_count]) noexcept {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > parameter_count) return count_error(function_name, nargs);
    if (nkw == 0 && nargs < parameter_count) return count_error(function_name, nargs);

    for (Py_ssize_t index = 0; index < nargs; ++index) bound[index] = args[index];
    Py_ssize_t used = 0;
    for (Py_ssize_t index = nargs; index < parameter_count; ++index) {
        const Py_ssize_t k = find_keyword(kwnames, parameter_names[index]);
        if (k == -2) return -1;
        if (k == -1) return count_error(function_name, index);
        bound[index] = args[nargs + k];
        ++used;
    }
    if (nkw > used) return check_leftover_keywords(function_name, nargs, kwnames);
    return 0;
}

}  // namespace zelvane
