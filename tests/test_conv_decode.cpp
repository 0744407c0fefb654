// SPDX-License-Identifier: BSD-3-Clause
// The convolutional encoder and the BCJR decoder (code/): the encoder against a polynomial
// convolution, log-MAP against the APP of every codeword, max-log against the max-log
// enumeration exactly (dyadic inputs, where every sum is exact), its hard decisions against
// a Viterbi decoder, +-Inf inputs, extreme magnitudes, and the interrupt check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "code/bcjr.h"
#include "code/trellis.h"
#include "tests/conv_reference.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();

const std::vector<conv_reference_code>& codes() {
    static const std::vector<conv_reference_code> c{
        {3, {07, 05}, 0},  {3, {05}, 07},
        {2, {03, 01}, 0},  {4, {015, 017}, 0},
        {4, {015}, 013},   {5, {023, 035, 027}, 0},
        {3, {05, 06}, 07}, {7, {0133, 0171}, 0},
        {7, {0171}, 0133}, {2, {01}, 03},
        {4, {017}, 0},     {9, {0561, 0753}, 0},
        {9, {0753}, 0657}, {3, {07, 05, 03, 01, 06, 04, 02}, 07},  // K and n at their limits
    };
    return c;
}

conv_trellis trellis_of(const conv_reference_code& c) {
    conv_polynomials p{};
    p.K = c.K;
    p.generators = static_cast<int>(c.G.size());
    for (std::size_t j = 0; j < c.G.size(); ++j) p.G[j] = c.G[j];
    p.F = c.F;
    int which = 0;
    EXPECT_EQ(conv_check_code(p, &which), conv_fault::none);
    conv_trellis t{};
    conv_build_trellis(p, &t);
    return t;
}

struct decoded {
    std::vector<double> Lu, Lc;
};

decoded decode(const conv_trellis& t, std::size_t k, bool terminated, conv_method m, bool extrinsic,
               const std::vector<double>& L, const std::vector<double>& La, bool log_path = false) {
    decoded d{std::vector<double>(k), std::vector<double>(L.size())};
    std::vector<double> scratch(conv_decode_scratch(t, k, terminated));
    const conv_frame f{&t,
                       k,
                       terminated,
                       m,
                       extrinsic,
                       L.data(),
                       La.empty() ? nullptr : La.data(),
                       d.Lu.data(),
                       d.Lc.data()};
    const bool done = log_path ? conv_decode_frame_log(f, scratch.data(), nullptr)
                               : conv_decode_frame(f, scratch.data(), nullptr);
    EXPECT_TRUE(done);
    return d;
}

void expect_close(const std::vector<double>& got, const std::vector<double>& want, double tol,
                  const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_FALSE(std::isnan(got[i])) << what << " " << i;
        if (std::isinf(want[i])) {
            EXPECT_EQ(got[i], want[i]) << what << " " << i;
        } else {
            EXPECT_NEAR(got[i], want[i], tol * std::max(1.0, std::fabs(want[i])))
                << what << " " << i;
        }
    }
}

TEST(ConvEncoder, EqualsPolynomialConvolution) {
    std::mt19937_64 rng(1);
    std::vector<conv_reference_code> all = codes();
    all.push_back({9, {0561, 0753}, 0});
    all.push_back({9, {0753, 0561, 0711}, 0657});
    all.push_back({8, {0247, 0371, 0305, 0243, 0277, 0235, 0321}, 0});
    for (const auto& c : all) {
        const conv_trellis t = trellis_of(c);
        EXPECT_EQ(t.n, c.n());
        for (std::size_t k : {0, 1, 2, 9, 40}) {
            for (bool term : {false, true}) {
                std::vector<int> u(k);
                std::vector<double> ud(k);
                for (std::size_t i = 0; i < k; ++i) ud[i] = u[i] = static_cast<int>(rng() & 1u);
                const std::vector<int> want = reference_encode(c, u, term);
                ASSERT_EQ(conv_frame_bits(t, k, term), want.size());
                std::vector<double> got(want.size() + 1, -1.0);
                conv_encode_frame(t, ud.data(), k, term, got.data());
                for (std::size_t j = 0; j < want.size(); ++j)
                    ASSERT_EQ(got[j], want[j]) << c.K << " " << j;
                EXPECT_EQ(got.back(), -1.0);  // writes no further
            }
        }
    }
}

