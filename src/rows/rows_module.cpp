// The module zelvane._rows: one function per fitting method, each fitting every
// row of a 2-D batch of masses on native threads with the interpreter lock
// released, or one histogram (a 1-D batch of one row), on the same kernels as
// zelvane.bake. It is the package's only native path: the Python layer never
// loads zelvane.bake, and reaches this module through zelvane._native alone.
//
// Arguments arrive through the buffer protocol, not NumPy's C API. The
// package's Python layer hands over C-contiguous arrays that it has already
// checked; a request for a C-contiguous export with its format gives this
// module the shape, the element type and the contiguity it needs, and holds
// the memory for the whole call while the lock is released. The module so
// depends on no part of NumPy's binary interface (nothing to import and check
// at load, unlike zelvane.bake), and it takes any exporter of such memory.
//
// What crosses to Python is data; the messages a caller reads are made in
// Python:
// - a fit returns None when every row was fitted, and otherwise the tuple
//   (row, status, position) of the lowest row that could not be fitted (row 0
//   for one histogram): status is one of STATUS (the smooth and open methods)
//   or ZERO_WIDTH (the iterative and exact ones), position the edge, mass or
//   bin that the status names (-1 for none). The open method leaves that
//   row's lowest and highest reachable means at their OPEN_INFO offsets.
// - the layout of the open method's per-row numbers (OPEN_INFO, name ->
//   offset after the row's values, and OPEN_INFO_LENGTH), the statuses
//   (STATUS, name -> code), the tails' kinds (TAIL_KINDS, name -> code), the
//   smoothing that asks for the criterion's choice (AUTO_SMOOTHING) and the
//   bounds (MAX_REFINE, DEFAULT_REFINE, MAX_WORKERS) are module attributes.
// Arguments that this module cannot use (a wrong shape, element type or
// contiguity, a count out of range) raise a short TypeError or ValueError:
// the package checks them first and words its own refusals. Memory that
// cannot be had raises MemoryError, a signal the handler's exception
// (KeyboardInterrupt for Ctrl-C), threads that cannot start RuntimeError.
#include <cstdint>
#include <cstring>

#include "binding/owned_ref.hpp"
#include "binding/python_compat.hpp"
#include "kernels/counts_fit.hpp"
#include "kernels/open_fit.hpp"
#include "kernels/smooth_fit.hpp"
#include "rows/memory_limit.hpp"
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
        // The float32 kernels move elements byte-wise, so any address does; the
        // float64 ones read whole elements.
        if (item_size == sizeof(double) && view_.len > 0 &&
            reinterpret_cast<std::uintptr_t>(view_.buf) % item_size != 0) {
            PyErr_Format(PyExc_ValueError, "%s must be aligned to its 8-byte elements", name);
            return -1;
        }
        if (view_.ndim < 1 || view_.ndim > max_ndim) {
            PyErr_Format(PyExc_ValueError, "%s must be %s", name, max_ndim == 1 ? "1-D" : "1-D or 2-D");
            return -1;
        }
        return 0;
    }

    int ndim() const noexcept { return view_.ndim; }
    std::int64_t shape(int axis) const noexcept { return view_.shape[axis]; }
    char* data() const noexcept { return static_cast<char*>(view_.buf); }
    std::int64_t bytes() const noexcept { return view_.len; }

    // Whether the buffer has `rows` rows (1-D: one, with rows < 0) of `length` elements.
    bool has_shape(std::int64_t rows, std::int64_t length) const noexcept {
        return rows < 0 ? ndim() == 1 && shape(0) == length
                        : ndim() == 2 && shape(0) == rows && shape(1) == length;
    }

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

// ---- Arguments -----------------------------------------------------------------

int refuse(PyObject* type, const char* name, const char* what) noexcept {
    PyErr_Format(type, "%s %s", name, what);
    return -1;
}

// Rows are written while other rows are still being read: out must not overlap them.
int refuse_overlap(const char* other) noexcept {
    PyErr_Format(PyExc_ValueError, "out shares memory with %s", other);
    return -1;
}

