// SPDX-License-Identifier: BSD-3-Clause
// mimo_detect through the test host: every method against exhaustive enumeration over
// const^Nt or its formula, noise-free frames, the lattice functions on the prepared real
// problem, orderings, thread counts, info, messages and Ctrl-C.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gateways/gateways.h"
#include "host/test_host.h"
#include "tests/batch_support.h"

namespace {

using cd = std::complex<double>;
const double inf = std::numeric_limits<double>::infinity();

struct constellation {
    std::string name;
    std::vector<cd> points;
    std::vector<std::vector<int>> bits;  // empty: natural labels
    bool complex_model;
    bool lattice;  // square QAM / PAM: 'lr' applies
};

std::vector<std::vector<int>> natural_bits(std::size_t M) {
    int B = 0;
    while ((std::size_t{1} << B) < M) ++B;
    std::vector<std::vector<int>> b(M, std::vector<int>(B));
    for (std::size_t m = 0; m < M; ++m) {
        for (int c = 0; c < B; ++c) b[m][c] = (m >> (B - 1 - c)) & 1;
    }
    return b;
}

// 16-QAM in column-major meshgrid order (point m: real value index m/4, imaginary m%4), the
// Gray code of each part; swap_bits interleaves the parts' bits (re, im, re, im).
constellation qam16(bool gray, bool interleave) {
    const double v[4] = {-3, -1, 1, 3};
    const int g[4] = {0, 1, 3, 2};
    constellation c{"16-QAM", {}, {}, true, true};
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) {
            c.points.push_back(cd(v[j], v[i]) / std::sqrt(10.0));
            const int a = gray ? g[j] : j, b = gray ? g[i] : i;
            if (interleave) {
                c.bits.push_back({(a >> 1) & 1, (b >> 1) & 1, a & 1, b & 1});
            } else {
                c.bits.push_back({(a >> 1) & 1, a & 1, (b >> 1) & 1, b & 1});
            }
        }
    }
    c.name += gray ? " Gray" : " natural";
    if (interleave) c.name += " interleaved";
    return c;
}

std::vector<constellation> constellations() {
    std::vector<constellation> all;
    all.push_back({"QPSK", {cd(1, 1), cd(-1, 1), cd(1, -1), cd(-1, -1)}, {}, true, true});
    all.push_back(qam16(true, false));
    all.push_back(qam16(false, false));
    all.push_back(qam16(true, true));
    constellation psk{"8-PSK", {}, {}, true, false};
    for (int m = 0; m < 8; ++m) psk.points.push_back(std::polar(1.0, 2 * M_PI * m / 8));
    all.push_back(psk);
    all.push_back({"BPSK real", {cd(-1, 0), cd(1, 0)}, {}, false, true});
    all.push_back({"4-PAM Gray real",
                   {cd(-3, 0), cd(-1, 0), cd(1, 0), cd(3, 0)},
                   {{0, 0}, {0, 1}, {1, 1}, {1, 0}},
                   false,
                   true});
    // a 16-QAM with scrambled labels: the complex search on a grid constellation
    constellation scrambled = qam16(true, false);
    scrambled.name = "16-QAM scrambled";
    std::swap(scrambled.bits[0], scrambled.bits[5]);
    std::swap(scrambled.bits[3], scrambled.bits[14]);
    all.push_back(scrambled);
    for (auto& c : all) {
        if (c.bits.empty()) c.bits = natural_bits(c.points.size());
    }
    return all;
}

// A frame: Y Nr-by-K, H Nr-by-Nt-by-P, as complex values (imaginary parts 0 for the real
// model), with the sent indices.
struct frame {
    std::size_t nr, nt, K, P;
    std::vector<cd> Y, H;
    std::vector<int> sent;
};

frame make_frame(std::mt19937_64& rng, const constellation& c, std::size_t nr, std::size_t nt,
                 std::size_t K, std::size_t P, double noise) {
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick(0, static_cast<int>(c.points.size()) - 1);
    frame f{nr, nt, K, P, std::vector<cd>(nr * K), std::vector<cd>(nr * nt * P), {}};
    for (cd& h : f.H) h = c.complex_model ? cd(normal(rng), normal(rng)) : cd(normal(rng), 0);
    for (std::size_t k = 0; k < K; ++k) {
        const cd* Hk = f.H.data() + (k / (K / P)) * nr * nt;
        std::vector<cd> x(nt);
        for (std::size_t t = 0; t < nt; ++t) {
            f.sent.push_back(pick(rng));
            x[t] = c.points[f.sent.back()];
        }
        for (std::size_t r = 0; r < nr; ++r) {
            cd s =
                c.complex_model ? cd(normal(rng), normal(rng)) * noise : cd(normal(rng) * noise, 0);
            for (std::size_t t = 0; t < nt; ++t) s += Hk[r + t * nr] * x[t];
            f.Y[r + k * nr] = s;
        }
    }
    return f;
}

th_array as_array(const std::vector<cd>& v, std::size_t m, std::size_t n, std::size_t p,
                  bool complex_values) {
    std::vector<double> re, im;
    for (const cd& x : v) {
        re.push_back(x.real());
        im.push_back(x.imag());
    }
    return complex_values ? th_complex(m, n, p, re, im) : th_pages(m, n, p, re);
}

th_array bits_array(const constellation& c) {
    const std::size_t M = c.points.size(), B = c.bits[0].size();
    std::vector<double> b(M * B);
    for (std::size_t m = 0; m < M; ++m) {
        for (std::size_t j = 0; j < B; ++j) b[m + j * M] = c.bits[m][j];
    }
    return th_matrix(M, B, b);
}

struct call_inputs {
    th_array Y, H, N0, points, bits, method;
    std::vector<th_array> options;
    std::vector<const host_array*> list() const {
        std::vector<const host_array*> v{Y.get(),      H.get(),    N0.get(),
                                         points.get(), bits.get(), method.get()};
        for (const th_array& o : options) v.push_back(o.get());
        return v;
    }
};

call_inputs inputs_of(const frame& f, const constellation& c, const std::vector<double>& n0,
                      const std::string& method) {
    call_inputs in;
    in.Y = as_array(f.Y, f.nr, f.K, 1, c.complex_model);
    in.H = as_array(f.H, f.nr, f.nt, f.P, c.complex_model);
    in.N0 = th_matrix(1, n0.size(), n0);
    in.points = as_array(c.points, c.points.size(), 1, 1, c.complex_model);
    in.bits = bits_array(c);
    in.method = th_string(method);
    return in;
}

th_result run(const call_inputs& in, int nlhs = 3) {
    return th_call(mimo_detect_gateway, nlhs, in.list());
}

// Calls visit(d, a) for every point of const^Nt, a its indices (antenna 1's fastest), d
// its squared distance ||y_k - H x_a||^2 on column k's channel page.
template <class Visit>
void each_point(const frame& f, const constellation& c, std::size_t k, Visit visit) {
    const std::size_t M = c.points.size(), nt = f.nt, nr = f.nr;
    const cd* H = f.H.data() + (k / (f.K / f.P)) * nr * nt;
    std::vector<std::size_t> a(nt, 0);
    for (;;) {
        double d = 0.0;
        for (std::size_t r = 0; r < nr; ++r) {
            cd e = f.Y[r + k * nr];
            for (std::size_t t = 0; t < nt; ++t) e -= H[r + t * nr] * c.points[a[t]];
            d += std::norm(e);
        }
        visit(d, a);
        std::size_t t = 0;
        while (t < nt && ++a[t] == M) a[t++] = 0;
        if (t == nt) break;
    }
}

// Exhaustive max-log over const^Nt of one column (metric ||y - H x||^2/N0 + La'*bits):
// the LLRs, the least metric and its point.
struct enumeration {
    std::vector<double> L;
    double least_distance;
};

enumeration enumerate(const frame& f, const constellation& c, std::size_t k, double n0,
                      const double* La) {
    const std::size_t B = c.bits[0].size(), nt = f.nt;
    std::vector<double> least0(nt * B, inf), least1(nt * B, inf);
    double best = inf;
    each_point(f, c, k, [&](double d, const std::vector<std::size_t>& a) {
        double metric = d / n0;
        for (std::size_t t = 0; t < nt && La != nullptr; ++t) {
            for (std::size_t j = 0; j < B; ++j) metric += La[t * B + j] * c.bits[a[t]][j];
        }
        best = std::min(best, d);
        for (std::size_t t = 0; t < nt; ++t) {
            for (std::size_t j = 0; j < B; ++j) {
                double& l = c.bits[a[t]][j] ? least1[t * B + j] : least0[t * B + j];
                l = std::min(l, metric);
            }
        }
    });
    enumeration e{std::vector<double>(nt * B), best};
    for (std::size_t b = 0; b < nt * B; ++b) e.L[b] = least1[b] - least0[b];
    return e;
}

double clipped(double v, double clip) {
    return v > clip ? clip : v < -clip ? -clip : v;
}

