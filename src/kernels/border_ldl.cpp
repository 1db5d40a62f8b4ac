// LDL' on the envelope: row by row, each entry of L from the entries of the
// rows above that fall inside both windows. With u_pk = l_pk d_k,
//     u_pk = a_pk - sum_m u_pm l_km   (m inside both windows, below k)
//     d_p  = a_pp - sum_k u_pk l_pk.
// A knot row's window is three places, so its entries cost a fixed handful of
// operations; a bin row's window is refine + 2 places, but every column k in
// it is a knot (or the previous bin, one place after the window's start)
// whose own window reaches at most three places back, so each of its entries
// costs at most three products as well.
#include "kernels/border_ldl.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/smooth_wide.hpp"

namespace zelvane::border_ldl {

namespace {

using smooth_wide::magnitude;
using smooth_wide::usable;

// Row p of a knot, columns p - 3 .. p - 1 (those below 0 skipped); returns the
// pivot. The unrolled form serves p >= 3.
template <class T>
T knot_row(T* near, const T* diagonal, std::int64_t p) noexcept {
    T* const l = near + 3 * p;
    if (p >= 3) {
        const T u0 = l[0];
        const T u1 = l[1] - u0 * near[3 * (p - 2) + 2];
        const T u2 = l[2] - u0 * near[3 * (p - 1) + 1] - u1 * near[3 * (p - 1) + 2];
        l[0] = u0 * diagonal[p - 3];
        l[1] = u1 * diagonal[p - 2];
        l[2] = u2 * diagonal[p - 1];
        return diagonal[p] - u0 * l[0] - u1 * l[1] - u2 * l[2];
    }
    T pivot = diagonal[p];
    for (std::int64_t s = 3 - p; s < 3; ++s) {
        const std::int64_t k = p - 3 + s;
        T u = l[s];
        for (std::int64_t e = std::max<std::int64_t>(3 - p, s - 3); e < s; ++e) u -= l[e] * near[3 * k + (e - s + 3)];
        l[s] = u;
    }
    for (std::int64_t s = 3 - p; s < 3; ++s) {
        const T u = l[s];
        l[s] = u * diagonal[p - 3 + s];
        pivot -= u * l[s];
    }
    return pivot;
}

// Place (k, i), k > i inside row k's window, of a system's storage: a bin
// row's in border, a knot row's in near.
struct places {
    const system& m;
    std::int64_t width;
    bool bin_row(std::int64_t k) const noexcept { return k > 0 && k % (m.refine + 1) == 0; }
    double& at(std::int64_t k, std::int64_t i) const noexcept {
        if (bin_row(k)) return m.border[(k / (m.refine + 1) - 1) * width + (i - (k - width))];
        return m.near[3 * k + (i - k + 3)];
    }
};

}  // namespace

void inverse(const system& m, const system& z) noexcept {
    const std::int64_t r = m.refine, width = r + 2, n = m.size();
    const places l{m, width}, zs{z, width};
    // The 2 x 2 block of the last two positions, inverted as it stands.
    {
        const double a = m.diagonal[n - 2], b = m.border[(m.bins - 1) * width + width - 1], c = m.diagonal[n - 1];
        const double det = a * c - b * b;
        z.diagonal[n - 2] = c / det;
        z.diagonal[n - 1] = a / det;
        zs.at(n - 1, n - 2) = -b / det;
    }
    auto z_at = [&](std::int64_t a, std::int64_t b) -> double {
        if (a == b) return z.diagonal[a];
        return a > b ? zs.at(a, b) : zs.at(b, a);
    };
    for (std::int64_t i = n - 3; i >= 0; --i) {
        // Rows below i whose window holds i: knot rows up to three on, bin
        // rows whose window of refine + 2 places reaches back to i.
        std::int64_t below[5];
        int count = 0;
        for (std::int64_t k = i + 1; k <= std::min(i + 3, n - 1); ++k) {
            if (!l.bin_row(k)) below[count++] = k;
        }
        for (std::int64_t q = (i / (r + 1) + 1) * (r + 1); q <= std::min(i + width, n - 1); q += r + 1) {
            below[count++] = q;
        }
        double diagonal = m.diagonal[i];
        for (int a = 0; a < count; ++a) {
            double sum = 0.0;
            for (int b = 0; b < count; ++b) sum += l.at(below[b], i) * z_at(below[a], below[b]);
            zs.at(below[a], i) = -sum;
        }
        for (int a = 0; a < count; ++a) diagonal -= l.at(below[a], i) * zs.at(below[a], i);
        z.diagonal[i] = diagonal;
    }
}

template <class T>
std::int64_t factor(const basic_system<T>& m) noexcept {
    const std::int64_t r = m.refine, width = r + 2, n = m.size();
    T* const near = m.near;
    T* const d = m.diagonal;  // reciprocal pivots as they are found
    for (std::int64_t i = 0; i < m.bins; ++i) {
        if (m.stop != nullptr && i % stop_interval == stop_interval - 1 && m.stop->load(std::memory_order_relaxed)) {
            return stopped;
        }
        const std::int64_t base = i * (r + 1);
        for (std::int64_t t = i == 0 ? 0 : 1; t <= r; ++t) {
            const std::int64_t p = base + t;
            const T pivot = knot_row(near, d, p);
            if (p == n - 2) {
                d[p] = pivot;  // the 2 x 2 block's first entry
                continue;
            }
            if (!usable(pivot)) return p;
            d[p] = T(1.0) / pivot;
        }
        const std::int64_t q = base + r + 1, w = q - width;
        const bool last = q == n - 1;
        T* const row = m.border + i * width;
        const std::int64_t first = w < 0 ? 1 : 0;
        for (std::int64_t s = first; s < width; ++s) {
            const std::int64_t k = w + s;
            T u = row[s];
            for (std::int64_t e = std::max(first, s - 3); e < s; ++e) u -= row[e] * near[3 * k + (e - s + 3)];
            row[s] = u;
        }
        T pivot = d[q];
        for (std::int64_t s = first; s < width - (last ? 1 : 0); ++s) {
            const T u = row[s];
            row[s] = u * d[w + s];
            pivot -= u * row[s];
        }
        std::copy(row + width - 3, row + width, near + 3 * q);
        if (last) {
            d[q] = pivot;
            const T a = d[q - 1], b = row[width - 1], c = pivot;
            const bool swapped = magnitude(b) > magnitude(a);
            const T top = swapped ? b : a, rest = swapped ? b - c * (a / b) : c - b * (b / a);
            if (!usable(top) || !usable(rest)) return q - 1;
        } else {
            if (!usable(pivot)) return q;
            d[q] = T(1.0) / pivot;
        }
    }
    return -1;
}

template <class T>
void solve(const basic_system<T>& m, T* x) noexcept {
    const std::int64_t r = m.refine, width = r + 2, n = m.size(), bins = m.bins;
    const T* const near = m.near;
    const T* const d = m.diagonal;
    // L z = b.
    for (std::int64_t i = 0; i < bins; ++i) {
        const std::int64_t base = i * (r + 1);
        for (std::int64_t t = i == 0 ? 0 : 1; t <= r; ++t) {
            const std::int64_t p = base + t;
            const T* const l = near + 3 * p;
            if (p >= 3) {
                x[p] -= l[0] * x[p - 3] + l[1] * x[p - 2] + l[2] * x[p - 1];
            } else {
                for (std::int64_t s = 3 - p; s < 3; ++s) x[p] -= l[s] * x[p - 3 + s];
            }
        }
        const std::int64_t q = base + r + 1, w = q - width;
        const T* const row = m.border + i * width;
        const std::int64_t end = width - (q == n - 1 ? 1 : 0);
        T sum = 0.0;
        for (std::int64_t s = w < 0 ? 1 : 0; s < end; ++s) sum += row[s] * x[w + s];
        x[q] -= sum;
    }
    // D, and the 2 x 2 block of the last two positions.
    for (std::int64_t p = 0; p < n - 2; ++p) x[p] *= d[p];
    {
        const T a = d[n - 2], b = m.border[(bins - 1) * width + width - 1], c = d[n - 1];
        const T y0 = x[n - 2], y1 = x[n - 1];
        T x0, x1;
        if (magnitude(b) > magnitude(a)) {
            // Rows interchanged: [b c; a b].
            const T l = a / b;
            x1 = (y0 - l * y1) / (b - l * c);
            x0 = (y1 - c * x1) / b;
        } else {
            const T l = b / a;
            x1 = (y1 - l * y0) / (c - l * b);
            x0 = (y0 - b * x1) / a;
        }
        x[n - 2] = x0;
        x[n - 1] = x1;
    }
    // L' x = z, column by column from the last.
    for (std::int64_t i = bins - 1; i >= 0; --i) {
        const std::int64_t base = i * (r + 1), q = base + r + 1, w = q - width;
        const T* const row = m.border + i * width;
        const T xq = x[q];
        const std::int64_t end = width - (q == n - 1 ? 1 : 0);
        for (std::int64_t s = w < 0 ? 1 : 0; s < end; ++s) x[w + s] -= row[s] * xq;
        for (std::int64_t t = r; t >= (i == 0 ? 0 : 1); --t) {
            const std::int64_t p = base + t;
            const T* const l = near + 3 * p;
            const T xp = x[p];
            if (p >= 3) {
                x[p - 3] -= l[0] * xp;
                x[p - 2] -= l[1] * xp;
                x[p - 1] -= l[2] * xp;
            } else {
                for (std::int64_t s = 3 - p; s < 3; ++s) x[p - 3 + s] -= l[s] * xp;
            }
        }
    }
}

template std::int64_t factor(const basic_system<double>&) noexcept;
template std::int64_t factor(const basic_system<smooth_wide::wide>&) noexcept;
template void solve(const basic_system<double>&, double*) noexcept;
template void solve(const basic_system<smooth_wide::wide>&, smooth_wide::wide*) noexcept;

}  // namespace zelvane::border_ldl
