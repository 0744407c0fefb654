// SPDX-License-Identifier: BSD-3-Clause
// Ambiguity problems for the tests and the benchmarks: simulated single-epoch double-
// difference GNSS models with their true integers, random Q = L'*D*L families, and the
// plain dense algebra (Cholesky, quadratic forms) that the oracles use.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

struct ambiguity_problem {
    std::size_t n = 0;
    std::vector<double> ahat;   // n float ambiguities (cycles)
    std::vector<double> Q;      // n*n covariance (cycles^2), column-major, symmetric
    std::vector<double> truth;  // n true integers
};

// ---- dense algebra (column-major, plain loops) ----------------------------------------------

// Lower Cholesky factor L (A = L*L') of an n-by-n SPD matrix; false if not positive definite.
inline bool dense_cholesky(const std::vector<double>& A, std::size_t n, std::vector<double>& L) {
    L.assign(n * n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        double s = A[j + j * n];
        for (std::size_t k = 0; k < j; ++k) s -= L[j + k * n] * L[j + k * n];
        if (!(s > 0.0)) return false;
        const double ljj = std::sqrt(s);
        L[j + j * n] = ljj;
        for (std::size_t i = j + 1; i < n; ++i) {
            double t = A[i + j * n];
            for (std::size_t k = 0; k < j; ++k) t -= L[i + k * n] * L[j + k * n];
            L[i + j * n] = t / ljj;
        }
    }
    return true;
}

// x' * inv(A) * x from the lower Cholesky factor L of A: ||inv(L)*x||^2.
inline double dense_quadratic(const std::vector<double>& L, std::size_t n, const double* x) {
    std::vector<double> w(x, x + n);
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k) w[i] -= L[i + k * n] * w[k];
        w[i] /= L[i + i * n];
        s += w[i] * w[i];
    }
    return s;
}

// x' * inv(A) * x as above in long double (64-bit significands): a reference for squared
// norms within 1e-9 on problems whose Q is too ill-conditioned for the double version.
inline double precise_quadratic(const std::vector<double>& A, std::size_t n, const double* x) {
    std::vector<long double> L(n * n, 0.0L), w(x, x + n);
    for (std::size_t j = 0; j < n; ++j) {
        long double s = A[j + j * n];
        for (std::size_t k = 0; k < j; ++k) s -= L[j + k * n] * L[j + k * n];
        const long double ljj = std::sqrt(s);
        L[j + j * n] = ljj;
        for (std::size_t i = j + 1; i < n; ++i) {
            long double t = A[i + j * n];
            for (std::size_t k = 0; k < j; ++k) t -= L[i + k * n] * L[j + k * n];
            L[i + j * n] = t / ljj;
        }
    }
    long double s = 0.0L;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k) w[i] -= L[i + k * n] * w[k];
        w[i] /= L[i + i * n];
        s += w[i] * w[i];
    }
    return static_cast<double>(s);
}

// inv(A) of an SPD matrix through its Cholesky factor (columns solved one by one).
inline std::vector<double> dense_spd_inverse(const std::vector<double>& A, std::size_t n) {
    std::vector<double> L, X(n * n, 0.0);
    if (!dense_cholesky(A, n, L)) return {};
    for (std::size_t c = 0; c < n; ++c) {
        std::vector<double> w(n, 0.0);
        w[c] = 1.0;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < i; ++k) w[i] -= L[i + k * n] * w[k];
            w[i] /= L[i + i * n];
        }
        for (std::size_t i = n; i-- > 0;) {
            for (std::size_t k = i + 1; k < n; ++k) w[i] -= L[k + i * n] * w[k];
            w[i] /= L[i + i * n];
        }
        for (std::size_t i = 0; i < n; ++i) X[i + c * n] = w[i];
    }
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = j + 1; i < n; ++i) {
            const double v = 0.5 * (X[i + j * n] + X[j + i * n]);
            X[i + j * n] = v;
            X[j + i * n] = v;
        }
    }
    return X;
}

// ahat = truth + L*w, w standard normal, L the Cholesky factor of Q.
inline void draw_float_solution(std::mt19937_64& rng, ambiguity_problem& p) {
    std::vector<double> L;
    dense_cholesky(p.Q, p.n, L);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> w(p.n);
    for (double& v : w) v = gauss(rng);
    p.ahat.assign(p.n, 0.0);
    for (std::size_t i = 0; i < p.n; ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k <= i; ++k) s += L[i + k * p.n] * w[k];
        p.ahat[i] = p.truth[i] + s;
    }
}