double distance_of(const frame& f, const constellation& c, std::size_t k, const double* idx) {
    const cd* H = f.H.data() + (k / (f.K / f.P)) * f.nr * f.nt;
    double d = 0.0;
    for (std::size_t r = 0; r < f.nr; ++r) {
        cd e = f.Y[r + k * f.nr];
        for (std::size_t t = 0; t < f.nt; ++t) {
            e -= H[r + t * f.nr] * c.points[static_cast<int>(idx[t]) - 1];
        }
        d += std::norm(e);
    }
    return d;
}

void expect_near_all(const double* got, const std::vector<double>& want, const std::string& what) {
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_NEAR(got[i], want[i], 1e-9 * (1.0 + std::fabs(want[i]))) << what << " entry " << i;
    }
}

struct size_case {
    std::size_t nr, nt;
};
const size_case sizes[] = {{1, 1}, {2, 1}, {2, 2}, {3, 2}, {3, 3}};

std::size_t leaves(std::size_t M, std::size_t nt) {
    std::size_t v = 1;
    for (std::size_t t = 0; t < nt; ++t) v *= M;
    return v;
}

TEST(MimoDetect, MaxlogKbestAndMlEqualEnumeration) {
    std::mt19937_64 rng(11);
    for (const constellation& c : constellations()) {
        const std::size_t M = c.points.size(), B = c.bits[0].size();
        for (const size_case& s : sizes) {
            if (leaves(M, s.nt) > 4096) continue;
            const std::size_t K = 6, P = 3;
            const frame f = make_frame(rng, c, s.nr, s.nt, K, P, 0.5);
            std::vector<double> n0(K), La(s.nt * B * K);
            std::uniform_real_distribution<double> u(0.2, 1.5), prior(-3.0, 3.0);
            for (double& v : n0) v = u(rng);
            for (double& v : La) v = prior(rng);
            const std::string what =
                c.name + " " + std::to_string(s.nr) + "x" + std::to_string(s.nt);
            for (const std::string method : {"maxlog", "kbest"}) {
                for (double clip : {inf, 1.5}) {
                    for (bool with_prior : {false, true}) {
                        call_inputs in = inputs_of(f, c, n0, method);
                        in.options.push_back(th_string("clip"));
                        in.options.push_back(th_scalar(clip));
                        if (with_prior) {
                            in.options.push_back(th_string("prior"));
                            in.options.push_back(th_matrix(s.nt * B, K, La));
                        }
                        if (method == "kbest") {
                            in.options.push_back(th_string("K"));
                            in.options.push_back(th_scalar(static_cast<double>(leaves(M, s.nt))));
                        }
                        const th_result r = run(in);
                        ASSERT_FALSE(r.failed) << what << ": " << r.message;
                        EXPECT_EQ(r.blocks_live, 0u);
                        EXPECT_EQ(r.arrays_discarded, 0u);
                        for (std::size_t k = 0; k < K; ++k) {
                            enumeration e = enumerate(
                                f, c, k, n0[k], with_prior ? La.data() + k * s.nt * B : nullptr);
                            for (double& v : e.L) v = clipped(v, clip);
                            expect_near_all(th_values(r.outputs[0]) + k * s.nt * B, e.L,
                                            what + " " + method + " column " + std::to_string(k));
                            if (!with_prior) {
                                const double d =
                                    distance_of(f, c, k, th_values(r.outputs[1]) + k * s.nt);
                                EXPECT_NEAR(d, e.least_distance, 1e-9 * (1 + d)) << what;
                            }
                        }
                    }
                }
            }
            const th_result ml = run(inputs_of(f, c, n0, "ml"));
            ASSERT_FALSE(ml.failed) << ml.message;
            for (std::size_t k = 0; k < K; ++k) {
                const enumeration e = enumerate(f, c, k, n0[k], nullptr);
                const double* idx = th_values(ml.outputs[1]) + k * s.nt;
                const double d = distance_of(f, c, k, idx);
                EXPECT_NEAR(d, e.least_distance, 1e-9 * (1 + d)) << what << " ml column " << k;
                for (std::size_t t = 0; t < s.nt; ++t) {
                    for (std::size_t j = 0; j < B; ++j) {
                        const double l = th_values(ml.outputs[0])[k * s.nt * B + t * B + j];
                        EXPECT_EQ(l, c.bits[static_cast<int>(idx[t]) - 1][j] ? -20.0 : 20.0);
                    }
                }
            }
        }
    }
}

// (A + sigma I)^-1 H^H by Gaussian elimination with partial pivoting, and the diagonal of
// the inverse: the straightforward reference of the linear methods.
void reference_filter(const cd* H, std::size_t nr, std::size_t nt, double sigma, std::vector<cd>& G,
                      std::vector<double>& inv_diag) {
    const std::size_t w = nt + nr;
    std::vector<cd> A(nt * (nt + w));  // row-major [A | I | H^H]
    const std::size_t cols = nt + w;
    for (std::size_t i = 0; i < nt; ++i) {
        for (std::size_t j = 0; j < nt; ++j) {
            cd s = 0;
            for (std::size_t r = 0; r < nr; ++r) s += std::conj(H[r + i * nr]) * H[r + j * nr];
            A[i * cols + j] = s + (i == j ? sigma : 0.0);
            A[i * cols + nt + j] = i == j ? 1.0 : 0.0;
        }
        for (std::size_t r = 0; r < nr; ++r) A[i * cols + 2 * nt + r] = std::conj(H[r + i * nr]);
    }
    for (std::size_t k = 0; k < nt; ++k) {
        std::size_t p = k;
        for (std::size_t i = k + 1; i < nt; ++i) {
            if (std::abs(A[i * cols + k]) > std::abs(A[p * cols + k])) p = i;
        }
        for (std::size_t j = 0; j < cols; ++j) std::swap(A[k * cols + j], A[p * cols + j]);
        for (std::size_t i = 0; i < nt; ++i) {
            if (i == k) continue;
            const cd fct = A[i * cols + k] / A[k * cols + k];
            for (std::size_t j = 0; j < cols; ++j) A[i * cols + j] -= fct * A[k * cols + j];
        }
    }
    G.assign(nt * nr, 0.0);
    inv_diag.assign(nt, 0.0);
    for (std::size_t i = 0; i < nt; ++i) {
        const cd d = A[i * cols + i];
        inv_diag[i] = (A[i * cols + nt + i] / d).real();
        for (std::size_t r = 0; r < nr; ++r) G[i + r * nt] = A[i * cols + 2 * nt + r] / d;
    }
}

TEST(MimoDetect, LinearMethodsEqualTheirFormulas) {
    std::mt19937_64 rng(5);
    for (const constellation& c : constellations()) {
        const std::size_t M = c.points.size(), B = c.bits[0].size();
        double es = 0;
        for (const cd& p : c.points) es += std::norm(p);
        es /= static_cast<double>(M);
        for (const size_case& s : sizes) {
            const std::size_t K = 4, P = 2;
            const frame f = make_frame(rng, c, s.nr, s.nt, K, P, 0.4);
            const std::vector<double> n0{0.3, 0.7, 1.1, 0.05};
            for (const std::string method : {"mmse", "zf"}) {
                call_inputs in = inputs_of(f, c, n0, method);
                in.options.push_back(th_string("clip"));
                in.options.push_back(th_scalar(inf));
                const th_result r = run(in);
                ASSERT_FALSE(r.failed) << r.message;
                for (std::size_t k = 0; k < K; ++k) {
                    const cd* H = f.H.data() + (k / (K / P)) * s.nr * s.nt;
                    const bool mmse = method == "mmse";
                    const double sigma = mmse ? n0[k] / (c.complex_model ? es : 2 * es) : 0.0;
                    std::vector<cd> G;
                    std::vector<double> inv_diag;
                    reference_filter(H, s.nr, s.nt, sigma, G, inv_diag);
                    std::vector<double> want;
                    for (std::size_t t = 0; t < s.nt; ++t) {
                        cd z = 0, gh = 0;
                        for (std::size_t q = 0; q < s.nr; ++q) {
                            z += G[t + q * s.nt] * f.Y[q + k * s.nr];
                            gh += G[t + q * s.nt] * H[q + t * s.nr];
                        }
                        const double mu = gh.real();
                        double nt0 = n0[k] * inv_diag[t];
                        if (mmse) {
                            z /= mu;
                            nt0 = es * (1 - mu) / mu * (c.complex_model ? 1.0 : 2.0);
                        }
                        for (std::size_t j = 0; j < B; ++j) {
                            double l0 = inf, l1 = inf;
                            for (std::size_t m = 0; m < M; ++m) {
                                const double e = std::norm(z - c.points[m]) / nt0;
                                (c.bits[m][j] ? l1 : l0) = std::min(c.bits[m][j] ? l1 : l0, e);
                            }
                            want.push_back(l1 - l0);
                        }
                    }
                    // the filter of an ill-conditioned page amplifies rounding: compare at a
                    // tolerance that grows with the LLRs
                    for (std::size_t i = 0; i < want.size(); ++i) {
                        EXPECT_NEAR(th_values(r.outputs[0])[k * s.nt * B + i], want[i],
                                    1e-7 * (1 + std::fabs(want[i])))
                            << c.name << " " << method << " column " << k;
                    }
                }
            }
        }
    }
}

