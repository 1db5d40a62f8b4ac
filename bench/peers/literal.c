/* The two fitters as plain C loops, the yardstick of the speed suite: the
 * relaxation runs its rule alone (stop after a pass with no interior move, or
 * after 128 passes), the exact fit runs its five loops one after the other.
 * Vectors are float pointers with element strides; every value is read from
 * and written to memory as the rules say. Built by the suite with the system
 * compiler and no contraction, so that its bits are comparable. */
#include <stdint.h>

typedef int64_t i64;

#define AT(v, s, i) ((v)[(i) * (s)])

static float estimate(float a, float p) { return (float)(2.0 * (double)a - (double)p); }

/* One interior step at i; returns whether the value moved. */
static int step(const float* average, float* prob, i64 sp, i64 i) {
    const float est1 = estimate(average[i - 1], AT(prob, sp, i - 1));
    const float est2 = estimate(average[i], AT(prob, sp, i + 1));
    float low = est1 < est2 ? est1 : est2;
    const float high = est1 > est2 ? est1 : est2;
    int moved = 0;
    if (low < 0.0f) low = 0.0f;
    if (AT(prob, sp, i) < low) { AT(prob, sp, i) = low; moved = 1; }
    if (AT(prob, sp, i) > high) { AT(prob, sp, i) = high; moved = 1; }
    return moved;
}

/* Returns the position of the first zero width, or -1; then the passes run. */
i64 literal_fitgapmass(const float* center, i64 sc, const float* gap, i64 sg, float* average,
                       float* prob, i64 sp, i64 n, int* passes) {
    for (i64 i = 0; i < n; ++i) {
        const float w = AT(center, sc, i + 1) - AT(center, sc, i);
        if (w == 0.0f) return i;
        average[i] = AT(gap, sg, i) / w;
    }
    AT(prob, sp, 0) = average[0];
    for (i64 i = 1; i < n; ++i) AT(prob, sp, i) = (average[i - 1] + average[i]) * 0.5f;
    AT(prob, sp, n) = average[n - 1];
    int pass;
    for (pass = 1; pass <= 128; ++pass) {
        int change = 0;
        for (i64 i = 1; i < n; ++i) change |= step(average, prob, sp, i);
        float v = estimate(average[n - 1], AT(prob, sp, n - 1));
        AT(prob, sp, n) = v < 0.0f ? 0.0f : v;
        for (i64 i = n - 1; i >= 1; --i) change |= step(average, prob, sp, i);
        v = estimate(average[0], AT(prob, sp, 1));
        AT(prob, sp, 0) = v < 0.0f ? 0.0f : v;
        if (!change) break;
    }
    *passes = pass > 128 ? 128 : pass;
    return -1;
}

/* n values, n - 1 gaps; gsum, low and high are contiguous scratch vectors. */
i64 literal_fitgapmass_meh(const float* center, i64 sc, const float* gap, i64 sg, float* gsum,
                           float* low, float* high, float* prob, i64 sp, i64 n) {
    const i64 m = n - 1;
    for (i64 i = 0; i < m; ++i) {
        const float w = AT(center, sc, i + 1) - AT(center, sc, i);
        if (w == 0.0f) return i;
        gsum[i] = (AT(gap, sg, i) + AT(gap, sg, i)) / w;
    }
    for (i64 i = 0; i < n; ++i) {
        low[i] = 0.0f;
        if (n < 2) continue;
        if (i == 0) high[i] = gsum[0];
        else if (i == n - 1) high[i] = gsum[n - 2];
        else high[i] = gsum[i - 1] < gsum[i] ? gsum[i - 1] : gsum[i];
    }
    for (i64 i = 0; i < m; ++i) {
        float v = gsum[i] - high[i];
        if (v > low[i + 1]) low[i + 1] = v;
        v = gsum[i] - low[i];
        if (v < high[i + 1]) high[i + 1] = v;
    }
    for (i64 i = m - 1; i >= 0; --i) {
        float v = gsum[i] - high[i + 1];
        if (v > low[i]) low[i] = v;
        v = gsum[i] - low[i + 1];
        if (v < high[i]) high[i] = v;
    }
    AT(prob, sp, 0) = low[0];
    for (i64 i = 1; i < n; ++i) AT(prob, sp, i) = gsum[i - 1] - AT(prob, sp, i - 1);
    return -1;
}
