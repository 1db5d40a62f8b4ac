// Import-time compatibility checks: the interpreter's version, NumPy's array
// interface table, and the object sizes of the interpreter and NumPy types.
//
// The module is built for one binary interface of NumPy, that of the 1.x
// series (ABI version 0x1000009, feature version 0x10 or later: the 1.23 API
// target). Its figures are fixed below rather than read from NumPy's headers,
// so that the build needs no NumPy at all; the interpreter's own type size
// still comes from the headers of the interpreter being built for.
#include "binding/python_compat.hpp"

#include <cstddef>

#include "binding/owned_ref.hpp"
#include "binding/texts.hpp"
#include "module/compat_checks.hpp"
#include "module/version_text.hpp"

namespace zelvane {

namespace {

// ---- NumPy's binary interface ---------------------------------------------

// The binary interface the module is built for, as the table reports it.
constexpr unsigned int numpy_abi_version = 0x1000009;
// The oldest feature version (API level) whose functions and layouts are used.
constexpr unsigned int numpy_feature_version = 0x10;
// The table's code for a little-endian processor.
constexpr int numpy_little_endian = 1;

// ---- Process-wide state ----------------------------------------------------

// NumPy's array interface table, as found at the last successful attachment.
void** numpy_array_api = nullptr;

// Positions in the array interface table of the three queries made here.
constexpr std::size_t slot_abi_version = 0;       // PyArray_GetNDArrayCVersion
constexpr std::size_t slot_endianness = 210;      // PyArray_GetEndianness
constexpr std::size_t slot_feature_version = 211; // PyArray_GetNDArrayCFeatureVersion

enum class size_mode { warn, ignore };

struct type_row {
    const char* name;
    Py_ssize_t size;
    size_mode mode;
};

template <class T>
constexpr Py_ssize_t size_of = static_cast<Py_ssize_t>(sizeof(T));

constexpr const char builtins_name[] = "builtins";
constexpr const char numpy_name[] = "numpy";

constexpr type_row builtins_rows[] = {
    {"type", size_of<PyHeapTypeObject>, size_mode::warn},
};

// The sizes, on x86-64, of NumPy's object structures in that interface
// (PyArray_Descr, PyArrayIterObject, PyArrayMultiIterObject, the fields of an
// array, PyUFuncObject). The abstract scalar types have no fields of their
// own: a bare object header.
constexpr Py_ssize_t numpy_scalar_size = 16;
constexpr type_row numpy_rows[] = {
    {"dtype", 96, size_mode::ignore},
    {"flatiter", 2632, size_mode::ignore},
    {"broadcast", 560, size_mode::ignore},
    {"ndarray", 96, size_mode::ignore},
    {"generic", numpy_scalar_size, size_mode::warn},
    {"number", numpy_scalar_size, size_mode::warn},
    {"integer", numpy_scalar_size, size_mode::warn},
    {"signedinteger", numpy_scalar_size, size_mode::warn},
    {"unsignedinteger", numpy_scalar_size, size_mode::warn},
    {"inexact", numpy_scalar_size, size_mode::warn},
    {"floating", numpy_scalar_size, size_mode::warn},
    {"complexfloating", numpy_scalar_size, size_mode::warn},
    {"flexible", numpy_scalar_size, size_mode::warn},
    {"character", numpy_scalar_size, size_mode::warn},
    {"ufunc", 232, size_mode::ignore},
};
static_assert(sizeof(PyObject) == numpy_scalar_size, "a 64-bit object header");

constexpr std::size_t builtins_row_count = sizeof builtins_rows / sizeof builtins_rows[0];
constexpr std::size_t numpy_row_count = sizeof numpy_rows / sizeof numpy_rows[0];

// Strong references to the type objects that passed, builtins first, in the
// order of the rows. A later import replaces them.
PyObject* checked_types[builtins_row_count + numpy_row_count] = {};

// ---- Array interface -------------------------------------------------------

using unsigned_query = unsigned int (*)();
using int_query = int (*)();

template <class Query>
Query table_query(void** table, std::size_t slot) noexcept {
    return reinterpret_cast<Query>(table[slot]);
}

// The table inside NumPy's capsule, or null with an exception possibly set.
void** find_array_api_table() noexcept {
    const owned_ref multiarray(PyImport_ImportModule("numpy.core._multiarray_umath"));
    if (!multiarray) return nullptr;
    const owned_ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    // A subclass of the capsule type is not NumPy's capsule.
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) return nullptr;
    return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
}

// The table's own report of its versions and of the byte order, queried in
// that order: a table of another ABI may not have the later slots at all.
bool table_is_compatible(void** table) noexcept {
    const auto abi_version = table_query<unsigned_query>(table, slot_abi_version);
    if (abi_version == nullptr || abi_version() != numpy_abi_version) return false;
    const auto feature_version = table_query<unsigned_query>(table, slot_feature_version);
    if (feature_version == nullptr || feature_version() < numpy_feature_version) return false;
    const auto endianness = table_query<int_query>(table, slot_endianness);
    return endianness != nullptr && endianness() == numpy_little_endian;
}

// ---- Type sizes ------------------------------------------------------------

// Tests one row against attribute row.name of `module`; on success the type
// object replaces whatever `stored` held.
int check_type_row(PyObject* module, const char* module_name, const type_row& row,
                   PyObject*& stored) noexcept {
    owned_ref value(PyObject_GetAttrString(module, row.name));
    if (!value) return -1;
    if (!PyType_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, texts::not_a_type, module_name, row.name);
        return -1;
    }
    const auto* type = reinterpret_cast<PyTypeObject*>(value.get());
    const Py_ssize_t basic = type->tp_basicsize;
    Py_ssize_t item = type->tp_itemsize;
    if (item != 0 && item < 8) item = 8;
    if (row.size > basic + item) {
        PyErr_Format(PyExc_ValueError, texts::size_too_small, module_name, row.name, row.size,
                     basic + item);
        return -1;
    }
    if (row.mode == size_mode::warn && row.size < basic) {
        version::warning_text message;
        version::format_size_grew(message, module_name, row.name, row.size, basic);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) return -1;
    }
    Py_XSETREF(stored, value.release());
    return 0;
}