TEST(MimoDetect, NoiseFreeFramesAreRecoveredByEveryMethod) {
    std::mt19937_64 rng(3);
    for (const constellation& c : constellations()) {
        for (const size_case& s : {size_case{2, 2}, size_case{4, 3}, size_case{4, 4}}) {
            const frame f = make_frame(rng, c, s.nr, s.nt, 12, 3, 0.0);
            for (const std::string method : {"maxlog", "ml", "kbest", "mmse", "zf", "sic", "lr"}) {
                if (method == "lr" && !c.lattice) continue;
                const th_result r = run(inputs_of(f, c, {1e-4}, method));
                ASSERT_FALSE(r.failed) << c.name << " " << method << ": " << r.message;
                for (std::size_t i = 0; i < f.sent.size(); ++i) {
                    ASSERT_EQ(th_values(r.outputs[1])[i], f.sent[i] + 1.0)
                        << c.name << " " << method << " " << s.nr << "x" << s.nt;
                }
            }
        }
    }
}

bool same_bits(const th_array& a, const th_array& b) {
    return a->rows == b->rows && a->cols == b->cols &&
           std::memcmp(a->bytes, b->bytes, a->rows * a->cols * sizeof(double)) == 0;
}

TEST(MimoDetect, ResultsDoNotDependOnTheThreadCount) {
    std::mt19937_64 rng(8);
    for (const constellation& c : constellations()) {
        const frame f = make_frame(rng, c, 4, 3, 300, 30, 0.6);
        std::vector<double> n0(300);
        for (std::size_t k = 0; k < n0.size(); ++k) n0[k] = 0.2 + 0.01 * k;
        for (const std::string method : {"maxlog", "ml", "kbest", "mmse", "zf", "sic", "lr"}) {
            if (method == "lr" && !c.lattice) continue;
            th_result serial;
            {
                thread_setting one("1");
                serial = run(inputs_of(f, c, n0, method));
            }
            ASSERT_FALSE(serial.failed) << serial.message;
            for (const std::string threads : {"2", "3", "7"}) {
                thread_setting setting(threads);
                const th_result r = run(inputs_of(f, c, n0, method));
                ASSERT_FALSE(r.failed) << r.message;
                EXPECT_TRUE(same_bits(r.outputs[0], serial.outputs[0])) << c.name << " " << method;
                EXPECT_TRUE(same_bits(r.outputs[1], serial.outputs[1])) << c.name << " " << method;
            }
        }
    }
}

TEST(MimoDetect, OrderingChangesNoExactResult) {
    std::mt19937_64 rng(21);
    for (const constellation& c : constellations()) {
        const frame f = make_frame(rng, c, 3, 3, 20, 4, 0.5);
        for (const std::string method : {"maxlog", "ml"}) {
            const th_result sorted = run(inputs_of(f, c, {0.4}, method));
            call_inputs in = inputs_of(f, c, {0.4}, method);
            in.options.push_back(th_string("ordering"));
            in.options.push_back(th_string("none"));
            const th_result plain = run(in);
            ASSERT_FALSE(sorted.failed || plain.failed);
            EXPECT_TRUE(same_bits(sorted.outputs[1], plain.outputs[1])) << c.name << " " << method;
            const double* a = th_values(sorted.outputs[0]);
            const double* b = th_values(plain.outputs[0]);
            for (std::size_t i = 0; i < sorted.outputs[0]->rows * 20; ++i) {
                EXPECT_NEAR(a[i], b[i], 1e-9 * (1 + std::fabs(a[i]))) << c.name << " " << method;
            }
        }
    }
}

std::string text_of(const host_array* a) {
    return a != nullptr && a->cls == th_class::char_string ? a->text : "<not a string>";
}

TEST(MimoDetect, InfoReportsMethodNodesAndSearch) {
    std::mt19937_64 rng(2);
    const auto all = constellations();
    const constellation& gray = all[1];
    const constellation& psk = all[4];
    const frame f = make_frame(rng, gray, 4, 4, 16, 2, 0.3);
    struct expectation {
        const constellation* c;
        std::string method, search;
        bool nodes;
    };
    const expectation table[] = {
        {&gray, "maxlog", "real", true},   {&gray, "ml", "real", true},
        {&gray, "kbest", "complex", true}, {&gray, "mmse", "linear", false},
        {&gray, "zf", "linear", false},    {&gray, "sic", "complex", false},
        {&gray, "lr", "real", false},      {&psk, "maxlog", "complex", true},
        {&psk, "ml", "complex", true}};
    for (const expectation& e : table) {
        const frame fe = e.c == &gray ? f : make_frame(rng, psk, 4, 4, 16, 2, 0.3);
        const th_result r = run(inputs_of(fe, *e.c, {0.3}, e.method));
        ASSERT_FALSE(r.failed) << r.message;
        const host_array* info = r.outputs[2].get();
        ASSERT_EQ(info->cls, th_class::structure);
        EXPECT_EQ(text_of(th_field(info, "method")), e.method);
        EXPECT_EQ(text_of(th_field(info, "search")), e.search) << e.method;
        EXPECT_EQ(text_of(th_field(info, "ordering")), "sqrd");
        const host_array* nodes = th_field(info, "nodes");
        ASSERT_NE(nodes, nullptr);
        if (e.nodes) {
            ASSERT_EQ(nodes->rows, 1u);
            ASSERT_EQ(nodes->cols, 16u);
            for (std::size_t k = 0; k < 16; ++k) {
                EXPECT_GE(reinterpret_cast<const double*>(nodes->bytes)[k], 1.0) << e.method;
            }
        } else {
            EXPECT_EQ(nodes->rows * nodes->cols, 0u);
        }
    }
    // one output only: no struct is left behind
    const th_result r = run(inputs_of(f, gray, {0.3}, "maxlog"), 1);
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(r.blocks_live, 0u);
}

TEST(MimoDetect, CtrlCStopsTheCall) {
    std::mt19937_64 rng(4);
    const auto all = constellations();
    const frame f = make_frame(rng, all[1], 4, 4, 400, 50, 1.0);
    for (const std::string method : {"maxlog", "mmse"}) {
        thread_setting one("1");
        th_interrupt_after(0);
        const th_result r = run(inputs_of(f, all[1], {0.3}, method));
        EXPECT_TRUE(r.failed);
        EXPECT_EQ(r.message, "interrupted\n");
        EXPECT_EQ(r.blocks_live, 0u);
    }
}

