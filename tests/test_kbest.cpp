// SPDX-License-Identifier: BSD-3-Clause
// The K-best search: with K >= M^n against enumeration, with small K against a K-best
// written plainly here (full metrics of every partial path, a stable sort, keep K).
#include <gtest/gtest.h>

#include <utility>

#include "channel/kbest.h"
#include "tests/complex_problems.h"

namespace {

using namespace complex_test;

struct result {
    std::vector<double> L;
    std::vector<int> idx;
    std::int64_t nodes;
};

result run(const problem& p, const constellation& c, std::int64_t K, double clip,
           const std::vector<double>& La, const interrupt_check* check = nullptr,
           search_status expected = search_status::found, bool fill = false) {
    const complex_alphabet a = c.alphabet();
    std::vector<double> scratch(kbest_scratch_size(p.n, a.M, K), std::nan(""));
    std::vector<double> L(p.n * a.bits);
    std::vector<std::int32_t> idx(p.n, -1);
    std::int64_t nodes = -1;
    EXPECT_EQ(kbest_llrs(reinterpret_cast<const double*>(p.z.data()),
                         reinterpret_cast<const double*>(p.R.data()), p.n, a, K, p.n0, clip,
                         La.empty() ? nullptr : La.data(), L.data(), idx.data(), &nodes,
                         scratch.data(), check, fill),
              expected);
    return {L, std::vector<int>(idx.begin(), idx.end()), nodes};
}

// The list after the last level, by full metric (priors unshifted: the shift is the same
// for every path of a level), and the LLRs read from it.
struct plain_kbest {
    std::vector<std::pair<long double, std::vector<int>>> list;
    std::int64_t nodes = 0;
    reference llrs;
};

plain_kbest reference_kbest(const problem& p, const constellation& c, std::int64_t K, double clip,
                            const std::vector<double>& La) {
    const std::int64_t n = p.n;
    const auto M = static_cast<int>(c.points.size());
    plain_kbest r;
    r.list = {{0.0L, std::vector<int>(n, 0)}};
    for (std::int64_t i = n - 1; i >= 0; --i) {
        decltype(r.list) next;
        for (const auto& path : r.list) {
            for (int m = 0; m < M; ++m) {
                std::vector<int> x = path.second;
                x[i] = m;
                next.emplace_back(metric(p, c, x, La, i), x);
            }
        }
        r.nodes += static_cast<std::int64_t>(next.size());
        std::stable_sort(next.begin(), next.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        if (static_cast<std::int64_t>(next.size()) > K) next.resize(K);
        r.list = std::move(next);
    }
    const std::int64_t B = n * c.bits;
    const std::vector<int>& best = r.list[0].second;
    r.llrs = {std::vector<double>(B), std::vector<double>(B), r.list[0].first};
    for (std::int64_t b = 0; b < B; ++b) {
        const std::int64_t i = b / c.bits;
        const auto k = static_cast<std::int32_t>(b % c.bits);
        const bool one = label_bit(c.labels[best[i]], c.bits, k);
        long double counter = 1e4000L;
        for (const auto& e : r.list) {
            if (label_bit(c.labels[e.second[i]], c.bits, k) != one) {
                counter = std::min(counter, e.first);
            }
        }
        const long double v = std::min<long double>(counter - r.list[0].first, clip);
        r.llrs.L[b] = static_cast<double>(one ? -v : v);
        r.llrs.scale[b] = static_cast<double>(1.0L + std::fabs(r.list[0].first) +
                                              (counter < 1e4000L ? std::fabs(counter) : 0.0L));
    }
    return r;
}

// K >= M^n: every point is in the list and the LLRs are the max-log ones.
TEST(KBest, FullListEqualsEnumeration) {
    std::mt19937 rng(23);
    for (const constellation& c : all_constellations()) {
        for (std::int64_t n = 1; n <= 3; ++n) {
            if (c.points.size() == 32 && n == 3) continue;
            const auto leaves = static_cast<std::int64_t>(std::pow(c.points.size(), n));
            for (int kind = 0; kind < (is_real(c) ? 4 : 3); ++kind) {
                const problem p = random_problem(rng, c, n, kind);
                const std::vector<double> La = random_priors(rng, n * c.bits);
                for (const double clip : {inf, 20.0, 0.5}) {
                    for (const std::vector<double>& la : {std::vector<double>(), La}) {
                        SCOPED_TRACE(c.name + " n=" + std::to_string(n) + " kind=" +
                                     std::to_string(kind) + " clip=" + std::to_string(clip));
                        const reference r = enumerate(p, c, clip, la);
                        for (const std::int64_t K : {leaves, leaves + 5}) {
                            const result s = run(p, c, K, clip, la);
                            EXPECT_TRUE(llrs_match(s.L, r));
                            EXPECT_NEAR(static_cast<double>(metric(p, c, s.idx, la)),
                                        static_cast<double>(r.least),
                                        1e-11 * (1.0 + std::fabs(static_cast<double>(r.least))));
                        }
                    }
                }
            }
        }
    }
}

// Small K: the same list as the plain K-best (its best path, LLRs, +-clip for a bit with
// no counter-hypothesis, and the work).
TEST(KBest, SmallListEqualsPlainKBest) {
    std::mt19937 rng(31);
    int differs_from_maxlog = 0, missing_counter = 0;
    for (const constellation& c : all_constellations()) {
        for (std::int64_t n = 2; n <= 3; ++n) {
            for (int kind = 0; kind < (is_real(c) ? 4 : 3); ++kind) {
                const problem p = random_problem(rng, c, n, kind);
                const std::vector<double> La = random_priors(rng, n * c.bits);
                for (const std::int64_t K : {1, 2, 3, 7, 16}) {
                    for (const double clip : {20.0, inf}) {
                        for (const std::vector<double>& la : {std::vector<double>(), La}) {
                            SCOPED_TRACE(c.name + " n=" + std::to_string(n) + " K=" +
                                         std::to_string(K) + " clip=" + std::to_string(clip));
                            const plain_kbest r = reference_kbest(p, c, K, clip, la);
                            const result s = run(p, c, K, clip, la);
                            EXPECT_TRUE(llrs_match(s.L, r.llrs));
                            EXPECT_EQ(s.idx, r.list[0].second);
                            EXPECT_EQ(s.nodes, r.nodes);
                            if (!llrs_match(s.L, enumerate(p, c, clip, la))) ++differs_from_maxlog;
                            for (const double v : s.L) missing_counter += std::isinf(v) ? 1 : 0;
                        }
                    }
                }
            }
        }
    }
    // the cases reach lists that miss the max-log answer and bits without a counter-hypothesis
    EXPECT_GT(differs_from_maxlog, 50);
    EXPECT_GT(missing_counter, 50);
}

// 'flip' with a finite clip returns the unclipped LLRs clipped, sign*min(|L|, clip), also
// where a formed counter-hypothesis is closer than the whole list (a short list that lost
// the closest point): there the LLR favours the formed candidate's bit, against the best
// path's, and before it was clipped on one side only (+-45.9 at clip 20, found by fuzzing).
TEST(KBest, FlipFillIsClippedOnBothSides) {
    std::mt19937 rng(47);
    int against_best = 0;
    for (const constellation& c : all_constellations()) {
        for (std::int64_t n = 2; n <= 3; ++n) {
            for (int kind = 0; kind < (is_real(c) ? 4 : 3); ++kind) {
                const problem p = random_problem(rng, c, n, kind);
                const std::vector<double> La = random_priors(rng, n * c.bits);
                for (const std::int64_t K : {1, 2, 3}) {
                    for (const std::vector<double>& la : {std::vector<double>(), La}) {
                        const result wide =
                            run(p, c, K, inf, la, nullptr, search_status::found, true);
                        for (const double clip : {20.0, 2.0, 0.5}) {
                            SCOPED_TRACE(c.name + " n=" + std::to_string(n) + " kind=" +
                                         std::to_string(kind) + " K=" + std::to_string(K) +
                                         " clip=" + std::to_string(clip));
                            const result r =
                                run(p, c, K, clip, la, nullptr, search_status::found, true);
                            EXPECT_EQ(r.idx, wide.idx);
                            for (std::size_t b = 0; b < r.L.size(); ++b) {
                                const double w = wide.L[b];
                                ASSERT_TRUE(std::isfinite(w));
                                const double want = std::copysign(std::min(std::fabs(w), clip), w);
                                EXPECT_NEAR(r.L[b], want, 1e-12 * (1.0 + std::fabs(want)));
                                EXPECT_LE(std::fabs(r.L[b]), clip);
                                const bool one = label_bit(c.labels[wide.idx[b / c.bits]], c.bits,
                                                           static_cast<std::int32_t>(b % c.bits));
                                if ((w < 0.0) != one && w != 0.0) ++against_best;
                            }
                        }
                    }
                }
            }
        }
    }
    // the cases reach formed candidates closer than the list
    EXPECT_GT(against_best, 20);
}

// The caller's check is asked between extensions once search_poll_interval nodes are done.
TEST(KBest, InterruptCheck) {
    std::mt19937 rng(43);
    const constellation c = square_qam(8, true);
    const problem p = random_problem(rng, c, 4, 0);
    int asked = 0;
    const interrupt_check counting{[](const void* ctx) {
                                       ++*static_cast<int*>(const_cast<void*>(ctx));
                                       return false;
                                   },
                                   &asked};
    const result plain = run(p, c, 16384, 20.0, {});
    ASSERT_GT(plain.nodes, search_poll_interval);
    EXPECT_EQ(run(p, c, 16384, 20.0, {}, &counting).L, plain.L);
    EXPECT_EQ(asked, 1);
    const interrupt_check always{[](const void*) { return true; }, nullptr};
    run(p, c, 16384, 20.0, {}, &always, search_status::interrupted);
    run(p, c, 64, 20.0, {}, &always, search_status::found);  // too short to ask
}

}  // namespace
