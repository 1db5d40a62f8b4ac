// The module zelvane._rows: one function per fitting method, each fitting every
// row of a 2-D batch of masses on native threads with the interpreter lock
// released, or one histogram (a 1-D batch of one row), on the same kernels as
// zelvane.bake. It is the package's only native path: the Python layer never
// loads zelvane.bake.
//
// Arguments arrive through the buffer protocol, not NumPy's C API. The
// package's Python layer hands over C-contiguous arrays that it has already
// checked; a request for a C-contiguous export with its format gives this
// module the shape, the element type and the contiguity it needs, and holds
// the memory for the whole call while the lock is released. The module so
// depends on no part of NumPy's binary interface (nothing to import and check
// at load, unlike zelvane.bake), and it takes any exporter of such memory.
//
// Bad values of arguments and rows that cannot be fitted raise
// zelvane.InputError with the fields the Python layer gives it (input_error.hpp);
// arguments of the wrong type raise TypeError, a zero width ZeroDivisionError
// as in zelvane.bake, and a solver that gives up RuntimeError.
#include <cstdint>
#include <cstring>

#include "binding/owned_ref.hpp"
#include "binding/python_compat.hpp"
#include "kernels/smooth_fit.hpp"
#include "rows/input_error.hpp"
#include "rows/memory_limit.hpp"
#include "rows/row_batch.hpp"
#include "rows/smooth_messages.hpp"

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
            return rows::input_error("misaligned")
                .argument(name)
                .number("item_size", static_cast<std::int64_t>(item_size))
                .raise();
        }
        if (view_.ndim < 1 || view_.ndim > max_ndim) {
            return rows::input_error("ndim")
                .argument(name)
                .number("ndim", view_.ndim)
                .shape("allowed", max_ndim == 1 ? rows::extents{1, {1, 0}} : rows::extents{2, {1, 2}})
                .raise();
        }
        return 0;
    }

    int ndim() const noexcept { return view_.ndim; }
    std::int64_t shape(int axis) const noexcept { return view_.shape[axis]; }
    rows::extents extents() const noexcept {
        return view_.ndim == 1 ? rows::extents{1, {view_.shape[0], 0}}
                               : rows::extents{2, {view_.shape[0], view_.shape[1]}};
    }
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

// `name` has another shape than `expected`.
int refuse_shape(const char* name, const contiguous_buffer& got, rows::extents expected) noexcept {
    return rows::input_error("shape").argument(name).shape("shape", got.extents())
        .shape("expected", expected).raise();
}

int refuse_overlap(const char* name, const char* other) noexcept {
    return rows::input_error("shares_memory").argument(name).text("other", other).raise();
}

// A count argument (workers, refine): an int or any integer type with
// __index__ (NumPy's integers), never a bool (Python's or NumPy's), from
// `minimum` to `maximum`.
// Anything else is an InputError naming the argument: "type" for what is not
// an integer, "out_of_range" with the value as given (however large) for the rest.
// NumPy's bool scalar, known by its type's name (this module never imports
// NumPy): NumPy 1.x still lets it pass for an index.
bool is_numpy_bool(PyObject* object) noexcept {
    const char* type = Py_TYPE(object)->tp_name;
    return std::strcmp(type, "numpy.bool_") == 0 || std::strcmp(type, "numpy.bool") == 0;
}