TEST(MimoDetect, Messages) {
    std::mt19937_64 rng(6);
    const auto all = constellations();
    const constellation& q = all[0];
    const frame f = make_frame(rng, q, 2, 2, 4, 2, 0.3);
    const th_array Y = as_array(f.Y, 2, 4, 1, true), H = as_array(f.H, 2, 2, 2, true);
    const th_array pts = as_array(q.points, 4, 1, 1, true), none = th_matrix(0, 0);
    const th_array n0 = th_scalar(0.5), ml = th_string("ml");
    auto nan_in = [](std::vector<cd> v, std::size_t i) {
        v[i] = cd(std::nan(""), 0);
        return v;
    };
    const th_array Ynan = as_array(nan_in(f.Y, 5), 2, 4, 1, true);
    const th_array Hnan = as_array(nan_in(f.H, 6), 2, 2, 2, true);
    std::vector<cd> Hz = f.H;
    Hz[6] = Hz[7] = 0.0;  // page 2, column 2
    const th_array Hzero = as_array(Hz, 2, 2, 2, true);
    const th_array H13 = as_array(std::vector<cd>(3, 1.0), 1, 3, 1, true);
    const th_array Y1 = as_array(std::vector<cd>(4, 1.0), 1, 4, 1, true);
    const th_array three = as_array(std::vector<cd>(3, 1.0), 3, 1, 1, true);
    const th_array same4 = as_array(std::vector<cd>(4, 7.0), 4, 1, 1, true);
    const th_array dup = th_matrix(4, 2, {0, 1, 1, 0, 0, 1, 1, 0});
    const th_array notbits = th_matrix(4, 2, {0, 1, 2, 0, 0, 1, 1, 0});
    const th_array wrongbits = th_matrix(4, 3);
    const th_array real_pts = th_column({-1, 1});
    const th_array Yr = th_matrix(2, 4, {1, 2, 3, 4, 5, 6, 7, 8}),
                   Hr = th_matrix(2, 2, {1, 0, 0, 1});
    const th_array psk_pts = as_array(all[4].points, 8, 1, 1, true);
    const th_array K0 = th_scalar(0.5);
    const th_array badn0 = th_matrix(1, 4, {1, 1, -1, 1});
    const th_array single = th_typed(th_class::single, 2, 4);
    struct message_case {
        std::vector<const host_array*> in;
        std::string message;
    };
    const th_array s_foo = th_string("foo"), s_clip = th_string("clip"),
                   s_radius = th_string("radius");
    const th_array s_K = th_string("K"), s_ord = th_string("ordering"),
                   s_prior = th_string("prior");
    const th_array s_lr = th_string("lr"), s_mmse = th_string("mmse"), s_zf = th_string("zf");
    const th_array minus = th_scalar(-1), prior_small = th_matrix(3, 4);
    const std::vector<message_case> cases = {
        {{Y.get(), H.get(), n0.get(), pts.get(), none.get()},
         "USAGE: [llr,idx,info]=mimo_detect(Y,H,N0,const,bits,method,Name,Value,...)\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), none.get(), s_foo.get()},
         "method must be 'maxlog', 'app', 'ml', 'kbest', 'mmse', 'zf', 'sic', 'lr', 'mmse-pic' or "
         "'ep'\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), none.get(), n0.get()},
         "method must be 'maxlog', 'app', 'ml', 'kbest', 'mmse', 'zf', 'sic', 'lr', 'mmse-pic' or "
         "'ep'\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), none.get(), ml.get(), s_radius.get(), n0.get()},
         "unknown option 'radius' (known: clip, prior, output, tol, K, fill, ordering, iterations, "
         "damping)\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), none.get(), ml.get(), s_clip.get(), minus.get()},
         "clip must be 0 or more (Inf allowed)\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), none.get(), ml.get(), s_K.get(), K0.get()},
         "K must be a positive integer (at most 2^20)\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), none.get(), ml.get(), s_ord.get(), s_foo.get()},
         "ordering must be 'sqrd' or 'none'\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), none.get(), ml.get(), s_prior.get(),
          prior_small.get()},
         "prior is taken by the soft methods only ('maxlog', 'app', 'kbest', 'mmse', 'zf', "
         "'mmse-pic', 'ep')\n"},
        {{single.get(), H.get(), n0.get(), pts.get(), none.get(), ml.get()},
         "Y must be a double array (real or complex)\n"},
        {{Ynan.get(), H.get(), n0.get(), pts.get(), none.get(), ml.get()},
         "Y column 3 must not contain NaN or Inf\n"},
        {{Y.get(), Hnan.get(), n0.get(), pts.get(), none.get(), ml.get()},
         "H page 2 must not contain NaN or Inf\n"},
        {{Y.get(), Hzero.get(), n0.get(), pts.get(), none.get(), ml.get()},
         "H page 2 must have full column rank\n"},
        {{Y.get(), Hzero.get(), n0.get(), pts.get(), none.get(), s_zf.get()},
         "H page 2 must have full column rank\n"},
        {{Y1.get(), H13.get(), n0.get(), pts.get(), none.get(), ml.get()},
         "H must have at least as many rows as columns (Nr >= Nt) for 'ml'\n"},
        {{Y1.get(), H13.get(), n0.get(), pts.get(), none.get(), s_zf.get()},
         "H must have at least as many rows as columns (Nr >= Nt) for 'zf'\n"},
        {{Y.get(), H13.get(), n0.get(), pts.get(), none.get(), ml.get()},
         "H must have as many rows as Y (Nr)\n"},
        {{three.get(), H.get(), n0.get(), pts.get(), none.get(), ml.get()},
         "H must have as many rows as Y (Nr)\n"},
        {{Y.get(), H.get(), minus.get(), pts.get(), none.get(), ml.get()},
         "N0 must be positive and finite\n"},
        {{Y.get(), H.get(), badn0.get(), pts.get(), none.get(), ml.get()},
         "N0 column 3 must be positive and finite\n"},
        {{Y.get(), H.get(), n0.get(), three.get(), none.get(), ml.get()},
         "const must have M points, M a power of two from 2 to 256\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), dup.get(), ml.get()},
         "bits must give every point a different label (distinct rows)\n"},
        {{Y.get(), H.get(), n0.get(), same4.get(), none.get(), ml.get()},
         "const must have M distinct points\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), notbits.get(), ml.get()},
         "bits must hold only 0 and 1\n"},
        {{Y.get(), H.get(), n0.get(), pts.get(), wrongbits.get(), ml.get()},
         "bits must be M-by-log2(M) (one label per point) or []\n"},
        {{Y.get(), H.get(), n0.get(), psk_pts.get(), none.get(), s_lr.get()},
         "const must be square QAM or PAM on a uniform grid for 'lr'\n"},
    };
    for (const message_case& mc : cases) {
        const th_result r = th_call(mimo_detect_gateway, 3, mc.in);
        EXPECT_TRUE(r.failed) << mc.message;
        EXPECT_EQ(r.message, mc.message);
        EXPECT_EQ(r.blocks_live, 0u) << mc.message;
    }
    (void)real_pts;
    (void)s_mmse;
}

// PAM of M points on Gray labels, the real model.
constellation pam(std::size_t M) {
    constellation c{std::to_string(M) + "-PAM real", {}, {}, false, true};
    int B = 0;
    while ((std::size_t{1} << B) < M) ++B;
    for (std::size_t a = 0; a < M; ++a) {
        c.points.push_back(cd(2.0 * static_cast<double>(a) - static_cast<double>(M - 1), 0));
        const std::size_t g = a ^ (a >> 1);
        std::vector<int> b(B);
        for (int j = 0; j < B; ++j) b[j] = (g >> (B - 1 - j)) & 1;
        c.bits.push_back(b);
    }
    return c;
}

// Exhaustive max-log with the priors as costs of the excluded value (+Inf for a known bit),
// as the searches form them: the same LLRs as enumerate for finite priors.
std::vector<double> enumerate_costs(const frame& f, const constellation& c, std::size_t k,
                                    double n0, const double* La) {
    const std::size_t B = c.bits[0].size(), nt = f.nt;
    std::vector<double> least0(nt * B, inf), least1(nt * B, inf);
    each_point(f, c, k, [&](double d, const std::vector<std::size_t>& a) {
        double metric = d / n0;
        for (std::size_t t = 0; t < nt && La != nullptr; ++t) {
            for (std::size_t j = 0; j < B; ++j) {
                const double v = c.bits[a[t]][j] ? La[t * B + j] : -La[t * B + j];
                if (v > 0) metric += v;
            }
        }
        for (std::size_t t = 0; t < nt; ++t) {
            for (std::size_t j = 0; j < B; ++j) {
                double& l = c.bits[a[t]][j] ? least1[t * B + j] : least0[t * B + j];
                l = std::min(l, metric);
            }
        }
    });
    std::vector<double> L(nt * B);
    for (std::size_t b = 0; b < nt * B; ++b) {
        L[b] = least1[b] == least0[b] ? 0.0 : least1[b] - least0[b];  // Inf - Inf: none
    }
    return L;
}

// PAM of 32 to 256 points in the real model: the per-dimension label tables hold every
// value, so that every method answers as for small PAM: the tree methods equal
// enumeration, and a frame at high SNR comes back as sent from every method.
TEST(MimoDetect, LargePamInTheRealModel) {
    std::mt19937_64 rng(23);
    for (std::size_t M : {32u, 64u, 128u, 256u}) {
        const constellation c = pam(M);
        const std::size_t B = c.bits[0].size();
        for (const size_case& s : {size_case{1, 1}, size_case{2, 2}, size_case{3, 2}}) {
            const std::size_t K = 4, P = 2;
            const frame f = make_frame(rng, c, s.nr, s.nt, K, P, 0.6);
            const std::vector<double> n0{0.8, 0.8, 0.8, 0.8};
            const std::string what =
                c.name + " " + std::to_string(s.nr) + "x" + std::to_string(s.nt);
            for (const std::string method : {"maxlog", "kbest", "ml"}) {
                call_inputs in = inputs_of(f, c, n0, method);
                in.options.push_back(th_string("clip"));
                in.options.push_back(th_scalar(method == "ml" ? 0.0 : 6.0));
                if (method == "kbest") {
                    in.options.push_back(th_string("K"));
                    in.options.push_back(th_scalar(static_cast<double>(leaves(M, s.nt))));
                }
                const th_result r = run(in);
                ASSERT_FALSE(r.failed) << what << " " << method << ": " << r.message;
                for (std::size_t k = 0; k < K; ++k) {
                    enumeration e = enumerate(f, c, k, n0[k], nullptr);
                    if (method != "ml") {
                        for (double& v : e.L) v = clipped(v, 6.0);
                        expect_near_all(th_values(r.outputs[0]) + k * s.nt * B, e.L,
                                        what + " " + method);
                    }
                    const double d = distance_of(f, c, k, th_values(r.outputs[1]) + k * s.nt);
                    EXPECT_NEAR(d, e.least_distance, 1e-9 * (1 + d)) << what << " " << method;
                }
            }
            const frame clean = make_frame(rng, c, s.nr, s.nt, K, P, 0.0);
            for (const std::string method : {"maxlog", "kbest", "ml", "mmse", "zf", "sic", "lr"}) {
                const th_result r = run(inputs_of(clean, c, {1e-3}, method));
                ASSERT_FALSE(r.failed) << what << " " << method << ": " << r.message;
                for (std::size_t i = 0; i < s.nt * K; ++i) {
                    ASSERT_EQ(th_values(r.outputs[1])[i], clean.sent[i] + 1.0)
                        << what << " " << method << " entry " << i;
                }
                // every bit of the decided point has the sign of its label (positive means 0)
                for (std::size_t i = 0; i < s.nt * K; ++i) {
                    for (std::size_t j = 0; j < B; ++j) {
                        const double l = th_values(r.outputs[0])[i * B + j];
                        EXPECT_EQ(l < 0.0, c.bits[clean.sent[i]][j] == 1)
                            << what << " " << method << " bit " << i * B + j;
                    }
                }
            }
        }
    }
}

