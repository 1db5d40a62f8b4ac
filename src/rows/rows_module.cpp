// The module zelvane._rows: one function per fitting method, each fitting every
// row of a 2-D batch of masses on native threads with the interpreter lock
// released, on the same kernels as zelvane.bake.
//
// Arguments arrive through the buffer protocol, not NumPy's C API. The
// package's Python layer hands over C-contiguous arrays that it has already
// checked; a request for a C-contiguous export with its format gives this
// module the shape, the element type and the contiguity it needs, and holds
// the memory for the whole call while the lock is released. The module so
// depends on no part of NumPy's binary interface (nothing to import and check
// at load, unlike zelvane.bake), and it takes any exporter of such memory.
#include <cstring>

#include "binding/owned_ref.hpp"
#include "binding/python_compat.hpp"
#include "rows/row_batch.hpp"

namespace zelvane {

namespace {

// ---- Buffers -----------------------------------------------------------------

// One C-contiguous buffer acquisition, released exactly once.
class contiguous_buffer {
public:
    contiguous_buffer() noexcept = default;
    contiguous_buffer(const contiguous_buffer&) = delete;
    contiguous_buffer& operator=(const contiguous_buffer&) = delete;
    ~contiguous_buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Acquires `object`'s memory as C-contiguous elements of `item_size` bytes
    // (4: float32, 8: float64, native byte order) in 1 to `max_ndim`
    // dimensions. Returns 0, or -1 with an exception set.
    int acquire(PyObject* object, const char* name, std::size_t item_size, int max_ndim,
                bool writable) noexcept {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) < 0) return -1;
        held_ = true;
        const char* type = item_size == sizeof(float) ? "float32" : "float64";
        if (!is_native_float(view_.format, item_size) ||
            view_.itemsize != static_cast<Py_ssize_t>(item_size)) {
            PyErr_Format(PyExc_TypeError, "%s must hold %s, not items of format '%s'", name, type,
                         view_.format);
            return -1;
        }
        if (view_.ndim < 1 || view_.ndim > max_ndim) {
            PyErr_Format(PyExc_ValueError, "%s must be %s, not %d-D", name,
                         max_ndim == 1 ? "1-D" : "1-D or 2-D", view_.ndim);
            return -1;
        }
        return 0;
    }

    int ndim() const noexcept { return view_.ndim; }
    std::int64_t shape(int axis) const noexcept { return view_.shape[axis]; }
    char* data() const noexcept { return static_cast<char*>(view_.buf); }
    std::int64_t bytes() const noexcept { return view_.len; }

    bool overlaps(const contiguous_buffer& other) const noexcept {
        return bytes() > 0 && other.bytes() > 0 && data() < other.data() + other.bytes() &&
               other.data() < data() + bytes();
    }

private:
    static bool is_native_float(const char* format, std::size_t item_size) noexcept {
        if (format == nullptr) return false;  // unsigned bytes
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        return std::strcmp(format, item_size == sizeof(float) ? "f" : "d") == 0;
    }

    Py_buffer view_{};
    bool held_ = false;
};

// ---- The fit of a batch ------------------------------------------------------

int refuse_shape(const char* name, const char* rule, std::int64_t want_rows,
                 std::int64_t want_columns, const contiguous_buffer& got) noexcept {
    if (got.ndim() == 1) {
        PyErr_Format(PyExc_ValueError, "%s must %s (%lld, %lld), not (%lld,)", name, rule,
                     static_cast<long long>(want_rows), static_cast<long long>(want_columns),
                     static_cast<long long>(got.shape(0)));
    } else {
        PyErr_Format(PyExc_ValueError, "%s must %s (%lld, %lld), not (%lld, %lld)", name, rule,
                     static_cast<long long>(want_rows), static_cast<long long>(want_columns),
                     static_cast<long long>(got.shape(0)), static_cast<long long>(got.shape(1)));
    }
    return -1;
}

int read_workers(PyObject* object, std::int64_t& workers) noexcept {
    owned_ref index(PyNumber_Index(object));
    if (!index) return -1;
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) return -1;
    if (value < 0) {
        PyErr_Format(PyExc_ValueError, "workers must be 0 (one per core) or more, not %lld",
                     value);
        return -1;
    }
    workers = value;
    return 0;
}

int raise_failure(const rows::run_outcome& outcome) noexcept {
    switch (outcome.kind) {
        case rows::run_outcome::done:
            return 0;
        case rows::run_outcome::zero_width:
            PyErr_Format(PyExc_ZeroDivisionError,
                         "float division: row %lld has a zero width between its centres %lld "
                         "and %lld",
                         static_cast<long long>(outcome.row),
                         static_cast<long long>(outcome.position),
                         static_cast<long long>(outcome.position + 1));
            return -1;
        case rows::run_outcome::out_of_memory:
            PyErr_NoMemory();
            return -1;
        case rows::run_outcome::thread_failed:
            PyErr_Format(PyExc_RuntimeError, "cannot start %lld worker threads: %s",
                         static_cast<long long>(outcome.workers), std::strerror(outcome.error));
            return -1;
    }
    return 0;
}