// NumPy's bool scalar, known by its type's name (this module never imports
// NumPy): NumPy 1.x still lets it pass for an index.
bool is_numpy_bool(PyObject* object) noexcept {
    const char* type = Py_TYPE(object)->tp_name;
    return std::strcmp(type, "numpy.bool_") == 0 || std::strcmp(type, "numpy.bool") == 0;
}

// A count argument (workers, refine): an int or any integer type with
// __index__ (NumPy's integers), never a bool (Python's or NumPy's), from
// `minimum` to `maximum` (a value too large for long long is out of range too).
int read_count(PyObject* object, const char* name, long long minimum, long long maximum,
               long long& value) noexcept {
    if (PyBool_Check(object) || is_numpy_bool(object) || !PyIndex_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.100s", name, Py_TYPE(object)->tp_name);
        return -1;
    }
    owned_ref index(PyNumber_Index(object));
    if (!index) return -1;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < minimum || value > maximum) {
        PyErr_Format(PyExc_ValueError, "%s must be from %lld to %lld", name, minimum, maximum);
        return -1;
    }
    return 0;
}

// 0 means one per usable core; more than rows::max_workers is refused
// rather than tried (the run also starts no more threads than blocks of rows).
int read_workers(PyObject* object, std::int64_t& workers) noexcept {
    long long value = 0;
    if (read_count(object, "workers", 0, rows::max_workers, value) < 0) return -1;
    workers = value;
    return 0;
}

// Reads the method's parameter and checks it against the number of masses.
int read_parameter(const rows::kernel_adapter& adapter, PyObject* object, std::int64_t m,
                   std::int64_t& parameter) noexcept {
    long long value = 0;
    if (read_count(object, adapter.parameter_name, 1, adapter.parameter_max, value) < 0) return -1;
    parameter = value;
    if (adapter.out_length(m, parameter) < 0) {
        return refuse(PyExc_ValueError, adapter.parameter_name, "gives too long a result for these masses");
    }
    return 0;
}

int read_real(PyObject* object, const char* name, double& value) noexcept {
    value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        // Only "not a number" becomes the message below; an error raised by
        // the object's own conversion (an overflow, say) is left as it is.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be a real number, not %.100s", name, Py_TYPE(object)->tp_name);
        return -1;
    }
    return 0;
}

// An optional float64 vector of one number per row.
int acquire_per_row(contiguous_buffer& buffer, PyObject* object, const char* name, std::int64_t rows,
                    const double*& data) noexcept {
    data = nullptr;
    if (object == Py_None) return 0;
    if (buffer.acquire(object, name, sizeof(double), 1, false) < 0) return -1;
    if (buffer.shape(0) != rows) return refuse(PyExc_ValueError, name, "must hold one number per row");
    data = reinterpret_cast<const double*>(buffer.data());
    return 0;
}

// ---- The fit of a batch ------------------------------------------------------

// How often a watched run looks for signals: well within the tenth of a
// second in which Ctrl-C should take effect, rarely enough to cost nothing.
constexpr std::int64_t watch_interval_ms = 20;

// The run's watch: takes the interpreter lock back for a moment and runs the
// handlers of any signals that arrived (only the main thread runs them, so on
// another thread this finds nothing). True when a handler raised: the
// exception stays set for the call to return.
bool check_signals(void* context) noexcept {
    auto* saved = static_cast<PyThreadState**>(context);
    PyEval_RestoreThread(*saved);
    const bool raised = PyErr_CheckSignals() < 0;
    *saved = PyEval_SaveThread();
    return raised;
}