// A column whose metrics overflow raises the same message from every tree method, and
// K-best no longer answers it with +-clip and index 1.
TEST(MimoDetect, OverflowingColumnsRaiseForEveryTreeMethod) {
    std::mt19937_64 rng(24);
    const auto all = constellations();
    for (const constellation& c : {all[4], all[1], pam(64)}) {
        frame f = make_frame(rng, c, 3, 3, 4, 1, 0.3);
        for (std::size_t r = 0; r < f.nr; ++r) f.Y[r + 2 * f.nr] *= 1e200;
        for (const std::string method : {"maxlog", "kbest", "ml"}) {
            const th_result r = run(inputs_of(f, c, {1.0}, method));
            EXPECT_TRUE(r.failed) << c.name << " " << method;
            EXPECT_EQ(r.message, "Y column 3 is too large for H: it overflows\n")
                << c.name << " " << method;
            EXPECT_EQ(r.identifier, "latbox:mimo_detect:overflow");
            EXPECT_EQ(r.blocks_live, 0u);
        }
    }
}

// Ctrl-C inside one K-best column: a single column of 7x7 16-QAM with a list of 2^16 forms
// 2^20 candidates on each of the lower levels, so that the search itself asks.
TEST(MimoDetect, CtrlCStopsOneLongKbestColumn) {
    std::mt19937_64 rng(25);
    const auto all = constellations();
    const frame f = make_frame(rng, all[1], 7, 7, 1, 1, 0.5);
    call_inputs in = inputs_of(f, all[1], {0.3}, "kbest");
    in.options.push_back(th_string("K"));
    in.options.push_back(th_scalar(65536.0));
    thread_setting one("1");
    // the search asks as it goes: several times within the one column
    const th_result full = run(in);
    ASSERT_FALSE(full.failed);
    EXPECT_GE(full.interrupt_polls, 4u);
    for (long after : {0L, 2L}) {
        th_interrupt_after(after);
        const th_result r = run(in);
        EXPECT_TRUE(r.failed);
        EXPECT_EQ(r.message, "interrupted\n");
        EXPECT_EQ(r.identifier, "latbox:mimo_detect:interrupted");
        EXPECT_GT(r.interrupt_polls, static_cast<std::size_t>(after));
        EXPECT_EQ(r.blocks_live, 0u);
    }
}

// Priors of +-Inf are known bits: every soft tree method equals the enumeration in which
// the excluded points cost +Inf, the known bit itself gives +-clip (+-Inf unclipped).
TEST(MimoDetect, KnownBitsAsInfinitePriors) {
    std::mt19937_64 rng(26);
    const auto all = constellations();
    for (const constellation& c : {all[1], all[4], all[6]}) {
        const std::size_t M = c.points.size(), B = c.bits[0].size();
        const frame f = make_frame(rng, c, 2, 2, 4, 1, 0.5);
        std::vector<double> La(2 * B * 4);
        std::uniform_real_distribution<double> u(-2.0, 2.0);
        for (double& v : La) v = u(rng);
        for (std::size_t k = 0; k < 4; ++k) La[k * 2 * B + (k % (2 * B))] = k % 2 ? -inf : inf;
        for (const std::string method : {"maxlog", "kbest"}) {
            for (double clip : {5.0, inf}) {
                call_inputs in = inputs_of(f, c, {0.6}, method);
                in.options.push_back(th_string("prior"));
                in.options.push_back(th_matrix(2 * B, 4, La));
                in.options.push_back(th_string("clip"));
                in.options.push_back(th_scalar(clip));
                if (method == "kbest") {
                    in.options.push_back(th_string("K"));
                    in.options.push_back(th_scalar(static_cast<double>(leaves(M, 2))));
                }
                const th_result r = run(in);
                ASSERT_FALSE(r.failed) << c.name << " " << method << ": " << r.message;
                for (std::size_t k = 0; k < 4; ++k) {
                    std::vector<double> e = enumerate_costs(f, c, k, 0.6, La.data() + k * 2 * B);
                    for (std::size_t b = 0; b < 2 * B; ++b) {
                        const double want = clipped(e[b], clip);
                        const double got = th_values(r.outputs[0])[k * 2 * B + b];
                        if (std::isinf(want)) {
                            EXPECT_EQ(got, want) << c.name << " " << method << " bit " << b;
                        } else {
                            EXPECT_NEAR(got, want, 1e-9 * (1 + std::fabs(want)))
                                << c.name << " " << method << " bit " << b;
                        }
                    }
                }
            }
        }
    }
}

// MMSE with a stream that no receiver sees (a zero column of H) or no receive antennas at
// all: LLR 0 for that stream's bits, the point nearest 0, and the other streams as the
// MMSE of the channel without that column.
TEST(MimoDetect, MmseStreamsThatNoReceiverSees) {
    std::mt19937_64 rng(28);
    const auto all = constellations();
    const constellation& c = all[1];
    const std::size_t B = c.bits[0].size();
    frame f = make_frame(rng, c, 3, 3, 5, 1, 0.3);
    for (std::size_t r = 0; r < 3; ++r) f.H[r + 1 * 3] = 0.0;  // antenna 2 unseen
    frame g = f;
    g.nt = 2;
    g.H.clear();
    for (std::size_t t : {0u, 2u}) {
        for (std::size_t r = 0; r < 3; ++r) g.H.push_back(f.H[r + t * 3]);
    }
    const th_result r = run(inputs_of(f, c, {0.4}, "mmse"));
    ASSERT_FALSE(r.failed) << r.message;
    const th_result q = run(inputs_of(g, c, {0.4}, "mmse"));
    ASSERT_FALSE(q.failed) << q.message;
    std::size_t nearest = 0;
    for (std::size_t m = 1; m < c.points.size(); ++m) {
        if (std::norm(c.points[m]) < std::norm(c.points[nearest])) nearest = m;
    }
    for (std::size_t k = 0; k < 5; ++k) {
        for (std::size_t j = 0; j < B; ++j) {
            EXPECT_EQ(th_values(r.outputs[0])[(3 * k + 1) * B + j], 0.0);
            EXPECT_NEAR(th_values(r.outputs[0])[(3 * k) * B + j],
                        th_values(q.outputs[0])[(2 * k) * B + j], 1e-9);
            EXPECT_NEAR(th_values(r.outputs[0])[(3 * k + 2) * B + j],
                        th_values(q.outputs[0])[(2 * k + 1) * B + j], 1e-9);
        }
        EXPECT_EQ(th_values(r.outputs[1])[3 * k + 1], nearest + 1.0);
    }
    // no receive antennas
    frame none{0, 2, 3, 1, {}, {}, {}};
    const th_result z = run(inputs_of(none, c, {0.4}, "mmse"));
    ASSERT_FALSE(z.failed) << z.message;
    for (std::size_t i = 0; i < 2 * B * 3; ++i) EXPECT_EQ(th_values(z.outputs[0])[i], 0.0);
    for (std::size_t i = 0; i < 2 * 3; ++i) EXPECT_EQ(th_values(z.outputs[1])[i], nearest + 1.0);
}