int read_count(PyObject* object, const char* name, long long minimum, long long maximum,
               long long& value) noexcept {
    if (PyBool_Check(object) || is_numpy_bool(object) || !PyIndex_Check(object)) {
        return rows::input_error("type").argument(name).text("expected", "int")
            .text("type_name", Py_TYPE(object)->tp_name).raise();
    }
    owned_ref index(PyNumber_Index(object));
    if (!index) return -1;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < minimum || value > maximum) {
        return rows::input_error("out_of_range").argument(name).value(index.get())
            .number("minimum", minimum).number("maximum", maximum).raise();
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

// A row that the methods of zelvane.bake cannot fit has a zero width.
int raise_zero_width(const rows::run_outcome& outcome, const rows::row_batch&, bool batch) noexcept {
    const auto i = static_cast<long long>(outcome.position);
    if (batch) {
        PyErr_Format(PyExc_ZeroDivisionError,
                     "float division: row %lld has a zero width between its centres %lld and %lld",
                     static_cast<long long>(outcome.row), i, i + 1);
    } else {
        PyErr_Format(PyExc_ZeroDivisionError,
                     "float division: a zero width between the centres %lld and %lld", i, i + 1);
    }
    return -1;
}

// A method as the module offers it: its adapter and the exception of a row it
// cannot fit (given the outcome, the batch that was run, and whether the call
// was a batch rather than one histogram). Every method also takes one
// histogram (1-D gap and out).
struct method_entry {
    const rows::kernel_adapter& adapter;
    int (*raise_row_failure)(const rows::run_outcome&, const rows::row_batch&, bool batch) noexcept;
};

int raise_failure(const method_entry& method, const rows::run_outcome& outcome,
                  const rows::row_batch& run, bool batch) noexcept {
    switch (outcome.kind) {
        case rows::run_outcome::done:
            return 0;
        case rows::run_outcome::row_failed:
            return method.raise_row_failure(outcome, run, batch);
        case rows::run_outcome::out_of_memory:
            if (outcome.bytes < 0) {
                PyErr_Format(PyExc_MemoryError,
                             "cannot allocate the scratch memory of %lld worker%s: it would take "
                             "more than %lld bytes",
                             static_cast<long long>(outcome.workers), outcome.workers == 1 ? "" : "s",
                             static_cast<long long>(INT64_MAX));
            } else if (outcome.bytes > rows::memory_bytes()) {
                PyErr_Format(PyExc_MemoryError,
                             "cannot allocate %lld bytes of scratch memory for %lld worker%s: this "
                             "process may have at most %lld bytes",
                             static_cast<long long>(outcome.bytes), static_cast<long long>(outcome.workers),
                             outcome.workers == 1 ? "" : "s",
                             static_cast<long long>(rows::memory_bytes()));
            } else {
                PyErr_Format(PyExc_MemoryError,
                             "cannot allocate %lld bytes of scratch memory for %lld worker%s",
                             static_cast<long long>(outcome.bytes), static_cast<long long>(outcome.workers),
                             outcome.workers == 1 ? "" : "s");
            }
            return -1;
        case rows::run_outcome::interrupted:
            // The watch stopped the run because a signal handler raised (a
            // KeyboardInterrupt for Ctrl-C): that exception is the call's.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return -1;
        case rows::run_outcome::thread_failed:
            PyErr_Format(PyExc_RuntimeError, "cannot start %lld worker threads: %s",
                         static_cast<long long>(outcome.workers), std::strerror(outcome.error));
            return -1;
    }
    return 0;
}

// Reads the method's parameter and checks it against the number of masses.
int read_parameter(const rows::kernel_adapter& adapter, PyObject* object, std::int64_t m,
                   std::int64_t& parameter) noexcept {
    long long value = 0;
    if (read_count(object, adapter.parameter_name, 1, adapter.parameter_max, value) < 0) return -1;
    parameter = value;
    if (adapter.out_length(m, parameter) < 0) {
        return rows::input_error("too_long").argument(adapter.parameter_name)
            .value(std::int64_t{value}).number("length", m).raise();
    }
    return 0;
}

// What the open method takes beyond refine and workers: the smoothing, the
// criterion's price of a degree of freedom, and per row a sample size and a
// known mean (None for none).
struct smooth_settings {
    double smoothing = 0.0;
    double complexity = 2.0;
    PyObject* sample_sizes = nullptr;
    PyObject* means = nullptr;
};

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
    if (buffer.shape(0) != rows) {
        refuse_shape(name, buffer, {1, {rows, 0}});
        return -1;
    }
    data = reinterpret_cast<const double*>(buffer.data());
    return 0;
}

