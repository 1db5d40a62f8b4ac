// Band Cholesky against dense elimination on random positive definite band
// matrices of every half width the kernels compile specially and wider ones:
// the solves, the paired solve (the same bits as two single ones), the band of
// the inverse, and the report of a matrix that is not positive definite.
#include "kernels/band_cholesky.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

namespace bc = zelvane::band_cholesky;
using dense = std::vector<std::vector<double>>;

struct banded {
    dense full;
    std::vector<double> storage;
    bc::band m;
};

// B B' + shift I for a random band B: symmetric, positive definite, with the
// band of B B'.
banded random_spd(std::int64_t n, int half, double shift, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    const auto un = static_cast<std::size_t>(n);
    dense b(un, std::vector<double>(un, 0.0));
    for (std::size_t i = 0; i < un; ++i) {
        for (std::size_t j = i; j < std::min(un, i + static_cast<std::size_t>(half + 1) / 2 + 1); ++j) {
            b[i][j] = value(rng);
        }
    }
    banded out{dense(un, std::vector<double>(un, 0.0)),
               std::vector<double>(static_cast<std::size_t>(n * bc::row_width(half)), 0.0), {}};
    out.m = {out.storage.data(), n, half};
    for (std::size_t i = 0; i < un; ++i) {
        for (std::size_t j = 0; j < un; ++j) {
            double s = i == j ? shift : 0.0;
            for (std::size_t k = 0; k < un; ++k) s += b[i][k] * b[j][k];
            out.full[i][j] = s;
        }
    }
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t j = std::max<std::int64_t>(0, i - half); j <= i; ++j) {
            const double x = out.full[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
            EXPECT_EQ(x, out.full[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)]);
            out.m.at(i, j) = x;
        }
        for (std::int64_t j = 0; j < i - half; ++j) {
            EXPECT_EQ(out.full[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)], 0.0) << "outside the band";
        }
    }
    return out;
}

// Gauss-Jordan inverse of a symmetric positive definite matrix (no pivoting needed).
dense dense_inverse(dense a) {
    const std::size_t n = a.size();
    dense x(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) x[i][i] = 1.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double p = a[k][k];
        for (std::size_t j = 0; j < n; ++j) {
            a[k][j] /= p;
            x[k][j] /= p;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (i == k) continue;
            const double l = a[i][k];
            for (std::size_t j = 0; j < n; ++j) {
                a[i][j] -= l * a[k][j];
                x[i][j] -= l * x[k][j];
            }
        }
    }
    return x;
}

TEST(BandCholesky, SolvesAndInverseAgainstDense) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (const int half : {1, 2, 3, 4, 5, 8, 9, 13}) {
        for (const std::int64_t n : {1, 2, 5, 17, 60}) {
            banded b = random_spd(n, half, 0.1, rng);
            const dense inverse = dense_inverse(b.full);
            ASSERT_EQ(bc::factor(b.m), -1) << "half " << half << ", n " << n;
            std::vector<double> x(static_cast<std::size_t>(n)), y(x.size()), x2(x.size()), y2(x.size());
            for (std::size_t i = 0; i < x.size(); ++i) {
                x[i] = x2[i] = value(rng);
                y[i] = y2[i] = value(rng);
            }
            const std::vector<double> rhs = x;
            bc::solve(b.m, x.data());
            bc::solve(b.m, y.data());
            bc::solve_pair(b.m, x2.data(), y2.data());
            for (std::size_t i = 0; i < x.size(); ++i) {
                double expected = 0.0;
                for (std::size_t j = 0; j < x.size(); ++j) expected += inverse[i][j] * rhs[j];
                EXPECT_NEAR(x[i], expected, 1e-9 * (1.0 + std::fabs(expected))) << "half " << half << ", n " << n;
                EXPECT_EQ(x2[i], x[i]);
                EXPECT_EQ(y2[i], y[i]);
            }
            std::vector<double> band(b.storage.size(), -1.0);
            const bc::band z{band.data(), n, half};
            EXPECT_TRUE(bc::inverse_band(b.m, z));
            // A stop flag that stays down changes no bit; one that is up ends it unfinished.
            std::vector<double> watched(b.storage.size(), -1.0), stopped(b.storage.size(), -1.0);
            std::atomic<bool> down{false}, up{true};
            EXPECT_TRUE(bc::inverse_band(b.m, {watched.data(), n, half}, &down));
            EXPECT_EQ(watched, band);
            EXPECT_FALSE(bc::inverse_band(b.m, {stopped.data(), n, half}, &up));
            for (std::int64_t i = 0; i < n; ++i) {
                for (std::int64_t j = std::max<std::int64_t>(0, i - half); j <= i; ++j) {
                    const double expected = inverse[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
                    EXPECT_NEAR(z.at(i, j), expected, 1e-9 * (1.0 + std::fabs(expected)))
                        << "half " << half << ", n " << n << ", (" << i << ", " << j << ")";
                }
            }
        }
    }
}

TEST(BandCholesky, ReportsTheFirstRowThatIsNotPositiveDefinite) {
    std::mt19937_64 rng(7);
    for (const int half : {2, 4, 11}) {
        banded b = random_spd(30, half, 0.5, rng);
        // Row 12's diagonal made too small for any positive pivot.
        b.m.at(12, 12) = -1.0;
        EXPECT_EQ(bc::factor(b.m), 12);
        banded c = random_spd(30, half, 0.5, rng);
        c.m.at(0, 0) = std::nan("");
        EXPECT_EQ(bc::factor(c.m), 0);
    }
}

}  // namespace
