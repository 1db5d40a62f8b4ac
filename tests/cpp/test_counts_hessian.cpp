// The two back ends of the counts fit's Hessian against H written out dense
// from its definition: lambda G + sum_i w_i a_i a_i' + the tails' terms, with
// a unit row for each held variable. Solves, the energy d'Hd, the diagonal
// of H^-1 and each bin's a_i' H^-1 a_i; on the band (any refine) and on the
// envelope (refine 2 and above), and on the band factorised by rotations, with
// empty bins, held knots, a tied tail on an end knot and a free tail's own
// variable.
#include "kernels/counts_hessian.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "dense_inverse.hpp"
#include "kernels/smooth_fit.hpp"

namespace {

namespace ch = zelvane::counts_hessian;
using vec = std::vector<double>;
using matrix = std::vector<vec>;

// A random problem's terms, and the storage behind them.
struct problem {
    std::int64_t bins, refine, knots, variables;
    vec h, stencil, curvature, weight, p, bin_weight, tail_weight;
    std::vector<unsigned char> state;
    ch::tail_bin tails[ch::max_tails];
    ch::terms terms;

    problem(std::int64_t b, std::int64_t r, std::mt19937_64& random)
        : bins(b), refine(r), knots(b * r + 1), variables(knots + 1) {
        std::uniform_real_distribution<double> unit(0.2, 1.0);
        namespace sf = zelvane::smooth_fit;
        for (std::int64_t i = 0; i < bins; ++i) {
            const double width = unit(random) / static_cast<double>(bins);
            for (std::int64_t s = 0; s < refine; ++s) h.push_back(width / static_cast<double>(refine));
        }
        stencil.assign(static_cast<std::size_t>(4 * knots), 0.0);
        curvature.assign(static_cast<std::size_t>(3 * knots), 0.0);
        for (std::int64_t t = 1; t + 1 < knots; ++t) {
            double* const w = stencil.data() + 4 * t;
            sf::curvature_stencil(h.data(), t, w);
            for (int a = 0; a < 3; ++a) {
                for (int c = 0; c <= a; ++c) curvature[static_cast<std::size_t>(3 * (t - 1 + a) + 2 - (a - c))] += w[3] * w[a] * w[c];
            }
        }
        for (std::int64_t i = 0; i < bins; ++i) {
            for (std::int64_t s = 0; s <= refine; ++s) weight.push_back(sf::trapezoid_weight(h.data(), i, s, refine));
        }
        // Bin 1 empty (weight 0); the others q / p^2 of random shares.
        for (std::int64_t i = 0; i < bins; ++i) {
            p.push_back(unit(random) / static_cast<double>(bins));
            const double q = i == 1 ? 0.0 : unit(random) / static_cast<double>(bins);
            bin_weight.push_back(q == 0.0 ? 0.0 : q / (p.back() * p.back()));
        }
        // A tied tail on the last knot, a free tail of its own variable on the left.
        tails[1] = {knots - 1, 0.3, 0.05};
        tails[0] = {knots, 1.0, 0.02};
        p.push_back(tails[0].weight * 0.01);
        p.push_back(tails[1].weight * 0.5);
        for (int k = 0; k < ch::max_tails; ++k) {
            const double mass = p[static_cast<std::size_t>(bins + k)];
            tail_weight.push_back(tails[k].share / (mass * mass) * tails[k].weight * tails[k].weight);
        }
        // Knots held here and there, never a whole bin's.
        state.assign(static_cast<std::size_t>(variables), ch::free_knot);
        for (std::int64_t j = 3; j < knots; j += 7) state[static_cast<std::size_t>(j)] = ch::held_knot;
        terms = {bins, refine, knots, variables, stencil.data(), curvature.data(), weight.data(), tails,
                 p.data(), bin_weight.data(), tail_weight.data(), state.data(), nullptr};
    }

    bool free(std::int64_t j) const { return state[static_cast<std::size_t>(j)] == ch::free_knot; }