// (center, gap, out, workers): checks what the kernels rely on (the Python
// layer has checked more), then runs the batch with the lock released.
PyObject* fit_batch(const rows::kernel_adapter& adapter, PyObject* const* args,
                    Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError,
                     "expected 4 arguments (center, gap, out, workers), got %zd", nargs);
        return nullptr;
    }
    contiguous_buffer center, gap, out;
    std::int64_t workers = 0;
    if (center.acquire(args[0], "center", sizeof(float), 2, false) < 0 ||
        gap.acquire(args[1], "gap", sizeof(float), 2, false) < 0 ||
        out.acquire(args[2], "out", adapter.out_item_size, 2, true) < 0 ||
        read_workers(args[3], workers) < 0) {
        return nullptr;
    }
    if (gap.ndim() != 2) {
        PyErr_Format(PyExc_ValueError, "gap must be 2-D, not %d-D", gap.ndim());
        return nullptr;
    }
    const std::int64_t rows = gap.shape(0), m = gap.shape(1);
    if (m < 1) {
        PyErr_Format(PyExc_ValueError, "gap must hold at least one mass per row, not %lld",
                     static_cast<long long>(m));
        return nullptr;
    }
    if (center.ndim() == 1 ? center.shape(0) != m + 1
                           : center.shape(0) != rows || center.shape(1) != m + 1) {
        if (center.ndim() == 1) {
            PyErr_Format(PyExc_ValueError, "center must have len(gap[0]) + 1 = %lld elements, "
                         "not %lld", static_cast<long long>(m + 1),
                         static_cast<long long>(center.shape(0)));
            return nullptr;
        }
        refuse_shape("center", "be 1-D or of shape", rows, m + 1, center);
        return nullptr;
    }
    const std::int64_t out_length = adapter.out_length(m);
    if (out.ndim() != 2 || out.shape(0) != rows || out.shape(1) != out_length) {
        refuse_shape("out", "have shape", rows, out_length, out);
        return nullptr;
    }
    // Rows are written while other rows are still being read.
    if (out.overlaps(gap) || out.overlaps(center)) {
        PyErr_Format(PyExc_ValueError, "out must not share memory with %s",
                     out.overlaps(gap) ? "gap" : "center");
        return nullptr;
    }

    rows::row_batch batch;
    batch.center = center.data();
    batch.center_row_bytes = center.ndim() == 1 ? 0 : (m + 1) * std::int64_t{sizeof(float)};
    batch.gap = gap.data();
    batch.out = out.data();
    batch.out_row_bytes = out_length * static_cast<std::int64_t>(adapter.out_item_size);
    batch.rows = rows;
    batch.masses = m;
    rows::run_outcome outcome;
    {
        released_interpreter_lock unlocked;
        outcome = rows::run_rows(adapter, batch, workers);
    }
    if (raise_failure(outcome) < 0) return nullptr;
    Py_RETURN_NONE;
}

// One entry point per adapter; a new method is an adapter, this line's twin in
// the method table and its docstring.
template <const rows::kernel_adapter& adapter>
PyObject* fit(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return fit_batch(adapter, args, nargs);
}

template <const rows::kernel_adapter& adapter>
PyCFunction entry() noexcept {
    // METH_FASTCALL functions are stored under the classic signature.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit<adapter>));
}

// ---- Module --------------------------------------------------------------------

#define ZELVANE_ROWS_ARGUMENTS                                                                  \
    "(center, gap, out, workers, /)\n--\n\n"                                                    \
    "Fits every row of gap (C-contiguous float32, shape (rows, m)) into the same row of out "   \
    "(C-contiguous float32, shape (rows, m + 1)); center is shared (shape (m + 1,)) or one "    \
    "row per histogram (shape (rows, m + 1)). workers native threads share the rows, 0 "        \
    "meaning one per core the process may run on; the interpreter lock is released. A zero "   \
    "width raises ZeroDivisionError naming the row; out's contents are then unspecified. "

PyMethodDef methods[] = {
    {"iterative", entry<rows::iterative_adapter>(), METH_FASTCALL,
     "iterative" ZELVANE_ROWS_ARGUMENTS
     "Every row gets the bits of zelvane.bake.fitgapmass(center, gap[r], out[r])."},
    {"exact", entry<rows::exact_adapter>(), METH_FASTCALL,
     "exact" ZELVANE_ROWS_ARGUMENTS
     "Every row gets the bits of zelvane.bake.fitgapmass_meh(center, gap[r], out[r])."},
    {"usable_cores", [](PyObject*, PyObject*) noexcept -> PyObject* {
         return PyLong_FromLongLong(rows::usable_cores());
     },
     METH_NOARGS,
     "usable_cores($module, /)\n--\n\nThe number of workers that workers=0 asks for: the "
     "processors this process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

#undef ZELVANE_ROWS_ARGUMENTS

// No state, so nothing stops the module from loading into several interpreters.
PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_rows",
    "Many histograms at once, on native threads, with the kernels of zelvane.bake.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zelvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__rows() noexcept {
    return PyModuleDef_Init(&zelvane::module_definition);
}