// ---- simulated double-difference models --------------------------------------------------------

struct gnss_model {
    int constellations = 2;   // 2 .. 4
    int satellites = 12;      // 10 .. 40, all constellations together (>= 2 per constellation)
    int frequencies = 2;      // 1 .. 3
    double code_sigma = 0.3;  // m, undifferenced
    double phase_sigma = 0.003;
    double integer_scale = 1e6;  // true integers uniform in +-integer_scale
};

// Number of ambiguities: (satellites - constellations) * frequencies, with at least two
// satellites per constellation and four double differences.
inline std::size_t gnss_ambiguities(const gnss_model& m) {
    const int S = std::max(m.satellites, std::max(2 * m.constellations, m.constellations + 4));
    return static_cast<std::size_t>((S - m.constellations) * m.frequencies);
}

// One epoch of code and phase double differences between two receivers, each constellation
// with its own reference satellite (the highest): unknowns the baseline (3) and the
// ambiguities (cycles); undifferenced noise independent, so that the double differences of
// a constellation and frequency have covariance 2*sigma^2*(I + 1*1'). Q is the ambiguity
// block of the least-squares covariance; ahat is drawn from N(truth, Q).
inline ambiguity_problem gnss_problem(std::mt19937_64& rng, const gnss_model& m) {
    static const double wavelength[3] = {0.19029367, 0.24421021, 0.25482805};  // L1, L2, L5 (m)
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const int C = m.constellations, F = m.frequencies;
    const int S = std::max(m.satellites, std::max(2 * C, C + 4));  // 4 DDs at least: b is fixed
    // satellites per constellation: at least 2 each, the rest spread at random
    std::vector<int> per(static_cast<std::size_t>(C), 2);
    for (int s = 2 * C; s < S; ++s)
        per[static_cast<std::size_t>(rng() % static_cast<unsigned>(C))]++;
    // line-of-sight unit vectors, elevations 10 .. 90 degrees, the first of each the highest
    const std::size_t nd = static_cast<std::size_t>(S - C);  // DDs per frequency
    std::vector<double> G(nd * 3);                           // DD geometry rows
    std::vector<int> group(nd);
    std::size_t row = 0;
    const double pi = 3.14159265358979323846;
    for (int c = 0; c < C; ++c) {
        std::vector<double> el(static_cast<std::size_t>(per[static_cast<std::size_t>(c)])),
            az(el.size());
        for (std::size_t s = 0; s < el.size(); ++s) {
            el[s] = (10.0 + 80.0 * std::sqrt(unit(rng))) * pi / 180.0;
            az[s] = 2.0 * pi * unit(rng);
        }
        const std::size_t ref =
            static_cast<std::size_t>(std::max_element(el.begin(), el.end()) - el.begin());
        auto los = [&](std::size_t s, int k) {
            return k == 0   ? std::cos(el[s]) * std::sin(az[s])
                   : k == 1 ? std::cos(el[s]) * std::cos(az[s])
                            : std::sin(el[s]);
        };
        for (std::size_t s = 0; s < el.size(); ++s) {
            if (s == ref) continue;
            for (int k = 0; k < 3; ++k)
                G[row * 3 + static_cast<std::size_t>(k)] = -(los(s, k) - los(ref, k));
            group[row] = c;
            ++row;
        }
    }
    // normal matrix of [b; N]: per frequency f, code rows G*b and phase rows G*b + lambda_f*N,
    // weights the inverse of 2*sigma^2*(I + 1*1') within each constellation block, which is
    // (I - 1*1'/(p+1)) / (2*sigma^2) for a block of p double differences.
    const std::size_t n = nd * static_cast<std::size_t>(F), u = 3 + n;
    std::vector<double> Nm(u * u, 0.0);
    for (int f = 0; f < F; ++f) {
        const double lambda = wavelength[f];
        for (int obs = 0; obs < 2; ++obs) {
            const double sigma = obs == 0 ? m.code_sigma : m.phase_sigma;
            for (std::size_t i = 0; i < nd; ++i) {
                for (std::size_t j = 0; j < nd; ++j) {
                    if (group[i] != group[j]) continue;
                    const double p =
                        static_cast<double>(per[static_cast<std::size_t>(group[i])] - 1);
                    const double w =
                        ((i == j ? 1.0 : 0.0) - 1.0 / (p + 1.0)) / (2.0 * sigma * sigma);
                    // design rows: a_i = [G_i, (phase) lambda*e_{f,i}]
                    for (int x = 0; x < 3; ++x) {
                        for (int y = 0; y < 3; ++y) {
                            Nm[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * u] +=
                                G[i * 3 + static_cast<std::size_t>(x)] * w *
                                G[j * 3 + static_cast<std::size_t>(y)];
                        }
                    }
                    if (obs == 1) {
                        const std::size_t ai = 3 + static_cast<std::size_t>(f) * nd + i;
                        const std::size_t aj = 3 + static_cast<std::size_t>(f) * nd + j;
                        for (int x = 0; x < 3; ++x) {
                            const double v = G[i * 3 + static_cast<std::size_t>(x)] * w * lambda;
                            Nm[static_cast<std::size_t>(x) + aj * u] += v;
                            Nm[aj + static_cast<std::size_t>(x) * u] += v;
                        }
                        Nm[ai + aj * u] += lambda * w * lambda;
                    }
                }
            }
        }
    }
    const std::vector<double> Qx = dense_spd_inverse(Nm, u);
    ambiguity_problem p;
    p.n = n;
    p.Q.assign(n * n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = 0; i < n; ++i) p.Q[i + j * n] = Qx[(3 + i) + (3 + j) * u];
    }
    std::uniform_int_distribution<std::int64_t> integer(-static_cast<std::int64_t>(m.integer_scale),
                                                        static_cast<std::int64_t>(m.integer_scale));
    p.truth.resize(n);
    for (double& t : p.truth) t = static_cast<double>(integer(rng));
    draw_float_solution(rng, p);
    return p;
}