// Values at the edges of the arguments: a tiny N0 on the real-valued search (the metrics in
// distance units stay finite: +-clip with the signs of the LLRs at N0 = 1); a complex
// constellation with Y and H stored as real means the complex model (the same bits as
// with Y and H given as complex); 'K' and 'clip' of other numeric classes; clip 0 on a hard
// method keeps the decided bits in the sign bits.
TEST(MimoDetect, EdgesOfTheArguments) {
    std::mt19937_64 rng(29);
    const auto all = constellations();
    const constellation& q = all[1];
    const std::size_t B = q.bits[0].size();
    const frame f = make_frame(rng, q, 3, 2, 6, 2, 0.4);
    for (const std::string method : {"maxlog", "kbest"}) {
        const th_result tiny = run(inputs_of(f, q, {1e-320}, method));
        const th_result unit = run(inputs_of(f, q, {1.0}, method));
        ASSERT_FALSE(tiny.failed) << method << ": " << tiny.message;
        for (std::size_t b = 0; b < 2 * B * 6; ++b) {
            const double u = th_values(unit.outputs[0])[b];
            if (u != 0.0) {
                EXPECT_EQ(th_values(tiny.outputs[0])[b], u > 0 ? 20.0 : -20.0) << b;
            }
        }
    }
    // real-valued Y and H with the complex points of 16-QAM: the complex model
    frame r = make_frame(rng, q, 3, 2, 4, 1, 0.4);
    for (cd& v : r.Y) v = cd(v.real(), 0.0);
    for (cd& v : r.H) v = cd(v.real(), 0.0);
    for (const std::string method : {"maxlog", "kbest", "ml", "mmse", "zf", "sic", "lr"}) {
        call_inputs stored_real = inputs_of(r, q, {0.5}, method);
        stored_real.Y = as_array(r.Y, 3, 4, 1, false);
        stored_real.H = as_array(r.H, 3, 2, 1, false);
        const th_result a = run(stored_real), b = run(inputs_of(r, q, {0.5}, method));
        ASSERT_FALSE(a.failed) << method << ": " << a.message;
        ASSERT_FALSE(b.failed) << method << ": " << b.message;
        EXPECT_TRUE(same_bits(a.outputs[0], b.outputs[0])) << method;
        EXPECT_TRUE(same_bits(a.outputs[1], b.outputs[1])) << method;
    }
    // int32 K and single clip: the same as the doubles
    call_inputs d = inputs_of(f, q, {0.5}, "kbest"), i = inputs_of(f, q, {0.5}, "kbest");
    d.options.push_back(th_string("K"));
    d.options.push_back(th_scalar(4.0));
    d.options.push_back(th_string("clip"));
    d.options.push_back(th_scalar(8.0));
    i.options.push_back(th_string("K"));
    i.options.push_back(th_typed_scalar(th_class::int32, 4.0));
    i.options.push_back(th_string("clip"));
    i.options.push_back(th_typed_scalar(th_class::single, 8.0));
    const th_result rd = run(d), ri = run(i);
    ASSERT_FALSE(ri.failed) << ri.message;
    EXPECT_TRUE(same_bits(rd.outputs[0], ri.outputs[0]));
    // clip 0: +-0, the sign bit holding the decided bit
    for (const std::string method : {"ml", "sic", "lr", "zf"}) {
        call_inputs in = inputs_of(f, q, {0.5}, method);
        in.options.push_back(th_string("clip"));
        in.options.push_back(th_scalar(0.0));
        const th_result z = run(in);
        ASSERT_FALSE(z.failed) << method << ": " << z.message;
        for (std::size_t t = 0; t < 2 * 6; ++t) {
            const int m = static_cast<int>(th_values(z.outputs[1])[t]) - 1;
            for (std::size_t j = 0; j < B; ++j) {
                const double l = th_values(z.outputs[0])[t * B + j];
                if (method == "zf") continue;  // soft: the demapper's own zero
                EXPECT_EQ(l, 0.0);
                EXPECT_EQ(std::signbit(l), q.bits[m][j] == 1) << method;
            }
        }
    }
}

// Messages of the faults around the options and the priors, and the identifiers every
// error of mimo_detect carries.
TEST(MimoDetect, MessagesAndIdentifiers) {
    std::mt19937_64 rng(30);
    const auto all = constellations();
    const constellation& q = all[1];
    const std::size_t B = q.bits[0].size();
    const frame f = make_frame(rng, q, 2, 2, 3, 1, 0.4);
    std::vector<double> La(2 * B * 3, 0.5);
    La[2 * B + 3] = std::nan("");
    struct id_case {
        std::vector<th_array> options;
        std::string method, message, identifier;
    };
    std::vector<id_case> cases;
    auto add = [&](std::string method, std::string message, std::string id,
                   std::vector<th_array> options) {
        cases.push_back({std::move(options), method, message, id});
    };
    std::vector<th_array> o1;
    o1.push_back(th_string("a_very_long_option_name"));
    o1.push_back(th_scalar(1.0));
    add("ml",
        "unknown option 'a_very_long_option_name' (known: clip, prior, output, tol, K, fill, "
        "ordering, iterations, damping)\n",
        "latbox:mimo_detect:option", std::move(o1));
    std::vector<th_array> o2;
    o2.push_back(th_scalar(3.0));
    o2.push_back(th_scalar(1.0));
    add("ml",
        "options must be Name, Value pairs, the names among clip, prior, output, tol, K, fill, "
        "ordering, iterations, damping\n",
        "latbox:mimo_detect:option", std::move(o2));
    std::vector<th_array> o3;
    o3.push_back(th_string("prior"));
    o3.push_back(th_matrix(2 * B, 3, La));
    add("maxlog", "prior column 2 must not contain NaN\n", "latbox:mimo_detect:prior",
        std::move(o3));
    add("nope",
        "method must be 'maxlog', 'app', 'ml', 'kbest', 'mmse', 'zf', 'sic', 'lr', 'mmse-pic' or "
        "'ep'\n",
        "latbox:mimo_detect:method", {});
    std::vector<th_array> o4;
    o4.push_back(th_string("K"));
    o4.push_back(th_typed_scalar(th_class::int32, 0.0));
    add("kbest", "K must be a positive integer (at most 2^20)\n", "latbox:mimo_detect:K",
        std::move(o4));
    for (const id_case& c : cases) {
        const call_inputs in = inputs_of(f, q, {0.5}, c.method);
        std::vector<const host_array*> list = in.list();
        for (const th_array& o : c.options) list.push_back(o.get());
        const th_result r = th_call(mimo_detect_gateway, 3, list);
        EXPECT_TRUE(r.failed) << c.message;
        EXPECT_EQ(r.message, c.message);
        EXPECT_EQ(r.identifier, c.identifier) << c.message;
        EXPECT_EQ(r.blocks_live, 0u);
    }
    const th_result u = th_call(mimo_detect_gateway, 1, {});
    EXPECT_EQ(u.identifier, "latbox:mimo_detect:usage");
    const th_array y = th_scalar(1.0), h = th_scalar(1.0), n0 = th_scalar(-1.0);
    const th_array pts = th_column({-1, 1}), none = th_matrix(0, 0), ml = th_string("ml");
    const th_result n = th_call(mimo_detect_gateway, 1,
                                {y.get(), h.get(), n0.get(), pts.get(), none.get(), ml.get()});
    EXPECT_EQ(n.message, "N0 must be positive and finite\n");
    EXPECT_EQ(n.identifier, "latbox:mimo_detect:N0");
}

// Exhaustive max-log per bit over the metric without that bit's own prior cost: the
// extrinsic LLRs (defined for known bits too).
std::vector<double> enumerate_extrinsic(const frame& f, const constellation& c, std::size_t k,
                                        double n0, const double* La) {
    const std::size_t B = c.bits[0].size(), nt = f.nt;
    std::vector<double> least0(nt * B, inf), least1(nt * B, inf), cost(nt * B);
    each_point(f, c, k, [&](double d, const std::vector<std::size_t>& a) {
        for (std::size_t t = 0; t < nt; ++t) {
            for (std::size_t j = 0; j < B; ++j) {
                const double v = c.bits[a[t]][j] ? La[t * B + j] : -La[t * B + j];
                cost[t * B + j] = v > 0 ? v : 0.0;
            }
        }
        for (std::size_t b = 0; b < nt * B; ++b) {
            double metric = d / n0;
            for (std::size_t o = 0; o < nt * B; ++o) {
                if (o != b) metric += cost[o];
            }
            double& l = c.bits[a[b / B]][b % B] ? least1[b] : least0[b];
            l = std::min(l, metric);
        }
    });
    std::vector<double> L(nt * B);
    for (std::size_t b = 0; b < nt * B; ++b) L[b] = least1[b] - least0[b];
    return L;
}