// The call's result: None, the failed row as data, or the exception of a run
// that could not be made.
PyObject* result_of(const rows::run_outcome& outcome) noexcept {
    const auto workers = static_cast<long long>(outcome.workers);
    const char* plural = outcome.workers == 1 ? "" : "s";
    switch (outcome.kind) {
        case rows::run_outcome::done:
            Py_RETURN_NONE;
        case rows::run_outcome::row_failed:
            return Py_BuildValue("(LiL)", static_cast<long long>(outcome.row), static_cast<int>(outcome.code),
                                 static_cast<long long>(outcome.position));
        case rows::run_outcome::out_of_memory:
            if (outcome.bytes < 0) {
                PyErr_Format(PyExc_MemoryError,
                             "cannot allocate the scratch memory of %lld worker%s: it would take "
                             "more than %lld bytes",
                             workers, plural, static_cast<long long>(INT64_MAX));
            } else if (outcome.bytes > rows::memory_bytes()) {
                PyErr_Format(PyExc_MemoryError,
                             "cannot allocate %lld bytes of scratch memory for %lld worker%s: this "
                             "process may have at most %lld bytes",
                             static_cast<long long>(outcome.bytes), workers, plural,
                             static_cast<long long>(rows::memory_bytes()));
            } else {
                PyErr_Format(PyExc_MemoryError,
                             "cannot allocate %lld bytes of scratch memory for %lld worker%s",
                             static_cast<long long>(outcome.bytes), workers, plural);
            }
            return nullptr;
        case rows::run_outcome::interrupted:
            // The watch stopped the run because a signal handler raised (a
            // KeyboardInterrupt for Ctrl-C): that exception is the call's.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return nullptr;
        case rows::run_outcome::thread_failed:
            PyErr_Format(PyExc_RuntimeError, "cannot start %lld worker threads: %s", workers,
                         std::strerror(outcome.error));
            return nullptr;
    }
    Py_RETURN_NONE;
}

// What the open method takes beyond refine and workers: the smoothing, the
// criterion's price of a degree of freedom, and per row a sample size and a
// known mean (None for none).
struct smooth_settings {
    double smoothing = 0.0;
    double complexity = 2.0;
    PyObject* sample_sizes = nullptr;
    PyObject* means = nullptr;
    PyObject* held[2] = {nullptr, nullptr};
    std::int32_t right_kind = 0;
};

