// SPDX-License-Identifier: BSD-3-Clause
// The exact log-MAP searches (detect/app_search.h, channel/complex_app.h) against IT++'s
// full-enumeration log-MAP demodulator (ND_UQAM, FULL_ENUM_LOGMAP) on the same vectors.
//
// Problems: 4x4 complex Rayleigh channels (entries CN(0,1), one per vector), IT++'s 16-QAM
// points (unit mean energy) and labels on every antenna, y = H*x + w with w ~ CN(0, N0),
// SNR per receive antenna Nt/N0. IT++ gets H, y and sigma^2 = N0 (its metric |y - Hx|^2/N0),
// no priors. latbox gets, for the complex routine, R and Q^H*y from a QR of H with IT++'s
// points and labels; for the real-valued routine the real form (levels: imaginary, real part
// of every antenna, 4-PAM with the labels of IT++'s parts: Gray), R and Q'*y from its QR.
// QRs are outside the timed region (they are the same for every detector on a channel).
// Times: processor time of this thread, IT++'s init_soft_demodulator + demodulate_soft_bits
// per vector once, latbox's the best of three rounds over the vectors. SNRs 20, 10 and 0 dB
// (the rows with tol 1e-3 and 0 at 20 dB only). Exits with status 1 when latbox's LLRs
// differ from IT++'s by more than its precision (see `allowed`) or from the exact ones by
// more than tol.
//
// Usage: bench_app [--quick]
#include <itpp/itcomm.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "channel/complex_app.h"
#include "detect/app_search.h"

namespace {

using cplx = std::complex<double>;

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <class F>
double best_time(int rounds, F&& f) {
    double best = INFINITY;
    for (int r = 0; r < rounds; ++r) {
        long reps = 0;
        const double t0 = thread_seconds();
        double elapsed = 0.0;
        while (elapsed < 0.05) {
            f();
            ++reps;
            elapsed = thread_seconds() - t0;
        }
        best = std::min(best, elapsed / reps);
    }
    return best;
}

// Householder QR of the n-by-n column-major complex A: R upper triangular (real positive
// diagonal), z = Q^H*y. Real data stay real.
void complex_qr(int n, const cplx* H, const cplx* y, cplx* R, cplx* z) {
    std::vector<cplx> A(H, H + n * n), v(n);
    std::copy(y, y + n, z);
    for (int j = 0; j < n; ++j) {
        double norm = 0.0;
        for (int i = j; i < n; ++i) norm += std::norm(A[i + j * n]);
        norm = std::sqrt(norm);
        const cplx a = A[j + j * n];
        const cplx phase = std::abs(a) > 0 ? a / std::abs(a) : cplx(1.0);
        const cplx alpha = -phase * norm;
        double vv = 0.0;
        for (int i = j; i < n; ++i) {
            v[i] = A[i + j * n] - (i == j ? alpha : cplx(0.0));
            vv += std::norm(v[i]);
        }
        if (vv == 0.0) continue;
        auto reflect = [&](cplx* col) {
            cplx dot = 0.0;
            for (int i = j; i < n; ++i) dot += std::conj(v[i]) * col[i];
            const cplx f = 2.0 * dot / vv;
            for (int i = j; i < n; ++i) col[i] -= f * v[i];
        };
        for (int c = j; c < n; ++c) reflect(&A[c * n]);
        reflect(z);
    }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) R[i + j * n] = i <= j ? A[i + j * n] : 0.0;
    for (int i = 0; i < n; ++i) {  // row i and z(i) times a unit factor: the same distances
        const cplx d = R[i + i * n];
        const cplx f = std::abs(d) > 0 ? std::conj(d) / std::abs(d) : cplx(1.0);
        for (int j = i; j < n; ++j) R[i + j * n] *= f;
        z[i] *= f;
        R[i + i * n] = std::abs(R[i + i * n]);
    }
}

struct vector_problem {
    itpp::cmat H;
    itpp::cvec y;
    std::vector<cplx> Rc, zc;     // complex QR
    std::vector<double> Rr, zr;   // real form QR
    std::vector<double> itpp_L;   // IT++'s LLRs
    std::vector<double> exact_L;  // log-sum-exp over every point, in long double
};

