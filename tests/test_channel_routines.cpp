// SPDX-License-Identifier: BSD-3-Clause
// The host-free channel routines: complex and sorted QR, Q^H*y, the real-valued form, the
// constellation analysis and the linear filter, against identities and brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "channel/channel_qr.h"
#include "channel/constellation.h"
#include "channel/linear.h"

namespace {

std::vector<cplx> random_matrix(std::mt19937_64& rng, std::size_t count, bool complex_values) {
    std::normal_distribution<double> normal;
    std::vector<cplx> v(count);
    for (cplx& x : v) x = cplx(normal(rng), complex_values ? normal(rng) : 0.0);
    return v;
}

double frobenius(const std::vector<cplx>& v) {
    double s = 0;
    for (const cplx& x : v) s += std::norm(x);
    return std::sqrt(s);
}

struct qr_case {
    std::int64_t nr, nt;
};
const qr_case qr_sizes[] = {{1, 1}, {2, 2}, {3, 2}, {4, 4}, {6, 3}, {8, 8}};

TEST(ChannelQr, FactorsReproduceTheChannelInBothOrders) {
    std::mt19937_64 rng(1);
    for (const qr_case& s : qr_sizes) {
        for (bool complex_values : {true, false}) {
            for (bool sorted : {false, true}) {
                const auto nr = s.nr, nt = s.nt;
                std::vector<cplx> H = random_matrix(rng, nr * nt, complex_values);
                // a column much weaker than the others, for the sorted order to move
                for (std::int64_t r = 0; r < nr; ++r) H[r + (nt - 1) * nr] *= 0.01;
                std::vector<cplx> Q(nr * nt), R(nt * nt);
                std::vector<std::int32_t> perm(nt);
                std::vector<double> norms(nt);
                ASSERT_TRUE(complex_qr(H.data(), nr, nt, sorted, Q.data(), R.data(), perm.data(),
                                       norms.data()));
                std::vector<std::int32_t> order = perm;
                std::sort(order.begin(), order.end());
                for (std::int64_t j = 0; j < nt; ++j) ASSERT_EQ(order[j], j);
                if (!sorted) {
                    for (std::int64_t j = 0; j < nt; ++j) EXPECT_EQ(perm[j], j);
                } else if (nt > 1) {
                    EXPECT_EQ(perm[0], nt - 1) << "the weakest column comes first";
                }
                // H(:, perm) - Q*R, Q^H Q - I, R upper triangular with a real positive diagonal
                std::vector<cplx> E(nr * nt), F(nt * nt);
                for (std::int64_t j = 0; j < nt; ++j) {
                    for (std::int64_t r = 0; r < nr; ++r) {
                        cplx v = H[r + perm[j] * nr];
                        for (std::int64_t i = 0; i < nt; ++i) v -= Q[r + i * nr] * R[i + j * nt];
                        E[r + j * nr] = v;
                    }
                    for (std::int64_t i = 0; i < nt; ++i) {
                        cplx v = i == j ? -1.0 : 0.0;
                        for (std::int64_t r = 0; r < nr; ++r) {
                            v += std::conj(Q[r + i * nr]) * Q[r + j * nr];
                        }
                        F[i + j * nt] = v;
                        if (i > j) {
                            EXPECT_EQ(R[i + j * nt], cplx(0.0));
                        }
                    }
                    EXPECT_GT(R[j + j * nt].real(), 0.0);
                    EXPECT_EQ(R[j + j * nt].imag(), 0.0);
                }
                const double eps = 2.2e-16;
                EXPECT_LE(frobenius(E), 10 * nr * eps * frobenius(H)) << nr << "x" << nt;
                EXPECT_LE(frobenius(F), 1e-10) << nr << "x" << nt;
                if (!complex_values) {
                    for (const cplx& q : Q) EXPECT_EQ(q.imag(), 0.0);
                }
                // the sorted order: each diagonal entry is the least remaining norm
                if (sorted) {
                    for (std::int64_t i = 0; i + 1 < nt; ++i) {
                        for (std::int64_t j = i + 1; j < nt; ++j) {
                            double rest = 0;  // norm^2 of column j after removing q_0..q_{i-1}
                            for (std::int64_t k = i; k <= j; ++k) rest += std::norm(R[k + j * nt]);
                            EXPECT_LE(R[i + i * nt].real() * R[i + i * nt].real(),
                                      rest * (1 + 1e-9));
                        }
                    }
                }
            }
        }
    }
}

TEST(ChannelQr, ARankDeficientPageIsReported) {
    std::vector<cplx> H{1.0, 2.0, 0.0, 0.0};  // second column zero
    std::vector<cplx> Q(4), R(4);
    std::int32_t perm[2];
    double norms[2];
    EXPECT_FALSE(complex_qr(H.data(), 2, 2, false, Q.data(), R.data(), perm, norms));
    EXPECT_FALSE(complex_qr(H.data(), 2, 2, true, Q.data(), R.data(), perm, norms));
}

TEST(ChannelQr, RealFormKeepsEveryDistance) {
    std::mt19937_64 rng(2);
    for (const qr_case& s : qr_sizes) {
        for (bool complex_model : {true, false}) {
            const auto nr = s.nr, nt = s.nt, n = complex_model ? 2 * nt : nt;
            const std::vector<cplx> H = random_matrix(rng, nr * nt, complex_model);
            const std::vector<cplx> y = random_matrix(rng, nr, complex_model);
            std::vector<cplx> Q(nr * nt), R(nt * nt), z(nt);
            std::vector<std::int32_t> perm(nt);
            std::vector<double> norms(nt), Rr(n * n), zr(n), xr(n);
            ASSERT_TRUE(
                complex_qr(H.data(), nr, nt, true, Q.data(), R.data(), perm.data(), norms.data()));
            apply_qh(Q.data(), nr, nt, y.data(), z.data());
            real_form(R.data(), nt, complex_model, Rr.data());
            real_vector(z.data(), nt, complex_model, zr.data());
            for (std::int64_t j = 0; j < n; ++j) {
                for (std::int64_t i = j + 1; i < n; ++i) EXPECT_EQ(Rr[i + j * n], 0.0);
            }
            // ||y - H x||^2 - ||z - R x(perm)||^2 is the same for every x: ||(I - QQ^H) y||^2
            double offset = 0;
            for (int trial = 0; trial < 5; ++trial) {
                const std::vector<cplx> x = random_matrix(rng, nt, complex_model);
                double full = 0, reduced = 0;
                for (std::int64_t r = 0; r < nr; ++r) {
                    cplx e = y[r];
                    for (std::int64_t t = 0; t < nt; ++t) e -= H[r + t * nr] * x[t];
                    full += std::norm(e);
                }
                real_vector(x.data(), nt, complex_model, xr.data());
                std::vector<double> xs(n);  // x in the factors' column order
                for (std::int64_t i = 0; i < nt; ++i) {
                    if (complex_model) {
                        xs[2 * i] = x[perm[i]].real();
                        xs[2 * i + 1] = x[perm[i]].imag();
                    } else {
                        xs[i] = x[perm[i]].real();
                    }
                }
                for (std::int64_t i = 0; i < n; ++i) {
                    double e = zr[i];
                    for (std::int64_t j = 0; j < n; ++j) e -= Rr[i + j * n] * xs[j];
                    reduced += e * e;
                }
                if (trial == 0) offset = full - reduced;
                EXPECT_NEAR(full - reduced, offset, 1e-9 * (1 + full)) << nr << "x" << nt;
                EXPECT_GE(offset, -1e-9 * (1 + full));
            }
        }
    }
}

struct grid_case {
    const char* name;
    std::vector<cplx> points;
    std::vector<std::uint32_t> labels;
    bool complex_model, grid, separable;
};

std::vector<grid_case> grid_cases() {
    std::vector<grid_case> all;
    const double v[4] = {-3, -1, 1, 3};
    const std::uint32_t g[4] = {0, 1, 3, 2};
    grid_case gray{"16-QAM Gray", {}, {}, true, true, true};
    grid_case inter{"16-QAM Gray, bits interleaved", {}, {}, true, true, true};
    grid_case natural{"16-QAM natural", {}, {}, true, true, true};
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) {
            const cplx p = cplx(v[j] + 0.5, v[i] - 0.25) * 0.3;  // shifted and scaled
            gray.points.push_back(p);
            inter.points.push_back(p);
            natural.points.push_back(p);
            gray.labels.push_back(g[j] << 2 | g[i]);
            inter.labels.push_back((g[j] >> 1) << 3 | (g[i] >> 1) << 2 | (g[j] & 1) << 1 |
                                   (g[i] & 1));
            natural.labels.push_back(static_cast<std::uint32_t>(4 * j + i));
        }
    }
    all.push_back(gray);
    all.push_back(inter);
    all.push_back(natural);
    grid_case mixed = gray;  // two labels exchanged: a bit of both parts
    mixed.name = "16-QAM with two labels exchanged";
    std::swap(mixed.labels[0], mixed.labels[5]);
    mixed.separable = false;
    all.push_back(mixed);
    grid_case psk{"8-PSK", {}, {}, true, false, false};
    for (int m = 0; m < 8; ++m) {
        psk.points.push_back(std::polar(1.0, 2 * M_PI * m / 8));
        psk.labels.push_back(static_cast<std::uint32_t>(m));
    }
    all.push_back(psk);
    grid_case uneven{"QPSK off the grid",
                     {{1, 1}, {-1, 1}, {1, -1.5}, {-1, -1}},
                     {0, 1, 2, 3},
                     true,
                     false,
                     false};
    all.push_back(uneven);
    all.push_back(
        {"4-PAM Gray", {{-3, 0}, {-1, 0}, {1, 0}, {3, 0}}, {0, 1, 3, 2}, false, true, true});
    all.push_back({"8-PAM shuffled",
                   {{7, 0}, {-7, 0}, {5, 0}, {-5, 0}, {3, 0}, {-3, 0}, {1, 0}, {-1, 0}},
                   {0, 1, 2, 3, 4, 5, 6, 7},
                   false,
                   true,
                   true});
    all.push_back({"QPSK as 4-PAM points (real model)",
                   {{-3, 0}, {-1, 0}, {1, 0}, {2, 0}},
                   {0, 1, 3, 2},
                   false,
                   false,
                   false});
    return all;
}