// (center, gap, out, [parameter,] workers) and, for the open method, its
// settings: checks what the kernels rely on (the Python layer has checked
// more), then runs the batch with the lock released.
PyObject* fit_batch(const rows::kernel_adapter& adapter, PyObject* center_object, PyObject* gap_object,
                    PyObject* out_object, PyObject* parameter_object, PyObject* workers_object,
                    const smooth_settings* settings) noexcept {
    contiguous_buffer center, gap, out, sample_sizes, means, held_left, held_right;
    std::int64_t workers = 0;
    if (center.acquire(center_object, "center", adapter.in_item_size, 2, false) < 0 ||
        gap.acquire(gap_object, "gap", adapter.in_item_size, 2, false) < 0 ||
        out.acquire(out_object, "out", adapter.out_item_size, 2, true) < 0 ||
        read_workers(workers_object, workers) < 0) {
        return nullptr;
    }
    const bool batched = gap.ndim() == 2;
    const std::int64_t rows = batched ? gap.shape(0) : 1, m = gap.shape(gap.ndim() - 1);
    if (m < 1) {
        refuse(PyExc_ValueError, "gap", "must hold at least one mass per row");
        return nullptr;
    }
    if (!center.has_shape(-1, m + 1) && !(batched && center.has_shape(rows, m + 1))) {
        refuse(PyExc_ValueError, "center", "must hold one more element than gap, shared or per row");
        return nullptr;
    }
    std::int64_t parameter = 0;
    if (parameter_object != nullptr && read_parameter(adapter, parameter_object, m, parameter) < 0) return nullptr;
    const std::int64_t out_length = adapter.out_length(m, parameter);
    if (!out.has_shape(batched ? rows : -1, out_length)) {
        refuse(PyExc_ValueError, "out", "does not have the shape of the result");
        return nullptr;
    }
    if (out.overlaps(gap) || out.overlaps(center)) {
        refuse_overlap(out.overlaps(gap) ? "gap" : "center");
        return nullptr;
    }

    rows::row_batch batch;
    if (settings != nullptr) {
        batch.smoothing = settings->smoothing;
        batch.complexity = settings->complexity;
        if (acquire_per_row(sample_sizes, settings->sample_sizes, "sample_size", rows, batch.sample_sizes) < 0 ||
            acquire_per_row(means, settings->means, "mean", rows, batch.means) < 0 ||
            acquire_per_row(held_left, settings->held[0], "left_parameter", rows, batch.held[0]) < 0 ||
            acquire_per_row(held_right, settings->held[1], "right_parameter", rows, batch.held[1]) < 0) {
            return nullptr;
        }
        if (out.overlaps(sample_sizes) || out.overlaps(means) || out.overlaps(held_left) ||
            out.overlaps(held_right)) {
            refuse_overlap(out.overlaps(means)       ? "mean"
                           : out.overlaps(held_left) ? "left_parameter"
                           : out.overlaps(held_right) ? "right_parameter"
                                                      : "sample_size");
            return nullptr;
        }
        batch.right_kind = settings->right_kind;
    }
    batch.center = center.data();
    batch.center_row_bytes = center.ndim() == 1 ? 0 : (m + 1) * std::int64_t(adapter.in_item_size);
    batch.gap = gap.data();
    batch.out = out.data();
    batch.out_row_bytes = out_length * static_cast<std::int64_t>(adapter.out_item_size);
    batch.rows = rows;
    batch.masses = m;
    batch.item_size = static_cast<std::int64_t>(adapter.in_item_size);
    batch.parameter = parameter;
    // The calling thread watches a long run for signals (Ctrl-C) while the
    // workers fit; the lock is taken back only to run the handlers.
    PyThreadState* saved = PyEval_SaveThread();
    const rows::run_watch watch{check_signals, &saved, watch_interval_ms};
    const rows::run_outcome outcome = rows::run_rows(adapter, batch, workers, &watch);
    PyEval_RestoreThread(saved);
    return result_of(outcome);
}

// (center, gap, out, [parameter,] workers) of a method without settings.
template <const rows::kernel_adapter& adapter>
PyObject* fit(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    const bool has_parameter = adapter.parameter_name != nullptr;
    if (nargs != (has_parameter ? 5 : 4)) {
        PyErr_Format(PyExc_TypeError, "expected %d arguments, got %zd", has_parameter ? 5 : 4, nargs);
        return nullptr;
    }
    return fit_batch(adapter, args[0], args[1], args[2], has_parameter ? args[3] : nullptr, args[nargs - 1],
                     nullptr);
}

// (center, gap, out, refine, smoothing, complexity, sample_size, mean,
// [left_parameter, right_parameter, right_kind,] workers).
PyObject* fit_open(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 9 && nargs != 12) {
        PyErr_Format(PyExc_TypeError, "expected 9 or 12 arguments, got %zd", nargs);
        return nullptr;
    }
    const bool tails = nargs == 12;
    smooth_settings settings;
    double kind = 0.0;
    if (read_real(args[4], "smoothing", settings.smoothing) < 0 ||
        read_real(args[5], "complexity", settings.complexity) < 0 ||
        (tails && read_real(args[10], "right_kind", kind) < 0)) {
        return nullptr;
    }
    if (kind != static_cast<double>(open_fit::tail_kind::none) &&
        kind != static_cast<double>(open_fit::tail_kind::exponential) &&
        kind != static_cast<double>(open_fit::tail_kind::pareto)) {
        refuse(PyExc_ValueError, "right_kind", "must be one of TAIL_KINDS");
        return nullptr;
    }
    settings.right_kind = static_cast<std::int32_t>(kind);
    settings.sample_sizes = args[6];
    settings.means = args[7];
    settings.held[0] = tails ? args[8] : Py_None;
    settings.held[1] = tails ? args[9] : Py_None;
    return fit_batch(rows::open_adapter, args[0], args[1], args[2], args[3], args[nargs - 1], &settings);
}

