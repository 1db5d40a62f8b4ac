// The workspace that sizes and carves the kernels' scratch: a counting walk
// and a carving walk over the same slices agree, every slice is aligned and
// inside the block, a size beyond std::int64_t is refused; and every fit that
// takes scratch writes nothing past the size it asks for.
#include "kernels/workspace.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/counts_fit.hpp"
#include "kernels/open_fit.hpp"
#include "kernels/smooth_fit.hpp"

namespace {

using zelvane::workspace;
using vec = std::vector<double>;

// A walk over slices of doubles and of bytes, as a kernel's layout makes it.
struct request {
    std::int64_t count;
    bool bytes;
};

std::vector<void*> walk(workspace& w, const std::vector<request>& requests) {
    std::vector<void*> slices;
    for (const request& r : requests) {
        slices.push_back(r.bytes ? static_cast<void*>(w.take<unsigned char>(r.count)) : w.take(r.count));
    }
    return slices;
}

}  // namespace

// Counted and carved, the same requests give the same size; the slices lie
// in order inside the block, each on a cache line from the block's start and
// long enough for what was asked, and the bytes of one never reach the next.
TEST(Workspace, CountingAndCarvingAgree) {
    std::mt19937_64 random(41);
    std::uniform_int_distribution<std::int64_t> count(0, 200);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<request> requests(static_cast<std::size_t>(1 + trial % 12));
        for (request& r : requests) r = {count(random), (random() & 3) == 0};
        workspace counting;
        const std::vector<void*> none = walk(counting, requests);
        ASSERT_FALSE(counting.failed());
        for (void* p : none) EXPECT_EQ(p, nullptr);
        std::vector<double> block(static_cast<std::size_t>(counting.size()));
        workspace carving(block.data());
        const std::vector<void*> slices = walk(carving, requests);
        EXPECT_EQ(carving.size(), counting.size());
        const auto* base = reinterpret_cast<const char*>(block.data());
        std::int64_t end = 0;  // bytes from the block's start to the end of the last slice
        for (std::size_t k = 0; k < slices.size(); ++k) {
            const std::int64_t offset = static_cast<const char*>(slices[k]) - base;
            const std::int64_t bytes = requests[k].count * (requests[k].bytes ? 1 : 8);
            EXPECT_EQ(offset % workspace::alignment, 0) << "slice " << k;
            EXPECT_GE(offset, end) << "slice " << k;
            end = offset + bytes;
            EXPECT_LE(end, counting.size() * 8) << "slice " << k;
        }
    }
}

// Sizes in doubles whose bytes would pass std::int64_t, negative counts, and
// a sum that overflows are refused: size() -1, every later slice null.
TEST(Workspace, OverflowAndNegativeCountsAreRefused) {
    const std::int64_t most = std::numeric_limits<std::int64_t>::max() / 8;
    {
        workspace w;
        w.take(most - 64);
        EXPECT_FALSE(w.failed());
        w.take(64);
        EXPECT_TRUE(w.failed());
        EXPECT_EQ(w.size(), -1);
    }
    {
        workspace w;
        w.take(most / 2);
        w.take(most / 2 + 16);
        EXPECT_TRUE(w.failed());
    }
    {
        double block[16];
        workspace w(block);
        EXPECT_EQ(w.take(-1), nullptr);
        EXPECT_EQ(w.take(1), nullptr);
        EXPECT_EQ(w.size(), -1);
    }
    {
        workspace w;
        w.take<unsigned char>(8 * (most - 8) - 7);
        EXPECT_EQ(w.size(), most - 8);  // bytes round up to whole doubles
        w.take<unsigned char>(65);
        EXPECT_TRUE(w.failed());
    }
    // The fits refuse sizes whose scratch would pass std::int64_t.
    EXPECT_EQ(zelvane::smooth_fit::scratch_size(std::int64_t{1} << 47, 256), -1);
}