// The exact LLRs of H, y (no priors) by enumeration of the M^nt points, each hypothesis'
// sum shifted by its least metric, in long double.
std::vector<double> exact_llrs(const itpp::cmat& H, const itpp::cvec& y, double N0,
                               const std::vector<double>& points,
                               const std::vector<std::uint32_t>& labels, int nt, int bits) {
    const int M = static_cast<int>(labels.size());
    std::int64_t count = 1;
    for (int t = 0; t < nt; ++t) count *= M;
    std::vector<long double> metric(count);
    for (std::int64_t v = 0; v < count; ++v) {
        long double d = 0;
        for (int i = 0; i < nt; ++i) {
            long double er = y(i).real(), ei = y(i).imag();
            std::int64_t w = v;
            for (int t = 0; t < nt; ++t, w /= M) {
                const int m = static_cast<int>(w % M);
                const long double hr = H(i, t).real(), hi = H(i, t).imag();
                const long double pr = points[2 * m], pi = points[2 * m + 1];
                er -= hr * pr - hi * pi;
                ei -= hr * pi + hi * pr;
            }
            d += er * er + ei * ei;
        }
        metric[v] = d / N0;
    }
    std::vector<double> L(nt * bits);
    for (int t = 0; t < nt; ++t) {
        std::int64_t stride = 1;
        for (int j = 0; j < t; ++j) stride *= M;
        for (int k = 0; k < bits; ++k) {
            long double least[2] = {INFINITY, INFINITY}, sum[2] = {0, 0};
            auto bit = [&](std::int64_t v) {
                return (labels[(v / stride) % M] >> (bits - 1 - k)) & 1u;
            };
            for (std::int64_t v = 0; v < count; ++v)
                least[bit(v)] = std::min(least[bit(v)], metric[v]);
            for (std::int64_t v = 0; v < count; ++v)
                sum[bit(v)] += std::exp(-(metric[v] - least[bit(v)]));
            L[t * bits + k] =
                static_cast<double>((least[1] - least[0]) + std::log(sum[0]) - std::log(sum[1]));
        }
    }
    return L;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int nt = 4, M2 = 16, m = 2, n = 2 * nt, bits = 4, B = nt * bits;
    const int V = quick ? 8 : 64;
    const double tol = 1e-9;
    itpp::ND_UQAM mod(nt, M2);
    const itpp::cvec sy = mod.get_symbols()(0);
    const itpp::bmat bm = mod.get_bitmap()(0);
    // complex alphabet: IT++'s points and labels (its first bit the label's MSB)
    std::vector<double> points(2 * M2);
    std::vector<std::uint32_t> labels(M2);
    for (int j = 0; j < M2; ++j) {
        points[2 * j] = sy(j).real();
        points[2 * j + 1] = sy(j).imag();
        std::uint32_t l = 0;
        for (int b = 0; b < bits; ++b)
            l = 2 * l + static_cast<std::uint32_t>(static_cast<int>(bm(j, b)));
        labels[j] = l;
    }
    const complex_alphabet alpha{M2, bits, points.data(), labels.data()};
    // real form: the first two bits name the imaginary part, the last two the real part
    // (IT++'s layout, checked): level values c*(2a-3), labels per part from its bitmap
    const double c = std::fabs(sy(0).real()) / 3.0;
    std::vector<std::uint32_t> part_label(4, 99);
    for (int j = 0; j < M2; ++j) {
        const int ar = static_cast<int>(std::lround((sy(j).real() / c + 3) / 2));
        const int ai = static_cast<int>(std::lround((sy(j).imag() / c + 3) / 2));
        const std::uint32_t hi = labels[j] >> m, lo = labels[j] & 3u;
        if ((part_label[ai] != 99 && part_label[ai] != hi) ||
            (part_label[ar] != 99 && part_label[ar] != lo)) {
            std::printf("IT++'s 16-QAM labels are not split into imaginary and real bits\n");
            return 1;
        }
        part_label[ai] = hi;
        part_label[ar] = lo;
    }
    std::vector<std::int32_t> level_bits(n, m);
    std::vector<std::uint32_t> level_labels;
    for (int l = 0; l < n; ++l)
        level_labels.insert(level_labels.end(), part_label.begin(), part_label.end());
    const soft_levels levels{n, level_bits.data(), level_labels.data()};

    int failures = 0;
    for (const double snr_db : {20.0, 10.0, 0.0}) {
        const double N0 = nt / std::pow(10.0, snr_db / 10.0);
        std::mt19937_64 rng(2025 + static_cast<int>(snr_db));
        std::normal_distribution<double> half(0.0, std::sqrt(0.5));
        std::normal_distribution<double> noise(0.0, std::sqrt(N0 / 2));
        std::uniform_int_distribution<int> pick(0, M2 - 1);
        std::vector<vector_problem> probs(V);
        double t_itpp = 0.0;
        for (auto& p : probs) {
            p.H.set_size(nt, nt);
            for (int i = 0; i < nt; ++i)
                for (int j = 0; j < nt; ++j) p.H(i, j) = cplx(half(rng), half(rng));
            itpp::cvec x(nt);
            p.y.set_size(nt);
            for (int j = 0; j < nt; ++j) x(j) = sy(pick(rng));
            for (int i = 0; i < nt; ++i) {
                p.y(i) = cplx(noise(rng), noise(rng));
                for (int j = 0; j < nt; ++j) p.y(i) += p.H(i, j) * x(j);
            }
            std::vector<cplx> H(nt * nt), y(nt);
            for (int j = 0; j < nt; ++j)
                for (int i = 0; i < nt; ++i) H[i + j * nt] = p.H(i, j);
            for (int i = 0; i < nt; ++i) y[i] = p.y(i);
            p.Rc.resize(nt * nt);
            p.zc.resize(nt);
            complex_qr(nt, H.data(), y.data(), p.Rc.data(), p.zc.data());
            // real form [re; im] rows, columns (im part, re part) of each antenna, scaled by c
            std::vector<cplx> Hr(n * n, 0.0), yr(n, 0.0);
            for (int i = 0; i < nt; ++i) {
                yr[i] = y[i].real();
                yr[i + nt] = y[i].imag();
                for (int t = 0; t < nt; ++t) {
                    const double a = H[i + t * nt].real() * c, b = H[i + t * nt].imag() * c;
                    Hr[i + (2 * t + 1) * n] = a;
                    Hr[i + nt + (2 * t + 1) * n] = b;
                    Hr[i + (2 * t) * n] = -b;
                    Hr[i + nt + (2 * t) * n] = a;
                }
            }
            std::vector<cplx> Rr(n * n), zr(n);
            complex_qr(n, Hr.data(), yr.data(), Rr.data(), zr.data());
            for (auto v : Rr) p.Rr.push_back(v.real());
            for (auto v : zr) p.zr.push_back(v.real());
            itpp::QLLRvec prior(B), llr;
            prior.zeros();
            mod.init_soft_demodulator(p.H, N0);
            mod.demodulate_soft_bits(p.y, prior, llr, itpp::Modulator_ND::FULL_ENUM_LOGMAP);
            for (int k = 0; k < B; ++k) p.itpp_L.push_back(mod.get_llrcalc().to_double(llr(k)));
            p.exact_L = exact_llrs(p.H, p.y, N0, points, labels, nt, bits);
        }
        // IT++ timed as latbox's routines are: the least of three rounds over the vectors
        {
            itpp::QLLRvec prior(B), llr;
            prior.zeros();
            t_itpp = best_time(3,
                               [&] {
                                   for (const auto& p : probs) {
                                       mod.init_soft_demodulator(p.H, N0);
                                       mod.demodulate_soft_bits(
                                           p.y, prior, llr, itpp::Modulator_ND::FULL_ENUM_LOGMAP);
                                   }
                               }) /
                     V;
        }

        std::vector<double> L(B);
        std::vector<double> scratch_r(app_scratch_size(levels));
        std::vector<double> scratch_c(complex_app_scratch_size(nt, M2));
        struct row {
            const char* name;
            double clip;
            bool real_form;
            double tol;
        };
        const char* real_name = "real form (8 levels of 4-PAM)";
        const char* complex_name = "complex (4 levels of 16-QAM)";
        const row rows[] = {{real_name, 20.0, true, tol},     {real_name, INFINITY, true, tol},
                            {complex_name, 20.0, false, tol}, {complex_name, INFINITY, false, tol},
                            {real_name, 20.0, true, 1e-3},    {complex_name, 20.0, false, 1e-3},
                            {real_name, 20.0, true, 0.0}};
        // every row at 20 dB; the first four (tol 1e-9) at the others
        const int row_count = snr_db == 20.0 ? 7 : 4;
        // IT++'s LLRs are integers in steps of 2^-12 and its log-MAP sums 2^15 terms per
        // hypothesis through a table of ln(1 + e^-x): its precision is taken as 2^-4 (the
        // differences are printed, and latbox's against the exact values as well)
        const double precision = 1.0 / 16;
        std::printf(
            "4x4 16-QAM, %.0f dB (N0 = %.3g), %d vectors, tol %g; IT++ (init + log-MAP): "
            "%.3f ms per vector\n\n",
            snr_db, N0, V, tol, 1e3 * t_itpp);
        std::printf(
            "| latbox routine | clip | tol | µs per vector | nodes per vector | IT++ / latbox |"
            " max abs LLR | max \\|latbox - IT++\\| | max \\|IT++ - exact\\| |"
            " max \\|latbox - exact\\| | max \\|latbox - exact\\| / (1 + \\|exact\\|) |\n"
            "|---|---|---|---|---|---|---|---|---|---|---|\n");
        for (int ri = 0; ri < row_count; ++ri) {
            const row& r = rows[ri];
            auto one = [&](const vector_problem& p, std::int64_t* nodes) {
                if (r.real_form) {
                    return find_app_llrs(p.zr.data(), p.Rr.data(), levels, N0, r.clip, r.tol,
                                         app_output::posterior, nullptr, L.data(), nodes,
                                         scratch_r.data());
                }
                return find_complex_app_llrs(reinterpret_cast<const double*>(p.zc.data()),
                                             reinterpret_cast<const double*>(p.Rc.data()), nt,
                                             alpha, N0, r.clip, r.tol, app_output::posterior,
                                             nullptr, L.data(), nodes, scratch_c.data());
            };
            double diff = 0.0, largest = 0.0, nodes = 0.0, diff_exact = 0.0, diff_ref = 0.0,
                   abs_exact = 0.0;
            for (const auto& p : probs) {
                std::int64_t k_nodes = 0;
                if (one(p, &k_nodes) != search_status::found) ++failures;
                nodes += static_cast<double>(k_nodes);
                for (int k = 0; k < B; ++k) {
                    const double it = std::max(-r.clip, std::min(r.clip, p.itpp_L[k]));
                    diff = std::max(diff, std::fabs(L[k] - it));
                    const double ex = std::max(-r.clip, std::min(r.clip, p.exact_L[k]));
                    diff_exact = std::max(diff_exact, std::fabs(L[k] - ex) / (1.0 + std::fabs(ex)));
                    diff_ref = std::max(diff_ref, std::fabs(it - ex));
                    abs_exact = std::max(abs_exact, std::fabs(L[k] - ex));
                    largest = std::max(largest, std::fabs(L[k]));
                }
            }
            const double t = best_time(3,
                                       [&] {
                                           for (const auto& p : probs) one(p, nullptr);
                                       }) /
                             V;
            std::printf(
                "| %s | %g | %g | %.1f | %.0f | %.1f× | %.1f | %.2e | %.2e | %.1e | %.1e |\n",
                r.name, r.clip, r.tol, 1e6 * t, nodes / V, t_itpp / t, largest, diff, diff_ref,
                abs_exact, diff_exact);
            // IT++'s own precision: 2^-4, or its distance to the exact values where that is
            // larger (at low SNR its table of ln(1 + e^-x) over 2^15 terms drifts further)
            const double allowed = std::max(precision, diff_ref + r.tol);
            if (diff > allowed || abs_exact > r.tol + 1e-9) {
                ++failures;
                std::printf(
                    "\n**LLRs differ from IT++'s by %.3g (allowed %.3g) or from the exact ones "
                    "by %.3g (tol %g).**\n\n",
                    diff, allowed, abs_exact, r.tol);
            }
        }
        std::printf("\n");
    }
    return failures == 0 ? 0 : 1;
}