// METH_FASTCALL functions are stored under the classic signature.
PyCFunction fastcall(PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t) noexcept) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// (center, out, refine): the refined knots of the smooth methods, the bits that
// their fits work on; center 1-D or one row per histogram.
PyObject* smooth_knots(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "expected 3 arguments, got %zd", nargs);
        return nullptr;
    }
    contiguous_buffer center, out;
    long long refine = 0;
    if (center.acquire(args[0], "center", sizeof(double), 2, false) < 0 ||
        out.acquire(args[1], "out", sizeof(double), 2, true) < 0 ||
        read_count(args[2], "refine", 1, smooth_fit::max_refine, refine) < 0) {
        return nullptr;
    }
    const bool batched = center.ndim() == 2;
    const std::int64_t rows = batched ? center.shape(0) : 1;
    const std::int64_t bins = center.shape(center.ndim() - 1) - 1;
    if (bins < 1) {
        refuse(PyExc_ValueError, "center", "must hold at least two edges per row");
        return nullptr;
    }
    const std::int64_t knots = smooth_fit::knot_count(bins, refine);
    if (knots < 0) {
        refuse(PyExc_ValueError, "refine", "gives too many knots for these edges");
        return nullptr;
    }
    if (!out.has_shape(batched ? rows : -1, knots)) {
        refuse(PyExc_ValueError, "out", "does not have the shape of the knots");
        return nullptr;
    }
    if (out.overlaps(center)) {
        refuse_overlap("center");
        return nullptr;
    }
    const auto* edges = reinterpret_cast<const double*>(center.data());
    auto* written = reinterpret_cast<double*>(out.data());
    for (std::int64_t r = 0; r < rows; ++r) {
        smooth_fit::write_knots(edges + r * (bins + 1), bins, refine, written + r * knots);
    }
    Py_RETURN_NONE;
}

// ---- Module --------------------------------------------------------------------

#define ZELVANE_ROWS_ARGUMENTS                                                                  \
    "(center, gap, out, workers, /)\n--\n\n"                                                    \
    "Fits every row of gap (C-contiguous float32, shape (rows, m)) into the same row of out "   \
    "(C-contiguous float32, shape (rows, m + 1)); center is shared (shape (m + 1,)) or one "    \
    "row per histogram (shape (rows, m + 1)). One histogram is a 1-D gap (m,) with a 1-D "    \
    "center (m + 1,) and out (m + 1,). workers native threads (an int from 0 to MAX_WORKERS, " \
    "no more than the rows need) share the rows, 0 meaning one per core the process may run " \
    "on; the interpreter lock is released, and a signal (Ctrl-C) stops a long call with its "  \
    "handler's exception. Returns None, or (row, ZERO_WIDTH, i) for the lowest row with a "    \
    "zero width between its centres i and i + 1; out's contents are then unspecified. "

#define ZELVANE_ROWS_FAILURE                                                                    \
    "Returns None, or (row, status, position) for the lowest row that could not be fitted, "    \
    "status one of STATUS and position the edge, mass or bin it names (-1: none); out's "       \
    "contents are then unspecified"