namespace {

constexpr double guard = -7.25e300;

// A scratch block of exactly `size` doubles followed by guards, NaN inside.
struct guarded {
    vec block;
    std::int64_t size;
    explicit guarded(std::int64_t doubles) : block(static_cast<std::size_t>(doubles + 64), guard), size(doubles) {
        std::fill(block.begin(), block.begin() + doubles, std::numeric_limits<double>::quiet_NaN());
    }
    bool intact() const {
        return std::all_of(block.begin() + size, block.end(), [](double x) { return x == guard; });
    }
};

vec edges_of(std::int64_t bins, std::mt19937_64& random) {
    std::uniform_real_distribution<double> width(0.5, 3.0);
    vec edges{0.0};
    for (std::int64_t i = 0; i < bins; ++i) edges.push_back(edges.back() + width(random));
    return edges;
}

vec counts_of(std::int64_t bins, std::mt19937_64& random, bool zeros) {
    std::uniform_int_distribution<int> count(zeros ? 0 : 1, 40);
    vec counts(static_cast<std::size_t>(bins));
    for (double& c : counts) c = count(random);
    counts[0] = 5.0;
    return counts;
}

}  // namespace

// Each fit, on every path that carves scratch (refine 1 and above, the band
// and the envelope of the counts fit, tails, a known mean), succeeds in a
// block of exactly the size it asks for and writes nothing beyond it.
TEST(ScratchOfEveryFit, NothingWrittenPastTheSizeAskedFor) {
    namespace sf = zelvane::smooth_fit;
    namespace cf = zelvane::counts_fit;
    namespace of = zelvane::open_fit;
    std::mt19937_64 random(43);
    std::int64_t open_fits = 0;
    for (const std::int64_t refine : {1, 2, 5, 15, 16, 33}) {
        for (const std::int64_t bins : {1, 3, 12}) {
            SCOPED_TRACE(testing::Message() << bins << " bins, refine " << refine);
            const vec edges = edges_of(bins, random);
            const vec counts = counts_of(bins, random, bins > 3);
            vec values(static_cast<std::size_t>(sf::knot_count(bins, refine)));

            guarded smooth(sf::scratch_size(bins, refine));
            const auto s = sf::fit(edges.data(), counts.data(), bins, refine, values.data(), smooth.block.data());
            EXPECT_TRUE(s.code == sf::status::ok || (refine == 1 && s.code == sf::status::infeasible));
            EXPECT_TRUE(smooth.intact());

            for (const double smoothing : {1e-3, cf::automatic}) {
                guarded counted(cf::scratch_size(bins, refine));
                cf::open_ends ends;
                if (refine > 1 && bins > 1) {
                    ends.left = {cf::tail::form::free_mass, 4.0, 0.0};
                    ends.right = {cf::tail::form::tied, 3.0, 0.5};
                }
                const auto c = cf::fit(edges.data(), counts.data(), bins, refine, {smoothing}, values.data(),
                                       counted.block.data(), ends);
                EXPECT_EQ(c.code, cf::status::ok) << "smoothing " << smoothing;
                EXPECT_TRUE(counted.intact()) << "smoothing " << smoothing;
            }

            if (refine < 2 || bins < 3) continue;
            vec open = edges;
            open.front() = -std::numeric_limits<double>::infinity();
            open.back() = std::numeric_limits<double>::infinity();
            for (const bool with_counts : {false, true}) {
                guarded tails(of::scratch_size(bins, refine));
                of::settings setting;
                setting.smoothing = with_counts ? cf::automatic : 0.0;
                setting.has_mean = true;
                setting.mean = 0.5 * (edges[1] + edges[static_cast<std::size_t>(bins) - 1]);
                vec body(values.size());
                const auto o = of::fit(open.data(), counts.data(), bins, refine, setting, body.data(),
                                       tails.block.data());
                // Met or out of reach, the search for the mean ran its course.
                open_fits += o.code == of::status::ok || o.code == of::status::unreachable_mean ? 1 : 0;
                EXPECT_TRUE(tails.intact()) << "counts " << with_counts;
            }
        }
    }
    // Most searched for their mean to the end (a few three-bin bodies have no fit).
    EXPECT_GE(open_fits, 14);
}
