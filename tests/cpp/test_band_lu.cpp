// Band LU against dense Gaussian elimination on random band matrices of every
// half width the kernels compile specially and one they do not, with zero
// diagonals (as the multiplier rows of a KKT system have) so that pivoting is
// needed, and the singular case.
#include "kernels/band_lu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace {

namespace lu = zelvane::band_lu;
using dense = std::vector<std::vector<double>>;

// Dense elimination with partial pivoting: the reference.
std::vector<double> dense_solve(dense a, std::vector<double> b) {
    const std::size_t n = b.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        for (std::size_t i = k + 1; i < n; ++i) {
            if (std::fabs(a[i][k]) > std::fabs(a[p][k])) p = i;
        }
        std::swap(a[k], a[p]);
        std::swap(b[k], b[p]);
        for (std::size_t i = k + 1; i < n; ++i) {
            const double l = a[i][k] / a[k][k];
            for (std::size_t j = k; j < n; ++j) a[i][j] -= l * a[k][j];
            b[i] -= l * b[k];
        }
    }
    std::vector<double> x(n);
    for (std::size_t k = n; k-- > 0;) {
        double s = b[k];
        for (std::size_t j = k + 1; j < n; ++j) s -= a[k][j] * x[j];
        x[k] = s / a[k][k];
    }
    return x;
}

struct banded {
    dense full;
    std::vector<double> storage;
    lu::band m;
};

banded random_band(std::int64_t n, int half, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    banded b{dense(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(n), 0.0)),
              std::vector<double>(static_cast<std::size_t>(n * lu::row_width(half)), 0.0), {}};
    b.m = {b.storage.data(), n, half};
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t j = std::max<std::int64_t>(0, i - half); j <= std::min(n - 1, i + half); ++j) {
            // Every third diagonal entry zero: the first step there must pivot.
            const double x = i == j && i % 3 == 0 ? 0.0 : value(rng);
            b.full[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = x;
            b.m.at(i, j) = x;
        }
    }
    return b;
}

TEST(BandLu, AgreesWithDenseElimination) {
    std::mt19937_64 rng(7);
    for (const int half : {1, 2, 3, 4, 6}) {
        for (const std::int64_t n : {1, 2, 5, 13, 40}) {
            SCOPED_TRACE(testing::Message() << "half " << half << ", order " << n);
            banded b = random_band(n, half, rng);
            if (n == 1) b.full[0][0] = b.m.at(0, 0) = 2.0;
            std::vector<double> rhs(static_cast<std::size_t>(n));
            for (double& x : rhs) x = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
            const std::vector<double> want = dense_solve(b.full, rhs);
            std::vector<unsigned char> swap(static_cast<std::size_t>(n));
            ASSERT_EQ(lu::factor(b.m, swap.data()), -1);
            std::vector<double> x = rhs;
            lu::solve(b.m, swap.data(), x.data());
            for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], want[i], 1e-9 * (1.0 + std::fabs(want[i])));
            for (const unsigned char s : swap) EXPECT_LE(s, half);
        }
    }
}

// A zero column stops the factorisation at its step.
TEST(BandLu, ReportsTheSingularStep) {
    std::mt19937_64 rng(11);
    banded b = random_band(12, 3, rng);
    for (std::int64_t i = 2; i <= 8; ++i) b.m.at(i, 5) = 0.0;
    std::vector<unsigned char> swap(12);
    EXPECT_EQ(lu::factor(b.m, swap.data()), 5);
}

}  // namespace