// 'output', 'extrinsic': the LLR of the metric without the bit's own prior, clipped, for the
// tree methods against enumeration (priors small, far beyond the clip, and +-Inf), and for
// the linear methods on one stream, where the per-stream demapper sees z = h'y/|h|^2 and
// N0/|h|^2, against brute force over the points (both outputs).
TEST(MimoDetect, ExtrinsicOutputEqualsTheMetricWithoutTheOwnPrior) {
    std::mt19937_64 rng(31);
    const auto all = constellations();
    for (const constellation& c : {all[1], all[4], all[6], all[3]}) {
        const std::size_t M = c.points.size(), B = c.bits[0].size();
        const frame f = make_frame(rng, c, 3, 2, 6, 2, 0.6);
        std::vector<double> La(2 * B * 6);
        std::normal_distribution<double> g;
        for (std::size_t i = 0; i < La.size(); ++i) La[i] = (i % 3 == 0 ? 30.0 : 2.0) * g(rng);
        La[1] = inf;
        La[2 * B + 2] = -inf;
        for (const std::string method : {"maxlog", "kbest"}) {
            for (double clip : {0.0, 8.0, inf}) {
                call_inputs in = inputs_of(f, c, {0.7}, method);
                in.options.push_back(th_string("prior"));
                in.options.push_back(th_matrix(2 * B, 6, La));
                in.options.push_back(th_string("clip"));
                in.options.push_back(th_scalar(clip));
                in.options.push_back(th_string("output"));
                in.options.push_back(th_string("extrinsic"));
                if (method == "kbest") {
                    in.options.push_back(th_string("K"));
                    in.options.push_back(th_scalar(static_cast<double>(leaves(M, 2))));
                }
                const th_result r = run(in);
                ASSERT_FALSE(r.failed) << c.name << " " << method << ": " << r.message;
                for (std::size_t k = 0; k < 6; ++k) {
                    const std::vector<double> e =
                        enumerate_extrinsic(f, c, k, 0.7, La.data() + k * 2 * B);
                    for (std::size_t b = 0; b < 2 * B; ++b) {
                        const double want = clipped(e[b], clip);
                        EXPECT_NEAR(th_values(r.outputs[0])[k * 2 * B + b], want,
                                    1e-9 * (1 + std::fabs(want)))
                            << c.name << " " << method << " clip " << clip << " column " << k
                            << " bit " << b;
                    }
                }
            }
        }
    }
    // the linear methods on one stream
    for (const constellation& c : {all[1], all[4], all[6]}) {
        const std::size_t M = c.points.size(), B = c.bits[0].size();
        const frame f = make_frame(rng, c, 3, 1, 5, 1, 0.5);
        std::vector<double> La(B * 5);
        std::uniform_real_distribution<double> u(-6.0, 6.0);
        for (double& v : La) v = u(rng);
        La[0] = -inf;
        double h2 = 0.0;
        cd hy;
        for (const std::string method : {"mmse", "zf"}) {
            for (bool extrinsic : {false, true}) {
                call_inputs in = inputs_of(f, c, {0.4}, method);
                in.options.push_back(th_string("prior"));
                in.options.push_back(th_matrix(B, 5, La));
                in.options.push_back(th_string("clip"));
                in.options.push_back(th_scalar(5.0));
                in.options.push_back(th_string("output"));
                in.options.push_back(th_string(extrinsic ? "extrinsic" : "posterior"));
                const th_result r = run(in);
                ASSERT_FALSE(r.failed) << method << ": " << r.message;
                for (std::size_t k = 0; k < 5; ++k) {
                    h2 = 0.0;
                    hy = 0.0;
                    for (std::size_t i = 0; i < 3; ++i) {
                        h2 += std::norm(f.H[i]);
                        hy += std::conj(f.H[i]) * f.Y[i + 3 * k];
                    }
                    const cd z = hy / h2;
                    const double n0t = 0.4 / h2;
                    for (std::size_t j = 0; j < B; ++j) {
                        double least[2] = {inf, inf};
                        for (std::size_t m = 0; m < M; ++m) {
                            double e = std::norm(z - c.points[m]) / n0t;
                            for (std::size_t o = 0; o < B; ++o) {
                                if (extrinsic && o == j) continue;
                                const double v = c.bits[m][o] ? La[k * B + o] : -La[k * B + o];
                                if (v > 0) e += v;
                            }
                            least[c.bits[m][j]] = std::min(least[c.bits[m][j]], e);
                        }
                        const double want = clipped(least[1] - least[0], 5.0);
                        EXPECT_NEAR(th_values(r.outputs[0])[k * B + j], want, 1e-9)
                            << c.name << " " << method << " extrinsic " << extrinsic;
                    }
                }
            }
        }
    }
}

// K-best's 'fill': with 'flip' every LLR comes from the metric of a real candidate: a bit
// with no counter-hypothesis in the list gets (metric of a point whose bit differs) -
// (metric of the decided point), no less than the least such metric; info.filled counts
// those bits (all of them with K = 1, none with the whole tree); 'clip' keeps +-clip.
TEST(MimoDetect, KbestFillsBitsWithRealCandidates) {
    std::mt19937_64 rng(32);
    const auto all = constellations();
    for (const constellation& c : {all[1], all[4]}) {
        const std::size_t M = c.points.size(), B = c.bits[0].size();
        const frame f = make_frame(rng, c, 3, 3, 8, 2, 0.8);
        for (double K : {1.0, 3.0, static_cast<double>(leaves(M, 3))}) {
            for (const std::string fill : {"flip", "clip"}) {
                call_inputs in = inputs_of(f, c, {0.5}, "kbest");
                in.options.push_back(th_string("K"));
                in.options.push_back(th_scalar(K));
                in.options.push_back(th_string("fill"));
                in.options.push_back(th_string(fill));
                in.options.push_back(th_string("clip"));
                in.options.push_back(th_scalar(inf));
                const th_result r = run(in);
                ASSERT_FALSE(r.failed) << r.message;
                const double* filled = th_values(th_field(r.outputs[2].get(), "filled"));
                for (std::size_t k = 0; k < 8; ++k) {
                    const double* idx = th_values(r.outputs[1]) + k * 3;
                    const double best = distance_of(f, c, k, idx) / 0.5;
                    std::size_t missing = 0;
                    for (std::size_t b = 0; b < 3 * B; ++b) {
                        const double l = th_values(r.outputs[0])[k * 3 * B + b];
                        const int own = c.bits[static_cast<int>(idx[b / B]) - 1][b % B];
                        if (K == 1.0) ++missing;
                        if (fill == "clip") {
                            if (K == 1.0) {
                                EXPECT_EQ(l, own ? -inf : inf);
                            }
                            continue;
                        }
                        ASSERT_TRUE(std::isfinite(l)) << c.name << " K " << K << " bit " << b;
                        // the counter metric, and a point with the bit flipped that has it
                        const double counter = best + (own ? -l : l);
                        double least = inf;
                        bool attained = false;
                        std::vector<std::size_t> a(3, 0);
                        for (;;) {
                            std::vector<double> x{a[0] + 1.0, a[1] + 1.0, a[2] + 1.0};
                            if (c.bits[a[b / B]][b % B] != own) {
                                const double m = distance_of(f, c, k, x.data()) / 0.5;
                                least = std::min(least, m);
                                if (std::fabs(m - counter) <= 1e-9 * (1 + m)) attained = true;
                            }
                            std::size_t t = 0;
                            while (t < 3 && ++a[t] == M) a[t++] = 0;
                            if (t == 3) break;
                        }
                        EXPECT_TRUE(attained) << c.name << " K " << K << " bit " << b;
                        EXPECT_GE(counter, least - 1e-9 * (1 + least));
                    }
                    if (fill == "flip" && K == 1.0) {
                        EXPECT_EQ(filled[k], static_cast<double>(missing));
                    }
                    if (K > 1000.0 || fill == "clip") {
                        EXPECT_EQ(filled[k], 0.0);
                    }
                }
            }
        }
    }
}

// Options a method has no use for, and the new options' values.
TEST(MimoDetect, OptionsAMethodHasNoUseFor) {
    std::mt19937_64 rng(33);
    const auto all = constellations();
    const frame f = make_frame(rng, all[1], 2, 2, 2, 1, 0.4);
    struct option_case {
        std::string method, name;
        th_array value;
        std::string message;
    };
    std::vector<option_case> cases;
    cases.push_back(
        {"maxlog", "K", th_scalar(4.0), "K has no use for 'maxlog' ('kbest' takes it)\n"});
    cases.push_back(
        {"ml", "fill", th_string("flip"), "fill has no use for 'ml' ('kbest' takes it)\n"});
    cases.push_back({"mmse", "ordering", th_string("none"),
                     "ordering has no use for 'mmse' (the QR methods take it)\n"});
    cases.push_back({"sic", "output", th_string("extrinsic"),
                     "output has no use for 'sic' (the soft methods take it)\n"});
    cases.push_back(
        {"maxlog", "output", th_string("both"), "output must be 'posterior' or 'extrinsic'\n"});
    cases.push_back({"kbest", "fill", th_scalar(1.0), "fill must be 'flip' or 'clip'\n"});
    for (const option_case& oc : cases) {
        const call_inputs in = inputs_of(f, all[1], {0.5}, oc.method);
        const th_array name = th_string(oc.name);
        std::vector<const host_array*> list = in.list();
        list.push_back(name.get());
        list.push_back(oc.value.get());
        const th_result r = th_call(mimo_detect_gateway, 3, list);
        EXPECT_TRUE(r.failed) << oc.message;
        EXPECT_EQ(r.message, oc.message);
        EXPECT_EQ(r.identifier, "latbox:mimo_detect:" + oc.name);
        EXPECT_EQ(r.blocks_live, 0u);
    }
}

// Exhaustive log-MAP: ln sum_{b=0} e^-metric - ln sum_{b=1} e^-metric, in long double with
// the least metric shifted out; extrinsic: without the bit's own prior cost.
std::vector<double> enumerate_app(const frame& f, const constellation& c, std::size_t k, double n0,
                                  const double* La, bool extrinsic) {
    const std::size_t M = c.points.size(), B = c.bits[0].size(), nt = f.nt, nr = f.nr;
    const cd* H = f.H.data() + (k / (f.K / f.P)) * nr * nt;
    std::vector<std::vector<long double>> metrics(nt * B);  // per bit: (metric, bit) pairs
    std::vector<long double> all;
    std::vector<int> value;
    std::vector<std::vector<double>> costs;
    std::vector<std::size_t> a(nt, 0);
    std::vector<double> ds;
    for (;;) {
        double d = 0.0;
        for (std::size_t r = 0; r < nr; ++r) {
            cd e = f.Y[r + k * nr];
            for (std::size_t t = 0; t < nt; ++t) e -= H[r + t * nr] * c.points[a[t]];
            d += std::norm(e);
        }
        std::vector<double> cost(nt * B, 0.0);
        std::vector<int> bit(nt * B);
        for (std::size_t b = 0; b < nt * B; ++b) {
            bit[b] = c.bits[a[b / B]][b % B];
            if (La != nullptr) {
                const double v = bit[b] ? La[b] : -La[b];
                cost[b] = v > 0 ? v : 0.0;
            }
        }
        ds.push_back(d / n0);
        costs.push_back(cost);
        for (int v : bit) value.push_back(v);
        std::size_t t = 0;
        while (t < nt && ++a[t] == M) a[t++] = 0;
        if (t == nt) break;
    }
    const std::size_t points = ds.size();
    std::vector<double> L(nt * B);
    for (std::size_t b = 0; b < nt * B; ++b) {
        std::vector<long double> m(points);
        long double least = INFINITY;
        for (std::size_t x = 0; x < points; ++x) {
            long double v = ds[x];
            for (std::size_t o = 0; o < nt * B; ++o) {
                if (!(extrinsic && o == b)) v += costs[x][o];
            }
            m[x] = v;
            if (v < least) least = v;
        }
        long double s0 = 0, s1 = 0;
        for (std::size_t x = 0; x < points; ++x) {
            const long double w = std::exp(-(m[x] - least));
            (value[x * nt * B + b] ? s1 : s0) += w;
        }
        L[b] = static_cast<double>(std::log(s0) - std::log(s1));
    }
    return L;
}