TEST(Constellation, GridAndLabelsAreRecognised) {
    for (const grid_case& c : grid_cases()) {
        const int M = static_cast<int>(c.points.size());
        int bits = 0;
        while ((1 << bits) < M) ++bits;
        constellation_grid g;
        analyse_constellation(reinterpret_cast<const double*>(c.points.data()), M, c.labels.data(),
                              bits, c.complex_model, &g);
        EXPECT_EQ(g.grid, c.grid) << c.name;
        EXPECT_EQ(g.separable, c.separable) << c.name;
        if (!g.grid) continue;
        // every point is center + half_step*(s_re + i s_im) at its grid position ...
        const int rows = c.complex_model ? g.side : 1;
        for (int b = 0; b < rows; ++b) {
            for (int a = 0; a < g.side; ++a) {
                const int m = g.point_at[a + g.side * b];
                const double re = g.center_re + g.half_step * (2 * a - (g.side - 1));
                const double im =
                    c.complex_model ? g.center_im + g.half_step * (2 * b - (g.side - 1)) : 0.0;
                EXPECT_NEAR(c.points[m].real(), re, 1e-12) << c.name;
                EXPECT_NEAR(c.points[m].imag(), im, 1e-12) << c.name;
                if (!g.separable) continue;
                // ... and its label is made of its parts' labels at their bit positions
                std::uint32_t l = 0;
                for (int j = 0; j < g.side_bits; ++j) {
                    l |= ((g.labels_re[a] >> (g.side_bits - 1 - j)) & 1u)
                         << (bits - 1 - g.bit_re[j]);
                    if (c.complex_model) {
                        l |= ((g.labels_im[b] >> (g.side_bits - 1 - j)) & 1u)
                             << (bits - 1 - g.bit_im[j]);
                    }
                }
                EXPECT_EQ(l, c.labels[m]) << c.name << " point " << m;
            }
        }
    }
}

