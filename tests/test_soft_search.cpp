// SPDX-License-Identifier: BSD-3-Clause
// Soft-output search: enumeration of every point, the hard search at clip = 0, node caps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "detect/soft_search.h"
#include "detect/soft_search_internal.h"
#include "detect/sphere_search_internal.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();

struct soft_problem {
    std::int64_t n = 0;
    std::vector<std::int32_t> bits;
    std::vector<std::uint32_t> labels;  // empty: Gray
    std::vector<double> y, R, La;       // La empty: no priors
    double n0 = 1.0;
    double clip = inf;
    std::int64_t B() const { return std::accumulate(bits.begin(), bits.end(), std::int64_t{0}); }
    soft_levels levels() const {
        return {n, bits.data(), labels.empty() ? nullptr : labels.data()};
    }
};

struct soft_answer {
    search_status status;
    std::vector<double> L, symb;
    std::int64_t nodes;
};

soft_answer run(const soft_problem& p, std::int64_t max_nodes = 0) {
    soft_answer a;
    a.L.assign(p.B(), -7.0);
    a.symb.assign(p.n, -7.0);
    // scratch full of garbage: the search must set up what it reads
    std::vector<double> scratch(soft_scratch_size(p.n, p.B()),
                                std::numeric_limits<double>::quiet_NaN());
    soft_search_options options;
    options.max_nodes = max_nodes;
    a.status = find_bit_llrs_with(p.y.data(), p.R.data(), p.levels(), p.n0, p.clip,
                                  p.La.empty() ? nullptr : p.La.data(), a.L.data(), a.symb.data(),
                                  &a.nodes, scratch.data(), options);
    return a;
}

std::uint32_t label(const soft_problem& p, std::int64_t k, std::uint32_t a) {
    if (p.labels.empty()) return a ^ (a >> 1);
    std::int64_t off = 0;
    for (std::int64_t i = 0; i < k; ++i) off += std::int64_t{1} << p.bits[i];
    return p.labels[off + a];
}

// The reference: every point, its metric d/n0 + sum La*bit, the least metric of each bit
// value, and the scale of the metrics' rounding errors.
struct enumeration {
    std::vector<double> L;  // clipped max-log LLRs
    double best = inf;      // least metric
    double scale = 0.0;     // tolerance unit
};

double metric_of(const soft_problem& p, const std::vector<double>& s) {
    const std::int64_t n = p.n;
    double d = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        double e = p.y[i];
        for (std::int64_t j = i; j < n; ++j) e -= p.R[i + j * n] * s[j];
        d += e * e;
    }
    double m = d / p.n0;
    if (!p.La.empty()) {
        std::int64_t b = 0;
        for (std::int64_t k = 0; k < n; ++k) {
            const auto a = static_cast<std::uint32_t>((s[k] + ((1 << p.bits[k]) - 1)) / 2);
            const std::uint32_t lab = label(p, k, a);
            for (std::int32_t j = 0; j < p.bits[k]; ++j, ++b) {
                if ((lab >> (p.bits[k] - 1 - j)) & 1u) m += p.La[b];
            }
        }
    }
    return m;
}

enumeration enumerate(const soft_problem& p) {
    const std::int64_t n = p.n, B = p.B();
    std::vector<double> best0(B, inf), best1(B, inf);
    std::vector<std::uint32_t> a(n, 0);
    std::vector<double> s(n);
    enumeration out;
    for (;;) {
        for (std::int64_t k = 0; k < n; ++k) s[k] = 2.0 * a[k] - ((1 << p.bits[k]) - 1);
        const double m = metric_of(p, s);
        out.best = std::min(out.best, m);
        std::int64_t b = 0;
        for (std::int64_t k = 0; k < n; ++k) {
            const std::uint32_t lab = label(p, k, a[k]);
            for (std::int32_t j = 0; j < p.bits[k]; ++j, ++b) {
                double& slot = ((lab >> (p.bits[k] - 1 - j)) & 1u) ? best1[b] : best0[b];
                slot = std::min(slot, m);
            }
        }
        std::int64_t k = 0;
        while (k < n && a[k] == (1u << p.bits[k]) - 1) a[k++] = 0;
        if (k == n) break;
        ++a[k];
    }
    out.L.resize(B);
    for (std::int64_t b = 0; b < B; ++b) {
        const double v = best1[b] - best0[b];
        out.L[b] = std::copysign(std::min(std::fabs(v), p.clip), v);
    }
    // rounding of d: terms of size (|y| + sum |R||s|)^2; of the priors: sum |La|
    double size = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        double t = std::fabs(p.y[i]);
        for (std::int64_t j = i; j < n; ++j)
            t += std::fabs(p.R[i + j * n]) * ((1 << p.bits[j]) - 1);
        size += t * t;
    }
    double prior = 0.0;
    for (double v : p.La) prior += std::fabs(v);
    out.scale = size / p.n0 + prior + 1.0;
    return out;
}