// 'app': the exact log-MAP LLRs within tol, on the real-valued search (16-QAM Gray, PAM) and
// the complex levels (8-PSK, scrambled labels), with and without priors, clipped, both
// outputs, and the point of least metric as 'maxlog' decides it.
TEST(MimoDetect, AppEqualsTheLogMapEnumeration) {
    std::mt19937_64 rng(34);
    const auto all = constellations();
    for (const constellation& c : {all[1], all[4], all[6], all[7]}) {
        const std::size_t B = c.bits[0].size();
        const frame f = make_frame(rng, c, 3, 2, 5, 1, 0.7);
        std::vector<double> La(2 * B * 5);
        std::normal_distribution<double> g;
        for (double& v : La) v = 3.0 * g(rng);
        for (bool with_prior : {false, true}) {
            for (bool extrinsic : {false, true}) {
                for (double clip : {3.0, inf}) {
                    call_inputs in = inputs_of(f, c, {0.6}, "app");
                    in.options.push_back(th_string("clip"));
                    in.options.push_back(th_scalar(clip));
                    in.options.push_back(th_string("output"));
                    in.options.push_back(th_string(extrinsic ? "extrinsic" : "posterior"));
                    if (with_prior) {
                        in.options.push_back(th_string("prior"));
                        in.options.push_back(th_matrix(2 * B, 5, La));
                    }
                    const th_result r = run(in);
                    ASSERT_FALSE(r.failed) << c.name << ": " << r.message;
                    const th_result m = run(inputs_of(f, c, {0.6}, "maxlog"));
                    for (std::size_t k = 0; k < 5; ++k) {
                        const std::vector<double> e = enumerate_app(
                            f, c, k, 0.6, with_prior ? La.data() + k * 2 * B : nullptr, extrinsic);
                        for (std::size_t b = 0; b < 2 * B; ++b) {
                            const double want = clipped(e[b], clip);
                            EXPECT_NEAR(th_values(r.outputs[0])[k * 2 * B + b], want,
                                        1e-9 + 1e-12 * std::fabs(want))
                                << c.name << " prior " << with_prior << " extrinsic " << extrinsic
                                << " clip " << clip << " column " << k << " bit " << b;
                        }
                    }
                    if (!with_prior) {
                        EXPECT_TRUE(same_bits(r.outputs[1], m.outputs[1])) << c.name;
                    }
                }
            }
        }
    }
}

// 'mmse-pic' and 'ep' through the gateway: without priors (and, for 'ep', one iteration)
// they give 'mmse''s LLRs; with priors they run on every thread count to the same bits; the
// options they take are checked.
TEST(MimoDetect, SoftInLinearMethods) {
    std::mt19937_64 rng(35);
    const auto all = constellations();
    for (const constellation& c : {all[1], all[6], all[0]}) {
        const std::size_t B = c.bits[0].size();
        const frame f = make_frame(rng, c, 4, 3, 40, 5, 0.5);
        const th_result mmse = run(inputs_of(f, c, {0.3}, "mmse"));
        ASSERT_FALSE(mmse.failed) << mmse.message;
        for (const std::string method : {"mmse-pic", "ep"}) {
            call_inputs in = inputs_of(f, c, {0.3}, method);
            if (method == "ep") {
                in.options.push_back(th_string("iterations"));
                in.options.push_back(th_scalar(1.0));
            }
            const th_result r = run(in);
            ASSERT_FALSE(r.failed) << c.name << " " << method << ": " << r.message;
            for (std::size_t i = 0; i < 3 * B * 40; ++i) {
                const double w = th_values(mmse.outputs[0])[i];
                EXPECT_NEAR(th_values(r.outputs[0])[i], w, 1e-9 * (1 + std::fabs(w)))
                    << c.name << " " << method << " " << i;
            }
            std::vector<double> La(3 * B * 40);
            std::normal_distribution<double> g;
            for (double& v : La) v = 2.0 * g(rng);
            La[5] = inf;
            std::vector<th_result> runs;
            for (const std::string& threads : thread_settings()) {
                thread_setting setting(threads);
                call_inputs p = inputs_of(f, c, {0.3}, method);
                p.options.push_back(th_string("prior"));
                p.options.push_back(th_matrix(3 * B, 40, La));
                p.options.push_back(th_string("iterations"));
                p.options.push_back(th_scalar(3.0));
                p.options.push_back(th_string("output"));
                p.options.push_back(th_string("extrinsic"));
                runs.push_back(run(p));
                ASSERT_FALSE(runs.back().failed) << runs.back().message;
                for (std::size_t i = 0; i < 3 * B * 40; ++i) {
                    const double v = th_values(runs.back().outputs[0])[i];
                    ASSERT_TRUE(v >= -20.0 && v <= 20.0) << c.name << " " << method;
                }
                EXPECT_TRUE(same_bits(runs.front().outputs[0], runs.back().outputs[0]));
                EXPECT_TRUE(same_bits(runs.front().outputs[1], runs.back().outputs[1]));
            }
        }
    }
    const frame f = make_frame(rng, all[1], 2, 2, 2, 1, 0.4);
    struct option_case {
        std::string method, name;
        th_array value;
        std::string message;
    };
    std::vector<option_case> cases;
    cases.push_back({"ep", "iterations", th_scalar(0.0),
                     "iterations must be a positive integer (at most 100)\n"});
    cases.push_back({"ep", "iterations", th_scalar(101.0),
                     "iterations must be a positive integer (at most 100)\n"});
    cases.push_back({"ep", "damping", th_scalar(1.0), "damping must be in [0, 1)\n"});
    cases.push_back({"mmse-pic", "damping", th_scalar(0.5),
                     "damping has no use for 'mmse-pic' ('ep' takes it)\n"});
    cases.push_back({"maxlog", "iterations", th_scalar(2.0),
                     "iterations has no use for 'maxlog' ('mmse-pic' and 'ep' take it)\n"});
    cases.push_back({"app", "tol", th_scalar(-1.0), "tol must be 0 or more and finite\n"});
    cases.push_back({"app", "tol", th_scalar(inf), "tol must be 0 or more and finite\n"});
    cases.push_back(
        {"maxlog", "tol", th_scalar(0.0), "tol has no use for 'maxlog' ('app' takes it)\n"});
    for (const option_case& oc : cases) {
        const call_inputs in = inputs_of(f, all[1], {0.5}, oc.method);
        const th_array name = th_string(oc.name);
        std::vector<const host_array*> list = in.list();
        list.push_back(name.get());
        list.push_back(oc.value.get());
        const th_result r = th_call(mimo_detect_gateway, 3, list);
        EXPECT_TRUE(r.failed) << oc.message;
        EXPECT_EQ(r.message, oc.message);
        EXPECT_EQ(r.blocks_live, 0u);
    }
    const th_result psk =
        run(inputs_of(make_frame(rng, all[4], 2, 2, 2, 1, 0.4), all[4], {0.5}, "ep"));
    EXPECT_EQ(psk.message,
              "const must be square QAM or PAM on a uniform grid, its labels split into bits of "
              "the real and of the imaginary part, for 'ep'\n");
}

// Ctrl-C inside one 'app' column: unclipped with tol 0 on 6x6 16-QAM the search visits
// every leaf, asking as it goes.
TEST(MimoDetect, CtrlCStopsOneLongAppColumn) {
    std::mt19937_64 rng(36);
    const auto all = constellations();
    const frame f = make_frame(rng, all[4], 7, 7, 1, 1, 0.5);
    call_inputs in = inputs_of(f, all[4], {100.0}, "app");
    in.options.push_back(th_string("clip"));
    in.options.push_back(th_scalar(inf));
    in.options.push_back(th_string("tol"));
    in.options.push_back(th_scalar(0.0));
    thread_setting one("1");
    th_interrupt_after(1);
    const th_result r = run(in);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.message, "interrupted\n");
    EXPECT_GT(r.interrupt_polls, 1u);
    EXPECT_EQ(r.blocks_live, 0u);
}

}  // namespace
