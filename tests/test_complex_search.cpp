// SPDX-License-Identifier: BSD-3-Clause
// The complex-level soft search against exhaustive enumeration over const^n.
#include <gtest/gtest.h>

#include "channel/complex_search.h"
#include "tests/complex_problems.h"

namespace {

using namespace complex_test;

struct result {
    search_status status;
    std::vector<double> L;
    std::vector<int> idx;
    std::int64_t nodes;
};

result run(const problem& p, const constellation& c, double clip, const std::vector<double>& La,
           const interrupt_check* check = nullptr) {
    const complex_alphabet a = c.alphabet();
    std::vector<double> scratch(complex_search_scratch_size(p.n, a.M), std::nan(""));
    std::vector<double> L(p.n * a.bits);
    std::vector<std::int32_t> idx(p.n, -1);
    std::int64_t nodes = -1;
    const search_status status = find_complex_llrs(
        reinterpret_cast<const double*>(p.z.data()), reinterpret_cast<const double*>(p.R.data()),
        p.n, a, p.n0, clip, La.empty() ? nullptr : La.data(), L.data(), idx.data(), &nodes,
        scratch.data(), check);
    return {status, L, std::vector<int>(idx.begin(), idx.end()), nodes};
}

// The checker itself: a worked case by hand, and a wrong label table is caught.
TEST(ComplexSearchOracle, WorkedCaseAndWrongLabelsAreCaught) {
    // BPSK, R = 2, z = 0.6, n0 = 2: metrics (0.6-2)^2/2 = 0.98 (bit 0), (0.6+2)^2/2 = 3.38
    const constellation c = bpsk();
    const problem p{1, {cplx(2.0, 0.0)}, {cplx(0.6, 0.0)}, 2.0};
    const reference r = enumerate(p, c, inf, {});
    EXPECT_NEAR(r.L[0], 2.4, 1e-15);
    EXPECT_NEAR(static_cast<double>(r.least), 0.98, 1e-15);
    EXPECT_TRUE(llrs_match(run(p, c, inf, {}).L, r));

    // a search given the labels of two points swapped disagrees with the true table's oracle
    std::mt19937 rng(5);
    const constellation q = square_qam(4, true);
    constellation wrong = q;
    std::swap(wrong.labels[0], wrong.labels[5]);
    const problem p2 = random_problem(rng, q, 2, 0);
    EXPECT_FALSE(llrs_match(run(p2, wrong, inf, {}).L, enumerate(p2, q, inf, {})));
}

// Every constellation, n = 1..3, every kind of problem, with and without clip and priors.
TEST(ComplexSearch, EqualsEnumeration) {
    std::mt19937 rng(17);
    int cases = 0;
    for (const constellation& c : all_constellations()) {
        for (std::int64_t n = 1; n <= 3; ++n) {
            if (c.points.size() == 32 && n == 3) continue;
            for (int kind = 0; kind < 3; ++kind) {
                for (int trial = 0; trial < 3; ++trial) {
                    const problem p = random_problem(rng, c, n, kind);
                    const std::vector<double> La = random_priors(rng, n * c.bits);
                    for (const double clip : {inf, 20.0, 2.0, 0.3}) {
                        for (const bool priors : {false, true}) {
                            SCOPED_TRACE(c.name + " n=" + std::to_string(n) + " kind=" +
                                         std::to_string(kind) + " clip=" + std::to_string(clip) +
                                         (priors ? " priors" : ""));
                            const std::vector<double> la = priors ? La : std::vector<double>();
                            const reference r = enumerate(p, c, clip, la);
                            const result s = run(p, c, clip, la);
                            ASSERT_EQ(s.status, search_status::found);
                            EXPECT_TRUE(llrs_match(s.L, r));
                            // idx is a point of least metric
                            EXPECT_NEAR(static_cast<double>(metric(p, c, s.idx, la)),
                                        static_cast<double>(r.least),
                                        1e-11 * (1.0 + std::fabs(static_cast<double>(r.least))));
                            ++cases;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(cases, 800);
}

// clip = 0: the closest point (hard ML), all LLRs zero, and no more work than clip > 0.
TEST(ComplexSearch, ClipZeroIsTheClosestPointWithLeastWork) {
    std::mt19937 rng(29);
    std::int64_t hard = 0, soft = 0;
    for (const constellation& c : all_constellations()) {
        for (std::int64_t n = 1; n <= 3; ++n) {
            for (int kind = 0; kind < 3; ++kind) {
                const problem p = random_problem(rng, c, n, kind);
                const reference r = enumerate(p, c, 0.0, {});
                const result s = run(p, c, 0.0, {});
                ASSERT_EQ(s.status, search_status::found);
                EXPECT_NEAR(static_cast<double>(metric(p, c, s.idx, {})),
                            static_cast<double>(r.least),
                            1e-11 * (1.0 + std::fabs(static_cast<double>(r.least))));
                for (const double v : s.L) EXPECT_EQ(v, 0.0);
                hard += s.nodes;
                soft += run(p, c, inf, {}).nodes;
            }
        }
    }
    EXPECT_LT(hard, soft);
}

// The caller's check is asked every search_poll_interval nodes, and only then.
TEST(ComplexSearch, InterruptCheck) {
    std::mt19937 rng(41);
    const constellation c = psk(8);
    const problem p = random_problem(rng, c, 7, 2);
    int asked = 0;
    const interrupt_check counting{[](const void* ctx) {
                                       ++*static_cast<int*>(const_cast<void*>(ctx));
                                       return false;
                                   },
                                   &asked};
    const result plain = run(p, c, inf, {});
    const result counted = run(p, c, inf, {}, &counting);
    ASSERT_GT(plain.nodes, search_poll_interval);  // the case is long enough
    EXPECT_EQ(counted.L, plain.L);
    EXPECT_EQ(asked, plain.nodes / search_poll_interval);
    const interrupt_check always{[](const void*) { return true; }, nullptr};
    EXPECT_EQ(run(p, c, inf, {}, &always).status, search_status::interrupted);
    const problem small = random_problem(rng, c, 1, 0);
    EXPECT_EQ(run(small, c, inf, {}, &always).status, search_status::found);
}

}  // namespace