// Empty when the answer agrees with the enumeration: L within 1e-12 of the metrics' scale,
// symb a point of the alphabet with the least metric.
std::string disagreement(const soft_problem& p, const enumeration& ref, const soft_answer& a) {
    if (a.status != search_status::found) return "status is not found";
    const double tol = 1e-12 * ref.scale;
    for (std::int64_t b = 0; b < p.B(); ++b) {
        if (!(std::fabs(a.L[b] - ref.L[b]) <= tol)) {
            return "L[" + std::to_string(b) + "] = " + std::to_string(a.L[b]) + ", enumeration " +
                   std::to_string(ref.L[b]);
        }
        if (!(std::fabs(a.L[b]) <= p.clip)) return "L beyond the clip";
    }
    for (std::int64_t k = 0; k < p.n; ++k) {
        const double top = (1 << p.bits[k]) - 1;
        const double v = a.symb[k];
        if (!(std::fabs(v) <= top) || std::fmod(v + top, 2.0) != 0.0) return "symb not in alphabet";
    }
    const double m = metric_of(p, a.symb);
    if (!(m <= ref.best + tol)) return "symb is not of least metric";
    return "";
}

std::vector<std::uint32_t> random_labels(const std::vector<std::int32_t>& bits,
                                         std::mt19937_64& rng) {
    std::vector<std::uint32_t> out;
    for (std::int32_t m : bits) {
        std::vector<std::uint32_t> perm(std::size_t{1} << m);
        std::iota(perm.begin(), perm.end(), 0u);
        std::shuffle(perm.begin(), perm.end(), rng);
        out.insert(out.end(), perm.begin(), perm.end());
    }
    return out;
}

// A random problem: kind 0 well conditioned, 1 ill-conditioned, 2 y far from every point.
soft_problem random_problem(std::mt19937_64& rng, std::vector<std::int32_t> bits, int kind,
                            double n0, int prior_kind) {
    std::normal_distribution<double> gauss(0.0, 1.0);
    soft_problem p;
    p.n = static_cast<std::int64_t>(bits.size());
    p.bits = std::move(bits);
    const std::int64_t n = p.n;
    p.R.assign(n * n, 0.0);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) p.R[i + j * n] = gauss(rng);
        double diag = std::fabs(gauss(rng)) + 0.3;
        if (kind == 1 && j % 2 == 1) diag *= 1e-4;
        if (rng() % 3 == 0) diag = -diag;
        p.R[j + j * n] = diag;
    }
    std::vector<double> s(n);
    for (std::int64_t k = 0; k < n; ++k) {
        const int M = 1 << p.bits[k];
        s[k] = 2.0 * static_cast<double>(rng() % M) - (M - 1);
    }
    p.y.assign(n, 0.0);
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t j = i; j < n; ++j) p.y[i] += p.R[i + j * n] * s[j];
        p.y[i] += std::sqrt(n0) * gauss(rng) * (kind == 2 ? 0.0 : 1.0);
        if (kind == 2) p.y[i] += 40.0 * gauss(rng);
    }
    p.n0 = n0;
    if (prior_kind > 0) {
        const double size = prior_kind == 1 ? 2.0 : 40.0;
        p.La.resize(p.B());
        for (double& v : p.La) v = size * gauss(rng);
    }
    return p;
}

