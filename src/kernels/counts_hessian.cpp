// The terms of the counts fit's Hessian that both back ends and Newton's
// method read: see counts_hessian.hpp.
#include "kernels/counts_hessian.hpp"

namespace zelvane::counts_hessian {

double terms::curvature_of(const double* z) const noexcept {
    double bends = 0.0;
    for (std::int64_t t = 1; t + 1 < knots; ++t) {
        const double* const w = stencil + 4 * t;
        const double bend = w[0] * z[t - 1] + w[1] * z[t] + w[2] * z[t + 1];
        bends += w[3] * bend * bend;
    }
    return bends;
}

void terms::add_curvature(double lambda, const double* z, double* out) const noexcept {
    for (std::int64_t t = 1; t + 1 < knots; ++t) {
        const double* const w = stencil + 4 * t;
        const double bend = lambda * w[3] * (w[0] * z[t - 1] + w[1] * z[t] + w[2] * z[t + 1]);
        for (int k = 0; k < 3; ++k) out[t - 1 + k] += w[k] * bend;
    }
}

}  // namespace zelvane::counts_hessian