PyMethodDef methods[] = {
    {"iterative", fastcall(fit<rows::iterative_adapter>), METH_FASTCALL,
     "iterative" ZELVANE_ROWS_ARGUMENTS
     "Every row gets the bits of zelvane.bake.fitgapmass(center, gap[r], out[r]), and one "
     "histogram those of zelvane.bake.fitgapmass(center, gap, out)."},
    {"exact", fastcall(fit<rows::exact_adapter>), METH_FASTCALL,
     "exact" ZELVANE_ROWS_ARGUMENTS
     "Every row gets the bits of zelvane.bake.fitgapmass_meh(center, gap[r], out[r]), and one "
     "histogram those of zelvane.bake.fitgapmass_meh(center, gap, out)."},
    {"smooth", fastcall(fit<rows::smooth_adapter>), METH_FASTCALL,
     "smooth(center, gap, out, refine, workers, /)\n--\n\n"
     "The least-curvature piecewise linear density on refined knots that carries every mass of "
     "gap exactly and is nowhere negative. center (the bin edges) and gap are C-contiguous "
     "float64, gap of shape (rows, m) or (m,) for one histogram, center shared (shape (m + 1,)) "
     "or one row per histogram; out is C-contiguous float64 of shape (rows, m * refine + 1) or "
     "(m * refine + 1,): the values at the knots that smooth_knots gives. workers as for the "
     "other methods. " ZELVANE_ROWS_FAILURE "."},
    {"open", fastcall(fit_open), METH_FASTCALL,
     "open(center, gap, out, refine, smoothing, complexity, sample_size, mean, [left_parameter, "
     "right_parameter, right_kind,] workers, /)\n--\n\n"
     "The smooth fits of histograms whose first edge may be -inf and last +inf, with a tail beyond "
     "each open end: smoothing 0 for exact masses, a positive lambda or AUTO_SMOOTHING (the "
     "criterion's choice, complexity its price of a degree of freedom) for counts; sample_size "
     "and mean None or C-contiguous float64 of one number per row (0 and NaN: none); "
     "left_parameter and right_parameter likewise, the parameter each tail holds (0 and NaN: the "
     "fit's choice); right_kind the law of the right tail, a code of TAIL_KINDS (none: Pareto "
     "beyond a positive last edge, else exponential). center and "
     "gap as for smooth (every row with the same open ends); out C-contiguous float64 of shape "
     "(rows, m * refine + 1 + OPEN_INFO_LENGTH) or (m * refine + 1 + OPEN_INFO_LENGTH,): the "
     "values at the body's knots, zeros to m * refine + 1, then the numbers that OPEN_INFO names "
     "by their offsets (the smoothing, edf and deviance; each tail's kind, one of TAIL_KINDS, "
     "joint, mass and parameter; the lowest and highest means reachable). " ZELVANE_ROWS_FAILURE
     ", but for a failed row's reachable means."},
    {"smooth_knots", fastcall(smooth_knots), METH_FASTCALL,
     "smooth_knots(center, out, refine, /)\n--\n\n"
     "Writes the knots of the smooth method into out (C-contiguous float64, shape (m * refine + "
     "1,) or (rows, m * refine + 1)): every interval of center (float64, shape (m + 1,) or (rows, "
     "m + 1)) cut into refine equal parts."},
    {"usable_cores", [](PyObject*, PyObject*) noexcept -> PyObject* {
         return PyLong_FromLongLong(rows::usable_cores());
     },
     METH_NOARGS,
     "usable_cores($module, /)\n--\n\nThe number of workers that workers=0 asks for: the "
     "processors this process may run on."},
    {"memory_bytes", [](PyObject*, PyObject*) noexcept -> PyObject* {
         return PyLong_FromLongLong(rows::memory_bytes());
     },
     METH_NOARGS,
     "memory_bytes($module, /)\n--\n\nThe bytes of memory this process may have: the machine's "
     "physical memory, or its control groups' limit where that is lower. No call asks for more "
     "scratch than this."},
    {nullptr, nullptr, 0, nullptr},
};

#undef ZELVANE_ROWS_FAILURE
#undef ZELVANE_ROWS_ARGUMENTS

// ---- The contract's tables ------------------------------------------------------

// A name and its number: an entry of the tables the Python layer reads.
struct named_number {
    const char* name;
    long number;
};

// Each entry named after its enumerator, so that the name Python reads is the C++ one.
#define ZELVANE_STATUS(name) {#name, static_cast<long>(smooth_fit::status::name)}
#define ZELVANE_INFO(name) {#name, static_cast<long>(rows::info_##name)}
#define ZELVANE_TAIL(name) {#name, static_cast<long>(open_fit::tail_kind::name)}