TEST(LinearFilter, SolvesTheRegularisedNormalEquations) {
    std::mt19937_64 rng(4);
    for (const qr_case& s : qr_sizes) {
        for (double sigma : {0.0, 0.3}) {
            const auto nr = s.nr, nt = s.nt;
            const std::vector<cplx> H = random_matrix(rng, nr * nt, true);
            std::vector<cplx> G(nt * nr), work(linear_filter_scratch(nr, nt) / 2);
            std::vector<double> inv_diag(nt), mu(nt);
            ASSERT_TRUE(linear_filter(H.data(), nr, nt, sigma, G.data(), inv_diag.data(), mu.data(),
                                      work.data()));
            // (H^H H + sigma I) G = H^H, and mu = real diag(G H)
            for (std::int64_t i = 0; i < nt; ++i) {
                cplx gh = 0;
                for (std::int64_t r = 0; r < nr; ++r) gh += G[i + r * nt] * H[r + i * nr];
                EXPECT_NEAR(mu[i], gh.real(), 1e-12);
                if (sigma == 0.0) {
                    EXPECT_NEAR(mu[i], 1.0, 1e-9);
                }
                for (std::int64_t r = 0; r < nr; ++r) {
                    cplx v = -std::conj(H[r + i * nr]);
                    for (std::int64_t k = 0; k < nt; ++k) {
                        cplx a = k == i ? sigma : 0.0;
                        for (std::int64_t q = 0; q < nr; ++q) {
                            a += std::conj(H[q + i * nr]) * H[q + k * nr];
                        }
                        v += a * G[k + r * nt];
                    }
                    EXPECT_LE(std::abs(v), 1e-9) << nr << "x" << nt;
                }
            }
            // the diagonal of the inverse: mu = 1 - sigma*inv_diag
            for (std::int64_t i = 0; i < nt; ++i) {
                EXPECT_NEAR(mu[i], 1.0 - sigma * inv_diag[i], 1e-9);
                EXPECT_GT(inv_diag[i], 0.0);
            }
        }
    }
}

TEST(LinearFilter, ASingularGramMatrixIsReported) {
    const std::vector<cplx> H{1.0, 1.0, 2.0, 2.0};  // rank one
    std::vector<cplx> G(4), work(linear_filter_scratch(2, 2) / 2);
    double inv_diag[2], mu[2];
    EXPECT_FALSE(linear_filter(H.data(), 2, 2, 0.0, G.data(), inv_diag, mu, work.data()));
    EXPECT_TRUE(linear_filter(H.data(), 2, 2, 0.1, G.data(), inv_diag, mu, work.data()));
}

}  // namespace