TEST(SoftSearchOracle, RejectsWrongAnswers) {
    std::mt19937_64 rng(11);
    soft_problem p = random_problem(rng, {2, 2, 2}, 0, 0.5, 1);
    const enumeration ref = enumerate(p);
    const soft_answer good = run(p);
    ASSERT_EQ(disagreement(p, ref, good), "");
    soft_answer bad = good;
    bad.L[3] += 1e-9 * ref.scale;
    EXPECT_NE(disagreement(p, ref, bad), "");
    bad = good;
    bad.L[0] = -bad.L[0];
    EXPECT_NE(disagreement(p, ref, bad), "");
    bad = good;
    bad.symb[1] = bad.symb[1] == 3.0 ? 1.0 : bad.symb[1] + 2.0;  // another point, not the best
    EXPECT_NE(disagreement(p, ref, bad), "");
    bad = good;
    bad.symb[2] = 2.0;
    EXPECT_NE(disagreement(p, ref, bad), "");
    p.clip = 0.25;
    const soft_answer unclipped = good;
    EXPECT_NE(disagreement(p, enumerate(p), unclipped), "");  // the clipped values differ
}

// Every shape of up to 6 levels and 12 bits (a few of 16), uniform and mixed M, every kind
// of channel, prior and clip, Gray and permuted labels.
TEST(SoftSearch, EqualsEnumeration) {
    std::mt19937_64 rng(2024);
    const std::vector<std::vector<std::int32_t>> shapes = {{1},
                                                           {2},
                                                           {3},
                                                           {4},
                                                           {1, 1},
                                                           {2, 2},
                                                           {3, 3},
                                                           {4, 4},
                                                           {1, 2, 3},
                                                           {2, 2, 2},
                                                           {3, 1, 2},
                                                           {4, 2, 1},
                                                           {2, 2, 2, 2},
                                                           {1, 3, 1, 3},
                                                           {3, 3, 3},
                                                           {1, 1, 1, 1, 1},
                                                           {2, 1, 2, 1, 2},
                                                           {2, 2, 2, 2, 2, 2},
                                                           {1, 2, 1, 2, 1, 2},
                                                           {4, 4, 4, 4},
                                                           {2, 2, 2, 2, 2, 2, 2, 2}};
    const double clips[] = {0.0, 0.5, 2.0, 8.0, inf};
    const double n0s[] = {1e-3, 0.1, 1.0, 10.0};
    int cases = 0;
    for (const auto& bits : shapes) {
        for (int kind = 0; kind < 3; ++kind) {
            for (int prior = 0; prior < 3; ++prior) {
                for (int labels = 0; labels < 2; ++labels) {
                    soft_problem p = random_problem(rng, bits, kind, n0s[rng() % 4], prior);
                    if (labels == 1) p.labels = random_labels(p.bits, rng);
                    for (double clip : clips) {
                        p.clip = clip;
                        const enumeration ref = enumerate(p);
                        const soft_answer a = run(p);
                        ASSERT_EQ(disagreement(p, ref, a), "")
                            << "levels " << p.n << " kind " << kind << " prior " << prior
                            << " labels " << labels << " clip " << clip << " n0 " << p.n0;
                        ++cases;
                    }
                }
            }
        }
    }
    EXPECT_EQ(cases, 21 * 3 * 3 * 2 * 5);
}

// clip = 0: every LLR 0, and the nodes and point of the hard search on the integer form
// a = (s + M-1)/2 of the same problem: y + R*(M-1), 2R, box [0, M-1].
TEST(SoftSearch, ClipZeroIsTheHardSearch) {
    std::mt19937_64 rng(7);
    int cases = 0;
    for (std::int32_t m = 1; m <= 4; ++m) {
        for (std::int64_t n = 1; n <= (m <= 2 ? 8 : 5); ++n) {
            for (int kind = 0; kind < 3; ++kind) {
                for (int rep = 0; rep < 6; ++rep) {
                    soft_problem p = random_problem(rng, std::vector<std::int32_t>(n, m), kind,
                                                    rep % 2 == 0 ? 0.1 : 1.0, 0);
                    p.clip = 0.0;
                    const soft_answer a = run(p);
                    ASSERT_EQ(a.status, search_status::found);
                    for (double v : a.L) {
                        ASSERT_EQ(v, 0.0);
                        ASSERT_FALSE(std::signbit(v));
                    }
                    const double top = (1 << m) - 1;
                    std::vector<double> y2(n), R2(n * n, 0.0);
                    for (std::int64_t i = 0; i < n; ++i) {
                        y2[i] = p.y[i];
                        for (std::int64_t j = i; j < n; ++j) {
                            y2[i] += p.R[i + j * n] * top;
                            R2[i + j * n] = 2.0 * p.R[i + j * n];
                        }
                    }
                    std::vector<double> symb(n), pdist(n, 0.0), isum(n, 0.0), step(n), cand(n);
                    std::int64_t nodes = 0;
                    search_options options;
                    options.nodes = &nodes;
                    ASSERT_EQ(find_closest_point_with(y2.data(), R2.data(), n, inf, 0.0, top,
                                                      symb.data(), pdist.data(), isum.data(),
                                                      step.data(), cand.data(), options),
                              search_status::found);
                    for (std::int64_t k = 0; k < n; ++k) {
                        ASSERT_EQ(a.symb[k], 2.0 * symb[k] - top) << "n " << n << " m " << m;
                    }
                    ASSERT_EQ(a.nodes, nodes) << "n " << n << " m " << m << " kind " << kind;
                    ++cases;
                }
            }
        }
    }
    EXPECT_EQ(cases, (8 + 8 + 5 + 5) * 3 * 6);
}

