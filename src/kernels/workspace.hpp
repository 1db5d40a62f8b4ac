// Caller-provided scratch, sized and carved by one walk over the same slices.
//
// A kernel that takes scratch lists its slices once, in a function that asks
// a workspace for each in turn. Walked with a counting workspace (no block)
// the function gives the size of the block; walked with a carving one (the
// caller's block) the same calls hand out the slices, so the size and the
// layout cannot disagree. Nothing is allocated.
//
// Every slice starts at a multiple of `alignment` bytes from the start of the
// block (a cache line for the float64 kernels; the element's own size where a
// kernel reads through unaligned accesses anyway), so a block aligned to that
// many bytes gives aligned slices. A negative count, or a size beyond
// std::int64_t, makes the workspace fail: size() is then -1 and every later
// slice null.
#pragma once

#include <cstdint>

namespace zelvane {

template <class Unit, std::int64_t Alignment = 64>
class basic_workspace {
    static_assert(Alignment % static_cast<std::int64_t>(sizeof(Unit)) == 0, "alignment in whole units");
    static constexpr std::int64_t unit_bytes = static_cast<std::int64_t>(sizeof(Unit));
    static constexpr std::int64_t step = Alignment / unit_bytes;  // units from one slice start to the next

public:
    static constexpr std::int64_t alignment = Alignment;

    // Counts only: every slice is null.
    constexpr basic_workspace() noexcept = default;
    // Hands out slices of `block`, which holds at least size() units once
    // every slice has been taken.
    constexpr explicit basic_workspace(Unit* block) noexcept : block_(block) {}

    // `count` elements of T (a type no larger than a unit's alignment allows:
    // Unit itself, or bytes), starting on the next aligned unit.
    template <class T = Unit>
    constexpr T* take(std::int64_t count) noexcept {
        static_assert(Alignment % static_cast<std::int64_t>(alignof(T)) == 0, "slices aligned for T");
        if (used_ < 0 || count < 0) return fail<T>();
        const std::int64_t per_unit = unit_bytes / static_cast<std::int64_t>(sizeof(T));
        const std::int64_t units = sizeof(T) >= sizeof(Unit)
                                       ? count * static_cast<std::int64_t>(sizeof(T) / sizeof(Unit))
                                       : count / per_unit + (count % per_unit != 0 ? 1 : 0);
        if (sizeof(T) > sizeof(Unit) && count > max_units / static_cast<std::int64_t>(sizeof(T) / sizeof(Unit))) {
            return fail<T>();
        }
        const std::int64_t start = used_ % step == 0 ? used_ : used_ + (step - used_ % step);
        if (start < used_ || start > max_units - units) return fail<T>();
        used_ = start + units;
        return block_ == nullptr ? nullptr : reinterpret_cast<T*>(block_ + start);
    }

    // One slice of `count` units for each pointer given, in order.
    template <class... Slices>
    constexpr void take_each(std::int64_t count, Slices*&... slices) noexcept {
        ((slices = take<Slices>(count)), ...);
    }

    // Units taken so far, padding included; -1 after a failure.
    constexpr std::int64_t size() const noexcept { return used_; }
    constexpr bool failed() const noexcept { return used_ < 0; }

private:
    static constexpr std::int64_t max_units = INT64_MAX / unit_bytes;

    template <class T>
    constexpr T* fail() noexcept {
        used_ = -1;
        return nullptr;
    }

    Unit* block_ = nullptr;
    std::int64_t used_ = 0;
};

// The float64 kernels' scratch: doubles, slices on cache lines.
using workspace = basic_workspace<double>;

}  // namespace zelvane