TEST(ConvCode, RefusesBadParameters) {
    struct row {
        conv_polynomials p;
        conv_fault fault;
        int which;
    };
    const row rows[] = {
        {{1, 1, {1}, 0}, conv_fault::K_range, 0},
        {{10, 1, {1}, 0}, conv_fault::K_range, 0},
        {{3, 0, {}, 0}, conv_fault::outputs, 0},
        {{3, 8, {7, 5, 7, 5, 7, 5, 7, 5}, 7}, conv_fault::outputs, 0},  // n = 9
        {{3, 2, {7, 0}, 0}, conv_fault::G_zero, 1},
        {{3, 2, {7, 8}, 0}, conv_fault::G_wide, 1},
        {{3, 1, {5}, 8}, conv_fault::F_wide, 0},
        {{3, 1, {5}, 6}, conv_fault::F_taps, 0},  // no bottom tap
        {{3, 1, {5}, 3}, conv_fault::F_taps, 0},  // no top tap
        {{9, 8, {1, 2, 3, 4, 5, 6, 7, 511}, 0}, conv_fault::none, 0},
    };
    for (const row& r : rows) {
        int which = -1;
        EXPECT_EQ(conv_check_code(r.p, &which), r.fault) << r.p.K;
        EXPECT_EQ(which, r.which);
    }
}

// Random LLRs of the codeword of random bits through a Gaussian channel: L = 2y/s2.
std::vector<double> channel_llrs(std::mt19937_64& rng, const conv_reference_code& c, std::size_t k,
                                 bool term, double scale, std::vector<int>* info = nullptr) {
    std::vector<int> u(k);
    for (auto& b : u) b = static_cast<int>(rng() & 1u);
    if (info != nullptr) *info = u;
    const std::vector<int> bits = reference_encode(c, u, term);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> L(bits.size());
    for (std::size_t j = 0; j < L.size(); ++j) L[j] = scale * ((bits[j] ? -1.0 : 1.0) + g(rng));
    return L;
}

TEST(ConvDecoder, LogmapEqualsTheApOfEveryCodeword) {
    std::mt19937_64 rng(2);
    std::normal_distribution<double> g(0.0, 1.0);
    for (const auto& c : codes()) {
        const conv_trellis t = trellis_of(c);
        for (bool term : {false, true}) {
            for (std::size_t k : {1, 4, 7}) {
                if (c.K >= 7 && k > 4 && !term) continue;
                for (double scale : {0.3, 2.0, 60.0}) {
                    const std::vector<double> L = channel_llrs(rng, c, k, term, scale);
                    for (bool priors : {false, true}) {
                        std::vector<double> La;
                        if (priors)
                            for (std::size_t i = 0; i < k; ++i) La.push_back(scale * g(rng));
                        if (scale < 1) {
                            // the scaled-probability path is the one under test here
                            const conv_frame f{&t,
                                               k,
                                               term,
                                               conv_method::logmap,
                                               false,
                                               L.data(),
                                               La.empty() ? nullptr : La.data(),
                                               nullptr,
                                               nullptr};
                            EXPECT_TRUE(conv_frame_is_linear(f));
                        }
                        for (bool ext : {false, true}) {
                            const enumerated_llrs want =
                                enumerate_app(c, k, term, L, La, true, ext);
                            for (bool log_path : {false, true}) {
                                const decoded d =
                                    decode(t, k, term, conv_method::logmap, ext, L, La, log_path);
                                expect_close(d.Lu, want.Lu, 1e-9, "Lu");
                                expect_close(d.Lc, want.Lc, 1e-9, "Lc");
                            }
                        }
                    }
                }
            }
        }
    }
}

// Multiples of 1/8 in [-6, 6]: every sum of a frame's metrics is exact.
std::vector<double> dyadic(std::mt19937_64& rng, std::size_t count) {
    std::vector<double> v(count);
    for (double& x : v) x = static_cast<double>(static_cast<int>(rng() % 97) - 48) / 8.0;
    return v;
}

