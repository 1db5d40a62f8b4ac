// Conversion of buffer exporters into float32 vector views. The exporter is
// asked for a strided, formatted, writable buffer; the record it fills is then
// tested in a fixed order (dimensions, format, item size, indirection), so that
// every refusal is reported the same way whatever the exporter.
#include "binding/float32_view.hpp"

#include "binding/format_check.hpp"
#include "binding/owned_ref.hpp"
#include "binding/texts.hpp"

namespace zelvane {

namespace {

constexpr Py_ssize_t element_size = 4;

// Tests the filled buffer record; returns 0, or -1 with ValueError set.
int check_buffer_record(const Py_buffer& buffer) noexcept {
    if (buffer.ndim != 1) {
        PyErr_Format(PyExc_ValueError, texts::wrong_dimensions, 1, buffer.ndim);
        return -1;
    }
    // A record without a format describes unsigned bytes.
    format_refusal refusal;
    if (!check_float32_format(buffer.format != nullptr ? buffer.format : "B", refusal)) {
        PyErr_SetString(PyExc_ValueError, refusal.message);
        return -1;
    }
    if (buffer.itemsize != element_size) {
        const size_t item_size = static_cast<size_t>(buffer.itemsize);
        PyErr_Format(PyExc_ValueError, texts::wrong_item_size, item_size,
                     item_size > 1 ? "s" : "", texts::element_name,
                     static_cast<size_t>(element_size), "s");
        return -1;
    }
    if (buffer.len > 0 && buffer.suboffsets != nullptr) {
        const Py_ssize_t length = buffer.shape != nullptr ? buffer.shape[0] : 0;
        if (length >= 2 && buffer.strides == nullptr) {
            PyErr_SetString(PyExc_ValueError, texts::suboffsets_without_strides);
            return -1;
        }
        if (buffer.suboffsets[0] >= 0) {
            PyErr_Format(PyExc_ValueError, texts::no_direct_access, 0);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int acquire_float32_view(PyObject* object, float32_view& view) noexcept {
    if (object == Py_None) {
        view.vector_ = float32_vector{};
        return 0;
    }
    Py_buffer buffer;
    if (PyObject_GetBuffer(object, &buffer, PyBUF_STRIDES | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) {
        return -1;
    }
    if (check_buffer_record(buffer) < 0) {
        pending_exception_guard keep;
        PyBuffer_Release(&buffer);
        return -1;
    }
    view.buffer_ = buffer;
    view.acquired_ = true;
    view.vector_.data = static_cast<char*>(buffer.buf);
    // A conforming exporter always fills shape for a strided request; a
    // record without one is taken as a contiguous run of its bytes.
    view.vector_.shape = buffer.shape != nullptr ? buffer.shape[0] : buffer.len / element_size;
    view.vector_.strides = buffer.strides != nullptr ? buffer.strides[0] : element_size;
    return 0;
}

void float32_view::release() noexcept {
    if (!acquired_) return;
    acquired_ = false;
    vector_ = float32_vector{};
    pending_exception_guard keep;
    PyBuffer_Release(&buffer_);
}

}  // namespace zelvane