// More clipping, fewer nodes: a tighter clip never visits more (same problem), and Inf
// visits the most.
TEST(SoftSearch, NodesGrowWithTheClip) {
    std::mt19937_64 rng(5);
    for (int rep = 0; rep < 40; ++rep) {
        soft_problem p = random_problem(rng, {2, 2, 2, 2, 2, 2}, rep % 3, 0.3, rep % 2);
        std::int64_t last = 0;
        for (double clip : {0.0, 0.5, 2.0, 8.0, inf}) {
            p.clip = clip;
            const soft_answer a = run(p);
            ASSERT_EQ(a.status, search_status::found);
            EXPECT_GE(a.nodes, last) << "clip " << clip;
            last = a.nodes;
        }
    }
}

// A node cap stops the search with node_limit after exactly that many nodes; a cap of
// the search's own count or more changes nothing.
TEST(SoftSearch, NodeCap) {
    std::mt19937_64 rng(9);
    soft_problem p = random_problem(rng, {3, 3, 3, 3}, 0, 1.0, 1);
    p.clip = 4.0;
    const soft_answer full = run(p);
    ASSERT_EQ(full.status, search_status::found);
    ASSERT_GT(full.nodes, 10);
    const soft_answer capped = run(p, full.nodes / 2);
    EXPECT_EQ(capped.status, search_status::node_limit);
    EXPECT_EQ(capped.nodes, full.nodes / 2 + 1);
    for (std::int64_t cap : {full.nodes, full.nodes + 1}) {
        const soft_answer same = run(p, cap);
        EXPECT_EQ(same.status, search_status::found);
        EXPECT_EQ(same.L, full.L);
        EXPECT_EQ(same.symb, full.symb);
    }
}

// The 4-PAM labels of the header: -3 -> 00, -1 -> 01, +1 -> 11, +3 -> 10, and the sign
// convention (positive means 0) on one level with R = 1, y = s: L = (d1 - d0)/n0.
TEST(SoftSearch, WorkedFourPam) {
    soft_problem p;
    p.n = 1;
    p.bits = {2};
    p.R = {1.0};
    p.n0 = 2.0;
    p.y = {-1.0};  // the point -1: bits 01
    const soft_answer a = run(p);
    ASSERT_EQ(a.status, search_status::found);
    EXPECT_EQ(a.symb[0], -1.0);
    // bit 0 (msb): 0 at -3, -1 (d 4, 0); 1 at +1, +3 (d 4, 16): L = (4 - 0)/2
    EXPECT_EQ(a.L[0], 2.0);
    // bit 1: 0 at -3, +3 (d 4, 16); 1 at -1, +1 (d 0, 4): L = (0 - 4)/2
    EXPECT_EQ(a.L[1], -2.0);
    p.La = {0.0, 5.0};  // a prior for bit 1 = 0 of 5 > 2: the best point becomes -3
    const soft_answer b = run(p);
    EXPECT_EQ(b.symb[0], -3.0);
    // metrics: -3 (00) 2, -1 (01) 0 + 5, +1 (11) 2 + 5, +3 (10) 8
    EXPECT_EQ(b.L[0], 7.0 - 2.0);
    EXPECT_EQ(b.L[1], 5.0 - 2.0);
}

}  // namespace