TEST(ConvDecoder, MaxlogEqualsTheMaxlogEnumerationExactly) {
    std::mt19937_64 rng(3);
    for (const auto& c : codes()) {
        const conv_trellis t = trellis_of(c);
        for (bool term : {false, true}) {
            for (std::size_t k : {1, 5, 7}) {
                const std::vector<double> L = dyadic(rng, conv_frame_bits(t, k, term));
                for (bool priors : {false, true}) {
                    const std::vector<double> La = priors ? dyadic(rng, k) : std::vector<double>();
                    for (bool ext : {false, true}) {
                        // the correlation metric sum (1-2b)L/2: another form than the decoder's
                        const enumerated_llrs want =
                            enumerate_app(c, k, term, L, La, false, ext, true);
                        const decoded d = decode(t, k, term, conv_method::maxlog, ext, L, La);
                        for (std::size_t i = 0; i < k; ++i) ASSERT_EQ(d.Lu[i], want.Lu[i]) << i;
                        for (std::size_t j = 0; j < L.size(); ++j)
                            ASSERT_EQ(d.Lc[j], want.Lc[j]) << j;
                    }
                }
            }
        }
    }
}

TEST(ConvDecoder, MaxlogDecisionsEqualViterbi) {
    std::mt19937_64 rng(4);
    for (const auto& c : codes()) {
        const conv_trellis t = trellis_of(c);
        for (double scale : {0.7, 1.5}) {
            const std::size_t k = 300;
            const std::vector<double> L = channel_llrs(rng, c, k, true, scale);
            const std::vector<int> want = viterbi(c, k, L);
            const decoded d = decode(t, k, true, conv_method::maxlog, false, L, {});
            for (std::size_t i = 0; i < k; ++i)
                ASSERT_EQ(d.Lu[i] < 0 ? 1 : 0, want[i]) << c.K << " " << i;
        }
    }
}

TEST(ConvDecoder, KnownBitsEqualTheEnumeration) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> g(0.0, 1.0);
    for (const auto& c : codes()) {
        const conv_trellis t = trellis_of(c);
        for (bool term : {false, true}) {
            const std::size_t k = c.K >= 7 ? 4 : 6;
            for (int trial = 0; trial < 6; ++trial) {
                // some inputs known: from the codeword (consistent) or at random (trials 3..5:
                // contradictions allowed)
                std::vector<int> u;
                std::vector<double> L = channel_llrs(rng, c, k, term, 1.5, &u);
                const std::vector<int> bits = reference_encode(c, u, term);
                for (std::size_t j = 0; j < L.size(); ++j) {
                    if (rng() % 3 == 0) {
                        const int b = trial < 3 ? bits[j] : static_cast<int>(rng() & 1u);
                        L[j] = b ? -inf : inf;
                    }
                }
                std::vector<double> La(k);
                for (std::size_t i = 0; i < k; ++i) {
                    La[i] = g(rng);
                    if (rng() % 3 == 0)
                        La[i] = (trial < 3 ? u[i] : static_cast<int>(rng() & 1u)) ? -inf : inf;
                }
                for (conv_method m : {conv_method::logmap, conv_method::maxlog}) {
                    for (bool ext : {false, true}) {
                        enumerated_llrs want =
                            enumerate_app(c, k, term, L, La, m == conv_method::logmap, ext);
                        if (!ext) {
                            // posterior = extrinsic + own input, +Inf - Inf counting 0
                            const enumerated_llrs e =
                                enumerate_app(c, k, term, L, La, m == conv_method::logmap, true);
                            auto add = [](double x, double y) {
                                return (std::isinf(x) && std::isinf(y) && (x > 0) != (y > 0))
                                           ? 0.0
                                           : x + y;
                            };
                            for (std::size_t i = 0; i < k; ++i) want.Lu[i] = add(e.Lu[i], La[i]);
                            for (std::size_t j = 0; j < L.size(); ++j)
                                want.Lc[j] = add(e.Lc[j], L[j]);
                        }
                        const decoded d = decode(t, k, term, m, ext, L, La);
                        expect_close(d.Lu, want.Lu, 1e-9, "Lu");
                        expect_close(d.Lc, want.Lc, 1e-9, "Lc");
                    }
                }
            }
        }
    }
}