// A model of about n ambiguities: frequencies and constellations chosen for n, satellites
// to match (n is rounded to a multiple of the frequencies; at least 4 per frequency).
inline gnss_model gnss_model_for(std::mt19937_64& rng, std::size_t n) {
    gnss_model m;
    m.frequencies = n >= 40 ? 3 : n >= 16 ? 2 : 1;
    m.constellations = 2 + static_cast<int>(rng() % 3);
    m.satellites = static_cast<int>(n) / m.frequencies + m.constellations;
    return m;
}

// ---- random Q = L'*D*L families ----------------------------------------------------------------

// family 0: L unit lower with N(0,1) entries below, D = diag of 10^U(-3,0) (MLAMBDA's first
// case); family 1: as 0 with D decreasing geometrically over 4 decades (strongly ordered);
// family 2: L with N(0, 0.1) entries and D = 0.1 .. 1 (nearly diagonal, easy).
inline ambiguity_problem ldl_problem(std::mt19937_64& rng, std::size_t n, int family,
                                     double integer_scale = 1e3) {
    std::normal_distribution<double> gauss(0.0, family == 2 ? 0.1 : 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> L(n * n, 0.0), D(n);
    for (std::size_t j = 0; j < n; ++j) {
        L[j + j * n] = 1.0;
        for (std::size_t i = j + 1; i < n; ++i) L[i + j * n] = gauss(rng);
        D[j] = family == 0   ? std::pow(10.0, -3.0 * unit(rng))
               : family == 1 ? std::pow(10.0, -4.0 * static_cast<double>(j) /
                                                  static_cast<double>(n > 1 ? n - 1 : 1))
                             : 0.1 + 0.9 * unit(rng);
    }
    ambiguity_problem p;
    p.n = n;
    p.Q.assign(n * n, 0.0);
    // Q(i,j) = sum_k L(k,i) * D(k) * L(k,j), symmetric by construction
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = j; i < n; ++i) {
            double s = 0.0;
            for (std::size_t k = i; k < n; ++k) s += L[k + i * n] * D[k] * L[k + j * n];
            p.Q[i + j * n] = s;
            p.Q[j + i * n] = s;
        }
    }
    std::uniform_int_distribution<std::int64_t> integer(-static_cast<std::int64_t>(integer_scale),
                                                        static_cast<std::int64_t>(integer_scale));
    p.truth.resize(n);
    for (double& t : p.truth) t = static_cast<double>(integer(rng));
    draw_float_solution(rng, p);
    return p;
}