// (center, gap, out, [parameter,] workers) and, for the open method, its
// settings: checks what the kernels rely on (the Python layer has checked
// more), then runs the batch with the lock released.
PyObject* fit_batch(const method_entry& method, PyObject* center_object, PyObject* gap_object,
                    PyObject* out_object, PyObject* parameter_object, PyObject* workers_object,
                    const smooth_settings* settings) noexcept {
    const rows::kernel_adapter& adapter = method.adapter;
    contiguous_buffer center, gap, out, sample_sizes, means;
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
        rows::input_error("too_short").argument("gap").number("length", m).number("minimum", 1)
            .flag("per_row", batched).raise();
        return nullptr;
    }
    if (!batched && center.ndim() != 1) {
        rows::input_error("ndim").argument("center").number("ndim", center.ndim())
            .shape("allowed", {1, {1, 0}}).text("other", "gap").number("other_ndim", 1).raise();
        return nullptr;
    }
    if (center.ndim() == 1 && center.shape(0) != m + 1) {
        rows::input_error("length").argument("center").number("length", center.shape(0))
            .number("expected", m + 1).text("other", "gap").number("offset", 1)
            .flag("per_row", batched).raise();
        return nullptr;
    }
    if (center.ndim() == 2 && (center.shape(0) != rows || center.shape(1) != m + 1)) {
        rows::input_error("shape").argument("center").shape("shape", center.extents())
            .shapes("expected", {{1, {m + 1, 0}}, {2, {rows, m + 1}}}).text("other", "gap")
            .shape("other_shape", gap.extents()).raise();
        return nullptr;
    }
    std::int64_t parameter = 0;
    if (parameter_object != nullptr && read_parameter(adapter, parameter_object, m, parameter) < 0) return nullptr;
    const std::int64_t out_length = adapter.out_length(m, parameter);
    if (!batched && (out.ndim() != 1 || out.shape(0) != out_length)) {
        refuse_shape("out", out, {1, {out_length, 0}});
        return nullptr;
    }
    if (batched && (out.ndim() != 2 || out.shape(0) != rows || out.shape(1) != out_length)) {
        refuse_shape("out", out, {2, {rows, out_length}});
        return nullptr;
    }
    // Rows are written while other rows are still being read.
    if (out.overlaps(gap) || out.overlaps(center)) {
        refuse_overlap("out", out.overlaps(gap) ? "gap" : "center");
        return nullptr;
    }

    rows::row_batch batch;
    if (settings != nullptr) {
        batch.smoothing = settings->smoothing;
        batch.complexity = settings->complexity;
        if (acquire_per_row(sample_sizes, settings->sample_sizes, "sample_size", rows, batch.sample_sizes) < 0 ||
            acquire_per_row(means, settings->means, "mean", rows, batch.means) < 0) {
            return nullptr;
        }
        if (out.overlaps(sample_sizes) || out.overlaps(means)) {
            refuse_overlap("out", out.overlaps(means) ? "mean" : "sample_size");
            return nullptr;
        }
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
    if (raise_failure(method, outcome, batch, batched) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* fit_batch(const method_entry& method, PyObject* const* args, Py_ssize_t nargs) noexcept {
    const rows::kernel_adapter& adapter = method.adapter;
    const bool has_parameter = adapter.parameter_name != nullptr;
    if (nargs != (has_parameter ? 5 : 4)) {
        if (has_parameter) {
            PyErr_Format(PyExc_TypeError,
                         "expected 5 arguments (center, gap, out, %s, workers), got %zd",
                         adapter.parameter_name, nargs);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "expected 4 arguments (center, gap, out, workers), got %zd", nargs);
        }
        return nullptr;
    }
    return fit_batch(method, args[0], args[1], args[2], has_parameter ? args[3] : nullptr, args[nargs - 1],
                     nullptr);
}

// One entry point per method; a new method is an adapter, an entry here, this
// line's twin in the method table and its docstring.
const method_entry iterative_method{rows::iterative_adapter, raise_zero_width};
const method_entry exact_method{rows::exact_adapter, raise_zero_width};
const method_entry smooth_method{rows::smooth_adapter, rows::raise_smooth_failure};
const method_entry open_method{rows::open_adapter, rows::raise_smooth_failure};

// (center, gap, out, refine, smoothing, complexity, sample_size, mean, workers).
PyObject* fit_open(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError,
                     "expected 9 arguments (center, gap, out, refine, smoothing, complexity, "
                     "sample_size, mean, workers), got %zd",
                     nargs);
        return nullptr;
    }
    smooth_settings settings;
    if (read_real(args[4], "smoothing", settings.smoothing) < 0 ||
        read_real(args[5], "complexity", settings.complexity) < 0) {
        return nullptr;
    }
    settings.sample_sizes = args[6];
    settings.means = args[7];
    return fit_batch(open_method, args[0], args[1], args[2], args[3], args[8], &settings);
}

template <const method_entry& method>
PyObject* fit(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return fit_batch(method, args, nargs);
}

template <const method_entry& method>
PyCFunction entry() noexcept {
    // METH_FASTCALL functions are stored under the classic signature.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit<method>));
}