TEST(ConvDecoder, ExtremeMagnitudesGiveNoNaN) {
    std::mt19937_64 rng(6);
    const double big[] = {1e300, std::numeric_limits<double>::max(), 1e-300, 4.9e-324, 745.0, 0.0};
    for (const auto& c : codes()) {
        const conv_trellis t = trellis_of(c);
        for (double b : big) {
            std::vector<double> L(conv_frame_bits(t, 50, true)), La(50);
            for (double& x : L) x = (rng() & 1u) ? b : -b;
            for (double& x : La) x = (rng() % 4 == 0) ? -b : ((rng() & 1u) ? b : 0.0);
            for (conv_method m : {conv_method::logmap, conv_method::maxlog}) {
                for (bool ext : {false, true}) {
                    const decoded d = decode(t, 50, true, m, ext, L, La);
                    for (double x : d.Lu) ASSERT_FALSE(std::isnan(x)) << b;
                    for (double x : d.Lc) ASSERT_FALSE(std::isnan(x)) << b;
                }
            }
        }
    }
}

// A code of random generators (and feedback) with K = 2..9 and n = 1..4.
conv_reference_code random_code(std::mt19937_64& rng) {
    conv_reference_code c;
    c.K = 2 + static_cast<int>(rng() % 8);
    const std::uint32_t top = 1u << (c.K - 1);
    c.F = (rng() & 1u) ? (top | 1u | (static_cast<std::uint32_t>(rng()) & (top - 1))) : 0;
    const int generators = 1 + static_cast<int>(rng() % (c.F != 0 ? 3 : 4));
    for (int j = 0; j < generators; ++j)
        c.G.push_back(1u + static_cast<std::uint32_t>(rng() % (2 * top - 1)));
    return c;
}

bool same_bits(double x, double y) {
    return std::memcmp(&x, &y, sizeof x) == 0;
}