// Why a row of the smooth and open methods was not fitted.
constexpr named_number statuses[] = {
    ZELVANE_STATUS(ok), ZELVANE_STATUS(bad_size), ZELVANE_STATUS(bad_edge), ZELVANE_STATUS(bad_mass),
    ZELVANE_STATUS(zero_total), ZELVANE_STATUS(bad_width), ZELVANE_STATUS(out_of_range),
    ZELVANE_STATUS(infeasible), ZELVANE_STATUS(iteration_limit), ZELVANE_STATUS(inaccurate),
    ZELVANE_STATUS(bad_setting), ZELVANE_STATUS(unreachable_mean), ZELVANE_STATUS(empty_beside_tail),
    ZELVANE_STATUS(interrupted), ZELVANE_STATUS(ill_conditioned),
};

// The open method's numbers after a row's values (open_info), by their offsets.
constexpr named_number open_info_offsets[] = {
    ZELVANE_INFO(smoothing), ZELVANE_INFO(edf), ZELVANE_INFO(deviance),
    ZELVANE_INFO(left_kind), ZELVANE_INFO(left_joint), ZELVANE_INFO(left_mass), ZELVANE_INFO(left_parameter),
    ZELVANE_INFO(right_kind), ZELVANE_INFO(right_joint), ZELVANE_INFO(right_mass),
    ZELVANE_INFO(right_parameter), ZELVANE_INFO(lowest_mean), ZELVANE_INFO(highest_mean),
};

// The tails' kinds, as the open method writes them at left_kind and right_kind.
constexpr named_number tail_kinds[] = {
    ZELVANE_TAIL(none), ZELVANE_TAIL(exponential), ZELVANE_TAIL(pareto),
};

#undef ZELVANE_TAIL
#undef ZELVANE_INFO
#undef ZELVANE_STATUS

// Adds `value` (a new reference, or null with an exception set) as `name`.
int add_object(PyObject* module, const char* name, PyObject* value) noexcept {
    owned_ref held(value);
    if (!held || PyModule_AddObject(module, name, held.get()) < 0) return -1;
    held.release();  // the module took it
    return 0;
}

// Adds a read-only mapping of the table's names to their numbers.
template <std::size_t count>
int add_table(PyObject* module, const char* name, const named_number (&table)[count]) noexcept {
    const owned_ref entries(PyDict_New());
    if (!entries) return -1;
    for (const named_number& entry : table) {
        const owned_ref number(PyLong_FromLong(entry.number));
        if (!number || PyDict_SetItemString(entries.get(), entry.name, number.get()) < 0) return -1;
    }
    return add_object(module, name, PyDictProxy_New(entries.get()));
}

// No state (the tables and constants are plain module attributes, made again
// for each module object), so nothing stops the module from loading into
// several interpreters, each with its own lock, or from running without the
// global lock.
int add_constants(PyObject* module) noexcept {
    if (PyModule_AddIntConstant(module, "MAX_REFINE", static_cast<long>(smooth_fit::max_refine)) < 0 ||
        PyModule_AddIntConstant(module, "DEFAULT_REFINE", static_cast<long>(rows::default_refine)) < 0 ||
        PyModule_AddIntConstant(module, "MAX_WORKERS", static_cast<long>(rows::max_workers)) < 0 ||
        PyModule_AddIntConstant(module, "ZERO_WIDTH", static_cast<long>(rows::zero_width_code)) < 0 ||
        PyModule_AddIntConstant(module, "OPEN_INFO_LENGTH", static_cast<long>(rows::info_length)) < 0 ||
        add_object(module, "AUTO_SMOOTHING", PyFloat_FromDouble(counts_fit::automatic)) < 0 ||
        add_table(module, "STATUS", statuses) < 0 || add_table(module, "OPEN_INFO", open_info_offsets) < 0 ||
        add_table(module, "TAIL_KINDS", tail_kinds) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_constants)},
    ZELVANE_SLOT_PER_INTERPRETER_GIL
    ZELVANE_SLOT_GIL_NOT_USED
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