// (center, out, refine): the refined knots of the smooth method, the bits that
// its fit works on; center 1-D or one row per histogram.
PyObject* smooth_knots(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "expected 3 arguments (center, out, refine), got %zd", nargs);
        return nullptr;
    }
    contiguous_buffer center, out;
    long long refine = 0;
    if (center.acquire(args[0], "center", sizeof(double), 2, false) < 0 ||
        out.acquire(args[1], "out", sizeof(double), 2, true) < 0 ||
        read_count(args[2], "refine", 1, smooth_fit::max_refine, refine) < 0) {
        return nullptr;
    }
    const std::int64_t rows = center.ndim() == 2 ? center.shape(0) : 1;
    const std::int64_t bins = center.shape(center.ndim() - 1) - 1;
    if (bins < 1) {
        rows::input_error("too_short").argument("center").number("length", bins + 1)
            .number("minimum", 2).flag("per_row", center.ndim() == 2).raise();
        return nullptr;
    }
    const std::int64_t knots = smooth_fit::knot_count(bins, refine);
    if (knots < 0) {
        rows::input_error("too_long").argument("refine").value(std::int64_t{refine})
            .number("length", bins).raise();
        return nullptr;
    }
    if (out.ndim() != center.ndim() || out.shape(out.ndim() - 1) != knots ||
        (center.ndim() == 2 && out.shape(0) != rows)) {
        refuse_shape("out", out, center.ndim() == 1 ? rows::extents{1, {knots, 0}}
                                                    : rows::extents{2, {rows, knots}});
        return nullptr;
    }
    if (out.overlaps(center)) {
        refuse_overlap("out", "center");
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
    "handler's exception. Bad arguments raise zelvane.InputError; a zero width raises "       \
    "ZeroDivisionError naming the row, and out's contents are then unspecified. "

PyMethodDef methods[] = {
    {"iterative", entry<iterative_method>(), METH_FASTCALL,
     "iterative" ZELVANE_ROWS_ARGUMENTS
     "Every row gets the bits of zelvane.bake.fitgapmass(center, gap[r], out[r]), and one "
     "histogram those of zelvane.bake.fitgapmass(center, gap, out)."},
    {"exact", entry<exact_method>(), METH_FASTCALL,
     "exact" ZELVANE_ROWS_ARGUMENTS
     "Every row gets the bits of zelvane.bake.fitgapmass_meh(center, gap[r], out[r]), and one "
     "histogram those of zelvane.bake.fitgapmass_meh(center, gap, out)."},
    {"smooth", entry<smooth_method>(), METH_FASTCALL,
     "smooth(center, gap, out, refine, workers, /)\n--\n\n"
     "The least-curvature piecewise linear density on refined knots that carries every mass of "
     "gap exactly and is nowhere negative. center (the bin edges) and gap are C-contiguous "
     "float64, gap of shape (rows, m) or (m,) for one histogram, center shared (shape (m + 1,)) "
     "or one row per histogram; out is C-contiguous float64 of shape (rows, m * refine + 1) or "
     "(m * refine + 1,): the values at the knots that smooth_knots gives. workers as for the "
     "other methods. A row that cannot be fitted raises zelvane.InputError with the row among "
     "its fields (RuntimeError naming the row if the solver gave up); out's contents are then "
     "unspecified."},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_open)), METH_FASTCALL,
     "open(center, gap, out, refine, smoothing, complexity, sample_size, mean, workers, /)\n--\n\n"
     "The smooth fits of histograms whose first edge may be -inf and last +inf, with a tail beyond "
     "each open end: smoothing 0 for exact masses, a positive lambda or a negative number (the "
     "criterion's choice, complexity its price of a degree of freedom) for counts; sample_size "
     "and mean None or C-contiguous float64 of one number per row (0 and NaN: none). center and "
     "gap as for smooth (every row with the same open ends); out C-contiguous float64 of shape "
     "(rows, m * refine + 1 + 13) or (m * refine + 1 + 13,): the values at the body's knots, "
     "zeros to m * refine + 1, then smoothing, edf, deviance, each tail's kind (0 none, 1 "
     "exponential, 2 Pareto), joint, mass and parameter (left, then right), and the lowest and "
     "highest means reachable (of a row whose mean was out of reach). Rows that cannot be fitted "
     "raise as smooth's do; a mean out of reach is zelvane.InputError 'unreachable_mean'."},
    {"smooth_knots", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(smooth_knots)),
     METH_FASTCALL,
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

#undef ZELVANE_ROWS_ARGUMENTS

// No state (an InputError's class is looked up when one is raised; the
// constants are plain module attributes), so
// nothing stops the module from loading into several interpreters, each with
// its own lock, or from running without the global lock.
// The numbers that the Python layer takes from here rather than repeat:
// MAX_REFINE and DEFAULT_REFINE (refine's bound and default), MAX_WORKERS.
int add_constants(PyObject* module) noexcept {
    if (PyModule_AddIntConstant(module, "MAX_REFINE", static_cast<long>(smooth_fit::max_refine)) < 0 ||
        PyModule_AddIntConstant(module, "DEFAULT_REFINE", static_cast<long>(rows::default_refine)) < 0 ||
        PyModule_AddIntConstant(module, "MAX_WORKERS", static_cast<long>(rows::max_workers)) < 0) {
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