// Imports `module_name` once and tests `count` rows against it, storing the
// type objects from `stored` on.
int check_module_types(const char* module_name, const type_row* rows, std::size_t count,
                       PyObject** stored) noexcept {
    const owned_ref module(PyImport_ImportModule(module_name));
    if (!module) return -1;
    for (std::size_t k = 0; k < count; ++k) {
        if (check_type_row(module.get(), module_name, rows[k], stored[k]) < 0) return -1;
    }
    return 0;
}

}  // namespace

int check_interpreter_version() noexcept {
    const version::packed running = version::parse(Py_GetVersion());
    if (version::same_major_minor(running, version::pack(PY_MAJOR_VERSION, PY_MINOR_VERSION))) {
        return 0;
    }
    version::warning_text message;
    version::format_version_mismatch(message, PY_MAJOR_VERSION, PY_MINOR_VERSION,
                                     texts::module_qualified_name, version::major_of(running),
                                     version::minor_of(running));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0 ? -1 : 0;
}

int attach_numpy_array_api() noexcept {
    void** table = find_array_api_table();
    if (table == nullptr || !table_is_compatible(table)) {
        // Whatever went wrong, the importer sees this one ImportError alone.
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, texts::numpy_import_failed);
        return -1;
    }
    numpy_array_api = table;
    return 0;
}

int check_type_sizes() noexcept {
    if (check_module_types(builtins_name, builtins_rows, builtins_row_count, checked_types) < 0) {
        return -1;
    }
    return check_module_types(numpy_name, numpy_rows, numpy_row_count,
                              checked_types + builtins_row_count);
}

}  // namespace zelvane