    // H dense, from the definition.
    matrix dense(double lambda) const {
        const auto n = static_cast<std::size_t>(variables);
        matrix a(n, vec(n, 0.0));
        for (std::int64_t t = 1; t + 1 < knots; ++t) {
            const double* const w = stencil.data() + 4 * t;
            for (int x = 0; x < 3; ++x) {
                for (int y = 0; y < 3; ++y) {
                    a[static_cast<std::size_t>(t - 1 + x)][static_cast<std::size_t>(t - 1 + y)] += lambda * w[3] * w[x] * w[y];
                }
            }
        }
        for (std::int64_t i = 0; i < bins; ++i) {
            for (std::int64_t s = 0; s <= refine; ++s) {
                for (std::int64_t u = 0; u <= refine; ++u) {
                    a[static_cast<std::size_t>(i * refine + s)][static_cast<std::size_t>(i * refine + u)] +=
                        bin_weight[static_cast<std::size_t>(i)] * a_of(i, s) * a_of(i, u);
                }
            }
        }
        for (int k = 0; k < ch::max_tails; ++k) {
            const auto v = static_cast<std::size_t>(tails[k].variable);
            a[v][v] += tail_weight[static_cast<std::size_t>(k)];
        }
        for (std::size_t j = 0; j < n; ++j) {
            if (free(static_cast<std::int64_t>(j))) continue;
            for (std::size_t k = 0; k < n; ++k) a[j][k] = a[k][j] = 0.0;
            a[j][j] = 1.0;
        }
        return a;
    }
    double a_of(std::int64_t bin, std::int64_t s) const {
        return weight[static_cast<std::size_t>(bin * (refine + 1) + s)];
    }
};

using zelvane::testing::dense_inverse;

template <class back_end_type>
void check_against_dense(back_end_type& back_end, const problem& pr, double lambda, std::mt19937_64& random) {
    const matrix a = pr.dense(lambda), z = dense_inverse(a);
    const auto n = static_cast<std::size_t>(pr.variables);
    ASSERT_EQ(back_end.factor(lambda), ch::status::ok);
    std::normal_distribution<double> normal;
    vec b(n), d(n);
    for (std::size_t j = 0; j < n; ++j) {
        b[j] = pr.free(static_cast<std::int64_t>(j)) ? normal(random) : 0.0;
        d[j] = pr.free(static_cast<std::int64_t>(j)) ? normal(random) : 0.0;
    }
    vec x = b, y = d;
    back_end.solve_pair(x.data(), y.data());
    double scale = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        double want_x = 0.0, want_y = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            want_x += z[j][k] * b[k];
            want_y += z[j][k] * d[k];
        }
        scale = std::max(scale, std::fabs(want_x));
        EXPECT_NEAR(x[j], want_x, 1e-8 * (1.0 + std::fabs(want_x))) << "solve, variable " << j;
        EXPECT_NEAR(y[j], want_y, 1e-8 * (1.0 + std::fabs(want_y))) << "paired solve, variable " << j;
    }
    double energy = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = 0; k < n; ++k) energy += d[j] * a[j][k] * d[k];
    }
    EXPECT_NEAR(back_end.energy(lambda, d.data()), energy, 1e-10 * energy);
    back_end.invert();
    for (std::size_t j = 0; j < n; ++j) {
        if (!pr.free(static_cast<std::int64_t>(j))) continue;
        EXPECT_NEAR(back_end.inverse_at(static_cast<std::int64_t>(j)), z[j][j], 1e-8 * z[j][j]) << "variable " << j;
    }
    for (std::int64_t i = 0; i < pr.bins; ++i) {
        if (pr.bin_weight[static_cast<std::size_t>(i)] == 0.0) continue;
        double want = 0.0;
        for (std::int64_t s = 0; s <= pr.refine; ++s) {
            for (std::int64_t u = 0; u <= pr.refine; ++u) {
                const std::int64_t js = i * pr.refine + s, ju = i * pr.refine + u;
                if (pr.free(js) && pr.free(ju)) {
                    want += pr.a_of(i, s) * z[static_cast<std::size_t>(js)][static_cast<std::size_t>(ju)] * pr.a_of(i, u);
                }
            }
        }
        // The envelope's (1 + lambda Z_ii / w_i) / w_i cancels where lambda is
        // large against w_i: a looser bound than the band's direct sum needs.
        EXPECT_NEAR(back_end.bin_inverse(i), want, 1e-5 * want) << "bin " << i;
    }
}

// Gives the back end its scratch, as the Newton iteration does, then checks it.
template <class back_end_type>
void check_back_end(back_end_type& back_end, const problem& pr, double lambda, std::mt19937_64& random) {
    zelvane::workspace counting;
    back_end.take_scratch(pr.terms, pr.variables, counting);
    vec block(static_cast<std::size_t>(counting.size()));
    zelvane::workspace carving(block.data());
    back_end.take_scratch(pr.terms, pr.variables, carving);
    check_against_dense(back_end, pr, lambda, random);
}

// The band factorised by rotations of H's square root alone, the fallback of
// both back ends, behind the same interface.
struct band_by_rotations : ch::band_hessian {
    ch::status factor(double lambda) noexcept { return factor_by_rotations(lambda); }
};

}  // namespace

TEST(CountsHessian, BackEndsAgainstTheDenseMatrix) {
    std::mt19937_64 random(47);
    for (const std::int64_t refine : {2, 4, 16, 20}) {
        for (const double lambda : {1e-4, 1e-2, 1.0}) {
            SCOPED_TRACE(testing::Message() << "refine " << refine << ", lambda " << lambda);
            problem pr(6, refine, random);
            {
                SCOPED_TRACE("band");
                ch::band_hessian band;
                check_back_end(band, pr, lambda, random);
            }
            {
                SCOPED_TRACE("envelope");
                ch::envelope_hessian envelope;
                check_back_end(envelope, pr, lambda, random);
            }
            {
                SCOPED_TRACE("band by rotations");
                band_by_rotations rotations;
                check_back_end(rotations, pr, lambda, random);
            }
        }
    }
}