// Frames without Lc wanted take the vector path (K >= 4; max-log with priors within 1000,
// log-MAP on the frames of the scaled-probability path): it equals the scalar path bit for
// bit, over random codes, lengths, priors, known bits and magnitudes up to the largest double
// (and the frames that fall back, K < 4, a prior beyond 1000 or a log-MAP frame in the log
// domain, equal it too); max-log's Lc as well (the vector path at rates down to 1/3, n = 4
// falls back). The scalar reference: max-log's log-domain loops, and for log-MAP the same
// frame with Lc wanted (which takes the scalar loops).
TEST(ConvDecoder, VectorPathEqualsTheScalarPathBitForBit) {
    std::mt19937_64 rng(8);
    std::normal_distribution<double> g(0.0, 1.0);
    const double huge[] = {inf, 1e300, std::numeric_limits<double>::max(), 1500.0, 0.0};
    int linear_frames = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const conv_reference_code c = random_code(rng);
        const conv_trellis t = trellis_of(c);
        const bool term = (trial & 1) != 0;
        const conv_method method = trial % 3 == 1 ? conv_method::logmap : conv_method::maxlog;
        const std::size_t k = trial % 9 == 0 ? rng() % 3 : 1 + rng() % 400;
        const double scale = std::ldexp(1.0, static_cast<int>(rng() % 12) - 4);
        std::vector<double> L = channel_llrs(rng, c, k, term, scale), La;
        if (trial % 4 != 0) {
            for (std::size_t i = 0; i < k; ++i) La.push_back(scale * g(rng));
        }
        // some inputs (from trial 150 on) at an extreme, of either sign
        if (trial >= 150) {
            const double big = huge[trial % 5];
            for (double& x : L)
                if (rng() % 7 == 0) x = (rng() & 1u) ? big : -big;
            for (double& x : La)
                if (rng() % 7 == 0) {
                    // beyond 1000 (the scalar path) in a quarter of the trials only
                    const double b = trial % 4 == 0 ? big : std::min(big, 1000.0);
                    x = (rng() & 1u) ? std::min(big, 1000.0) : -b;
                }
        }
        for (bool ext : {false, true}) {
            std::vector<double> fast(k, -7.0), ref(k, -7.0), Lc(L.size());
            std::vector<double> scratch(conv_decode_scratch(t, k, term));
            const double* prior = La.empty() ? nullptr : La.data();
            const conv_frame ff{&t, k, term, method, ext, L.data(), prior, fast.data(), nullptr};
            const conv_frame fr{&t, k, term, method, ext, L.data(), prior, ref.data(), nullptr};
            const conv_frame fc{&t, k, term, method, ext, L.data(), prior, ref.data(), Lc.data()};
            ASSERT_TRUE(conv_decode_frame(ff, scratch.data(), nullptr));
            if (method == conv_method::maxlog) {
                ASSERT_TRUE(conv_decode_frame_log(fr, scratch.data(), nullptr));
            } else {
                ASSERT_TRUE(conv_decode_frame(fc, scratch.data(), nullptr));
                linear_frames += c.K >= 4 && k > 0 && conv_frame_is_linear(ff);
            }
            for (std::size_t i = 0; i < k; ++i)
                ASSERT_TRUE(same_bits(fast[i], ref[i]))
                    << trial << " K " << c.K << " n " << c.n() << " i " << i << ": " << fast[i]
                    << " " << ref[i];
            // and the path with Lc gives the same Lu; max-log's Lc (the vector path at rates
            // down to 1/3) equals the scalar loops' too
            std::fill(ref.begin(), ref.end(), -7.0);
            ASSERT_TRUE(conv_decode_frame(fc, scratch.data(), nullptr));
            for (std::size_t i = 0; i < k; ++i) ASSERT_TRUE(same_bits(fast[i], ref[i])) << trial;
            if (method == conv_method::maxlog) {
                std::vector<double> Lu2(k), Lc2(L.size(), -7.0);
                const conv_frame fl{&t,       k,     term,       method,    ext,
                                    L.data(), prior, Lu2.data(), Lc2.data()};
                ASSERT_TRUE(conv_decode_frame_log(fl, scratch.data(), nullptr));
                for (std::size_t i = 0; i < k; ++i) ASSERT_TRUE(same_bits(Lu2[i], ref[i])) << trial;
                for (std::size_t i = 0; i < L.size(); ++i)
                    ASSERT_TRUE(same_bits(Lc[i], Lc2[i]))
                        << trial << " K " << c.K << " n " << c.n() << " Lc " << i << ": " << Lc[i]
                        << " " << Lc2[i];
            }
        }
    }
    EXPECT_GT(linear_frames, 30);  // the log-MAP vector path was taken
}

bool after_polls(const void* context) {
    long* left = static_cast<long*>(const_cast<void*>(context));
    return (*left)-- <= 0;
}

TEST(ConvDecoder, InterruptCheckStopsALongFrame) {
    const conv_reference_code c{7, {0133, 0171}, 0};
    const conv_trellis t = trellis_of(c);
    const std::size_t k = 100000;
    std::vector<double> L(conv_frame_bits(t, k, true), 1.0), Lu(k),
        scratch(conv_decode_scratch(t, k, true));
    for (long polls : {0L, 5L, 30L}) {
        long left = polls;
        const interrupt_check check{after_polls, &left};
        for (conv_method m : {conv_method::logmap, conv_method::maxlog}) {
            left = polls;
            const conv_frame f{&t, k, true, m, false, L.data(), nullptr, Lu.data(), nullptr};
            EXPECT_FALSE(conv_decode_frame(f, scratch.data(), &check));
        }
    }
}

TEST(ConvDecoder, ScratchSizeRefusesOverflow) {
    const conv_trellis t = trellis_of({9, {0561, 0753}, 0});
    EXPECT_EQ(conv_decode_scratch(t, static_cast<std::size_t>(-1) / 4, true), 0u);
    EXPECT_EQ(conv_decode_scratch(t, (std::size_t{1} << 37), true), 0u);  // 2^45 doubles
    EXPECT_GT(conv_decode_scratch(t, (std::size_t{1} << 36), true), 0u);
    EXPECT_EQ(conv_frame_bits(t, static_cast<std::size_t>(-1) - 3, true), 0u);
    EXPECT_GT(conv_decode_scratch(t, 1000, true), 1000u * 256u);
}

}  // namespace
