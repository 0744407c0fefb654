// SPDX-License-Identifier: BSD-3-Clause
// Inputs found by the fuzz harnesses (fuzz/), each kept as a test of the fixed behaviour.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"
#include "gateways/gateways.h"
#include "host/test_host.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const char* const too_large = "y is too large for R: the search would need integers beyond 2^51\n";

struct plinden_call {
    std::vector<th_array> args;
    th_result run() {
        std::vector<const host_array*> in;
        for (const th_array& a : args) in.push_back(a.get());
        return th_call(plinden_gateway, 2, in);
    }
};

plinden_call plinden(std::vector<double> y, std::size_t n, std::vector<double> R, double radius,
                     double lb, double ub) {
    plinden_call c;
    c.args.push_back(th_column(y));
    c.args.push_back(th_matrix(n, n, R));
    c.args.push_back(th_scalar(radius));
    c.args.push_back(th_scalar(lb));
    c.args.push_back(th_scalar(ub));
    return c;
}

// Runs the call in a child process and reports whether it ended within the given time (a
// call that does not end must not hang the test suite).
template <typename F>
bool ends_within(F call, int seconds) {
    const pid_t child = fork();
    if (child == 0) {
        call();
        _exit(0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return false;
}

}  // namespace

// A box lying wholly beyond 2^51 on one side: the search used to walk towards it and convert
// an infinite (or > 2^63) gap to a 64-bit integer (undefined behaviour; found as
// "inf is outside the range of representable values of type 'long'" in the skip over the
// candidates outside the box), or to visit ~2^51 candidates one run at a time.
TEST(FuzzRegressions, PlindenBoxBeyondTheExactRangeWithoutIntegers) {
    const double limit = search_limit;
    const struct {
        double lb, ub;
    } boxes[] = {
        {inf, inf}, {-inf, -inf}, {limit + 0.5, limit + 0.5}, {1e300, 1e299}, {-1e20, -1e21}};
    for (const auto& b : boxes) {
        plinden_call c = plinden({0.4}, 1, {1}, inf, b.lb, b.ub);
        const th_result r = c.run();
        ASSERT_FALSE(r.failed) << b.lb << " " << b.ub << ": " << r.message;
        EXPECT_EQ(th_values(r.outputs[0])[0], 0.0);
        EXPECT_EQ(th_values(r.outputs[1])[0], -1.0);
        EXPECT_EQ(r.blocks_live, 0u);
    }
}

TEST(FuzzRegressions, PlindenBoxBeyondTheExactRangeWithIntegersNeedsInexactCandidates) {
    const struct {
        double lb, ub;
    } boxes[] = {
        {1e20, 1e20}, {1e300, inf}, {-inf, -1e300}, {9007199254740992.0, 9007199254740992.0}};
    for (const auto& b : boxes) {
        plinden_call c = plinden({0.4, 1.6}, 2, {1, 0, 0.5, 1}, inf, b.lb, b.ub);
        const th_result r = c.run();
        ASSERT_TRUE(r.failed) << b.lb << " " << b.ub;
        EXPECT_EQ(r.message, too_large);
        EXPECT_EQ(r.blocks_live, 0u);
        EXPECT_EQ(r.blocks_freed, 1u);
    }
}

// The fuzz input itself: a 5x5 R of -5e-324 with a centre far beyond 2^51 and the box
// [2^53, 2^53] (a timeout, then the cast above once the walk reached the skip).
TEST(FuzzRegressions, PlindenDenormalDiagonalAndBoxAt2p53) {
    const double t = 9007199254740992.0;
    plinden_call c = plinden(std::vector<double>(5, 2.2250738585072014e-308), 5,
                             std::vector<double>(25, -5e-324), 1e300, t, t);
    const th_result r = c.run();
    ASSERT_TRUE(r.failed);
    EXPECT_EQ(r.message, too_large);
    EXPECT_EQ(r.blocks_live, 0u);
}

// The box just inside the limit still searches: [2^51 - 1, 2^51] from a centre near 0.
TEST(FuzzRegressions, PlindenBoxAtTheLimitStillSearches) {
    plinden_call c = plinden({0.4}, 1, {1}, inf, search_limit - 1, search_limit);
    const th_result r = c.run();
    ASSERT_FALSE(r.failed) << r.message;
    EXPECT_EQ(th_values(r.outputs[0])[0], search_limit - 1);
    EXPECT_EQ(th_values(r.outputs[1])[0], 1.0);
}

// The node cap that lets the harness bound its time: the search itself has none.
TEST(FuzzRegressions, SearchNodeCapStops) {
    // R = I (2x2), y = (0.2, 0.2): root 0, leaf 0 (2 nodes), then the root's next candidate
    const double y[] = {0.2, 0.2};
    const double R[] = {1, 0, 0, 1};
    double symb[2] = {0, 0}, pdist[2] = {0, 0}, isum[2] = {0, 0}, step[2] = {0, 0},
           cand[2] = {0, 0};
    std::int64_t nodes = 0;
    search_options capped;
    capped.nodes = &nodes;
    capped.max_nodes = 2;
    EXPECT_EQ(
        find_closest_point_with(y, R, 2, inf, -inf, inf, symb, pdist, isum, step, cand, capped),
        search_status::node_limit);
    search_options uncapped;
    uncapped.nodes = &nodes;
    EXPECT_EQ(
        find_closest_point_with(y, R, 2, inf, -inf, inf, symb, pdist, isum, step, cand, uncapped),
        search_status::found);
    EXPECT_GT(nodes, 2);
    EXPECT_EQ(symb[0], 0.0);
    EXPECT_EQ(symb[1], 0.0);
}

// quorvin with delta = 1 on an 8x8 basis whose Lovasz test meets an exact tie
// (R(k-1,k-1)^2 = R(k-1,k)^2 + R(k,k)^2 = 384 at k = 2, 0-based): rounding makes the strict
// test hold while the new diagonal entry sqrt(384) equals the old one (a "stalled"
// exchange); the pair is exchanged back and forth with R(1,2) changing sign each time, and
// the rotations leave the later columns a few ulps different each round, so the bit-exact
// cycle check never fires and the loop does not end. Found by fuzz_quorvin as a timeout
// (more than 10^8 loop passes in the same state).
TEST(FuzzRegressions, QuorvinDeltaOneTieEnds) {
    const std::vector<double> Q = {
        -7.5, 0,     0,     0,     0,     0,     0,     0,    -7.5, -7.5,  0,     0,    0,
        0,    0,     0,     -7.5,  -7.5,  -7.5,  0,     0,    0,    0,     0,     -7.5, -7.5,
        -7.5, 7.5,   0,     0,     0,     0,     5.5,   -0.5, 50,   -23.5, -23.5, 0,    0,
        0,    -23.5, -23.5, -23.5, -23.5, -19.5, -23.5, 0,    0,    -23.5, -23.5, -7.5, -7.5,
        -7.5, -7.5,  -7.5,  0,     -7.5,  -7.5,  -7.5,  -7.5, -7.5, -7.5,  -23.5, -23.5};
    const std::vector<double> R = {24, 0,    0,    0,    0,     0,     0,     0,    24,  24,   0,
                                   0,  0,    0,    0,    0,     24,    24,    24,   0,   0,    0,
                                   0,  0,    24,   24,   24,    24,    0,     0,    0,   0,    24,
                                   24, -0.5, -0.5, -0.5, 0,     0,     0,     -0.5, 24,  24,   24,
                                   24, 24.5, 0,    0,    26.5,  28.5,  25.5,  24,   28,  24.5, 26.5,
                                   0,  28.5, 25,   -7.5, -45.5, -23.5, -23.5, -7.5, -7.5};
    const bool ended = ends_within(
        [&] {
            std::vector<th_array> a;
            a.push_back(th_matrix(8, 8, Q));
            a.push_back(th_matrix(8, 8, R));
            a.push_back(th_scalar(1.0));
            const th_result r = th_call(quorvin_gateway, 3, {a[0].get(), a[1].get(), a[2].get()});
            if (r.failed || r.blocks_live != 0) _exit(1);
        },
        10);
    EXPECT_TRUE(ended) << "quorvin(Q, R, 1) did not end within 10 s";
}

// kelvane, cold start, on a 2x2 R whose first diagonal entry is tiny (9.5e-308) with a huge
// box (u = 1.46e48): the free-set solve overflows to z = (Inf, -Inf); the step towards it
// with alpha = 0 gives 0 * -Inf = NaN for x_2; from then on no ratio is a number, alpha
// stays 2, no variable reaches a bound and the interpolation loop repeats the same solve
// forever (the pass counter never moves, so the pass cap never ends it). Found by
// fuzz_kelvane as a timeout.
TEST(FuzzRegressions, KelvaneOverflowingFreeSetSolveEnds) {
    const struct {
        double r11, u;
    } cases[] = {{9.456428099213957e-308, 1.4615016373309029e48}, {1e-300, 1e48}};
    for (const auto& c : cases) {
        const bool ended = ends_within(
            [&] {
                std::vector<th_array> a;
                a.push_back(th_column({3, -1}));
                a.push_back(th_matrix(2, 2, {c.r11, 0, 0.5, 2}));
                a.push_back(th_scalar(c.u));
                a.push_back(th_column({0, -2, 1, 1}));
                a.push_back(th_scalar(0));
                const th_result r =
                    th_call(kelvane_gateway, 4,
                            {a[0].get(), a[1].get(), a[2].get(), a[3].get(), a[4].get()});
                if (!r.failed) {
                    // a result must be a point of the box
                    for (int j = 0; j < 2; ++j) {
                        const double x = th_values(r.outputs[0])[j];
                        if (!(std::fabs(x) <= c.u)) _exit(2);
                    }
                } else if (r.message.empty()) {
                    _exit(3);
                }
            },
            5);
        EXPECT_TRUE(ended) << "kelvane with R(1,1) = " << c.r11 << ", u = " << c.u
                           << " did not end within 5 s (or returned a point outside the box)";
    }
}
