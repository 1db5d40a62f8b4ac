// Float32 vector views over the caller's own memory: the conversion of an
// argument (or of a scratch array) into a strided float32 vector, and the
// release of the buffer acquisition that keeps that memory valid.
#pragma once

#include "binding/python_compat.hpp"
#include "kernels/float32_vector.hpp"

namespace zelvane {

// Owns one buffer acquisition (none for the empty view of None) and releases
// it exactly once: explicitly with release(), or when it goes out of scope.
class float32_view {
public:
    float32_view() noexcept = default;
    float32_view(const float32_view&) = delete;
    float32_view& operator=(const float32_view&) = delete;
    ~float32_view() { release(); }

    const float32_vector& vector() const noexcept { return vector_; }
    std::int64_t size() const noexcept { return vector_.shape; }

    // Drops the acquisition, keeping any pending exception as it is.
    void release() noexcept;

private:
    friend int acquire_float32_view(PyObject* object, float32_view& view) noexcept;

    float32_vector vector_{};
    Py_buffer buffer_{};
    bool acquired_ = false;
};

// Converts `object` into a view: None gives the empty view; anything else
// must export a writable, one-dimensional buffer of native or little-endian
// float32 with any stride. Returns 0, or -1 with an exception set (then
// nothing stays acquired). `view` must be empty on entry.
int acquire_float32_view(PyObject* object, float32_view& view) noexcept;

}  // namespace zelvane
