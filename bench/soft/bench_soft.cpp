// SPDX-License-Identifier: BSD-3-Clause
// The soft-output search against IT++'s full-enumeration demodulators and against the hard
// search, on the same random MIMO problems.
//
// Problems: Nt x Nt complex Rayleigh channels (entries CN(0,1)) in real form,
// H = [A -B; B A] (n = 2*Nt real levels, entries N(0,1/2)), symbols of M-PAM on every real
// level ({-(M-1), ..., -1, 1, ..., M-1}: M = 4 is 16-QAM, M = 8 is 64-QAM), y = H*s + w with
// w of variance N0/2 per real entry (N0 per complex receive antenna). The SNR per receive
// antenna is Nt*Es/N0, Es = 2*(M^2-1)/3 the mean energy of a complex symbol. latbox gets R
// and Q'*y from a Householder QR of H (positive diagonal), IT++ gets H and y in its own
// units (see itpp_problem). One channel per vector.
//
// Usage: bench_soft [--quick] [--calibrate] [--part itpp|hard|qam] [--qam-out <dir>]
//   (default)    markdown sections: IT++ agreement and time, soft against hard search,
//                IT++'s complex 16-QAM demodulator against the real-form search
//   --part       one section only
//   --quick      fewer vectors (a smoke run)
//   --calibrate  the hard search's uncoded bit error rate over an SNR grid (how the SNRs
//                below were chosen)
//   --qam-out    also write the complex 4x4 16-QAM problems with IT++'s ND_UQAM LLRs to
//                <dir>/qam_problems.txt (for a channel-level detector's comparison)
// Times are the processor time of this thread, each the best of a few rounds. Exits with
// status 1 when latbox's LLRs differ from IT++'s by more than two of its LLR steps.
#include <itpp/itcomm.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "detect/soft_search.h"
#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"

namespace {

// LLRs that differ from IT++'s by more than two of its steps (or from the enumeration by
// more than rounding): the run ends with status 1.
int disagreements = 0;
constexpr double itpp_tolerance = 2.0 / 4096;

void check_agreement(const char* what, const char* problem, double snr, double diff,
                     double tolerance) {
    if (diff <= tolerance) return;
    ++disagreements;
    std::printf("\n**%s, %s at %.1f dB: LLRs differ by %.3g (tolerance %.3g).**\n\n", what, problem,
                snr, diff, tolerance);
}

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Seconds per call of f() (which does `per_call` units of work): batches until a round
// spans 20 ms, best of `rounds` rounds.
template <class F>
double best_time(int rounds, F&& f) {
    double best = INFINITY;
    for (int r = 0; r < rounds; ++r) {
        long reps = 0;
        const double t0 = thread_seconds();
        double elapsed = 0.0;
        while (elapsed < 0.02) {
            f();
            ++reps;
            elapsed = thread_seconds() - t0;
        }
        best = std::min(best, elapsed / reps);
    }
    return best;
}

struct config {
    const char* name;
    int nt;         // complex antennas
    int M;          // PAM size of every real level
    double snr[3];  // dB: uncoded BER of the hard (ML) decision about 1e-1, 1e-2, 1e-3
};

// SNRs from `bench_soft --calibrate` (the hard search's BER over 1 dB steps, 4000 vectors
// each): the step nearest each target in log scale.
const config configs[] = {
    {"4x4 16-QAM", 4, 4, {13.0, 19.0, 22.0}},
    {"4x4 64-QAM", 4, 8, {20.0, 26.0, 29.0}},
    {"8x8 16-QAM", 8, 4, {13.0, 17.0, 20.0}},
};

int log2i(int M) {
    int m = 0;
    while ((1 << m) < M) ++m;
    return m;
}

unsigned gray(unsigned a) {
    return a ^ (a >> 1);
}

// One vector: the real-form channel, the sent levels, the received vector, and latbox's
// R and z = Q'*y.
struct problem {
    int n = 0;
    double N0 = 0.0;
    std::vector<double> H, s, y, R, z;
};

// Householder QR of the n-by-n column-major H: R upper triangular with a positive
// diagonal, z = Q'*y.
void qr_rotate(int n, const double* H, const double* y, double* R, double* z) {
    std::vector<double> A(H, H + n * n), v(n);
    std::copy(y, y + n, z);
    for (int j = 0; j < n; ++j) {
        double norm = 0.0;
        for (int i = j; i < n; ++i) norm += A[i + j * n] * A[i + j * n];
        norm = std::sqrt(norm);
        const double alpha = A[j + j * n] > 0 ? -norm : norm;
        double vv = 0.0;
        for (int i = j; i < n; ++i) {
            v[i] = A[i + j * n] - (i == j ? alpha : 0.0);
            vv += v[i] * v[i];
        }
        if (vv == 0.0) continue;
        auto reflect = [&](double* col) {
            double dot = 0.0;
            for (int i = j; i < n; ++i) dot += v[i] * col[i];
            const double f = 2.0 * dot / vv;
            for (int i = j; i < n; ++i) col[i] -= f * v[i];
        };
        for (int c = j; c < n; ++c) reflect(&A[c * n]);
        reflect(z);
    }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) R[i + j * n] = i <= j ? A[i + j * n] : 0.0;
    for (int i = 0; i < n; ++i) {
        if (R[i + i * n] < 0) {  // row i and z(i) change sign together: the same distances
            for (int j = i; j < n; ++j) R[i + j * n] = -R[i + j * n];
            z[i] = -z[i];
        }
    }
}

double noise_power(const config& c, double snr_db) {
    const double Es = 2.0 * (c.M * c.M - 1) / 3.0;
    return c.nt * Es / std::pow(10.0, snr_db / 10.0);
}

std::vector<problem> make_problems(const config& c, double snr_db, int K, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> half(0.0, std::sqrt(0.5));
    std::uniform_int_distribution<int> level(0, c.M - 1);
    const int nt = c.nt, n = 2 * nt;
    const double N0 = noise_power(c, snr_db);
    std::normal_distribution<double> noise(0.0, std::sqrt(N0 / 2));
    std::vector<problem> out(K);
    for (auto& p : out) {
        p.n = n;
        p.N0 = N0;
        p.H.assign(n * n, 0.0);
        for (int j = 0; j < nt; ++j)
            for (int i = 0; i < nt; ++i) {
                const double a = half(rng), b = half(rng);
                p.H[i + j * n] = a;                // A
                p.H[(i + nt) + (j + nt) * n] = a;  // A
                p.H[(i + nt) + j * n] = b;         // B
                p.H[i + (j + nt) * n] = -b;        // -B
            }
        p.s.resize(n);
        for (auto& v : p.s) v = 2 * level(rng) - (c.M - 1);
        p.y.resize(n);
        for (int i = 0; i < n; ++i) {
            double e = noise(rng);
            for (int j = 0; j < n; ++j) e += p.H[i + j * n] * p.s[j];
            p.y[i] = e;
        }
        p.R.resize(n * n);
        p.z.resize(n);
        qr_rotate(n, p.H.data(), p.y.data(), p.R.data(), p.z.data());
    }
    return out;
}

// Bit errors between two points (Gray labels on every level).
int bit_errors(const std::vector<double>& a, const double* b, int M) {
    int e = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto ga = gray(static_cast<unsigned>((a[i] + (M - 1)) / 2));
        const auto gb = gray(static_cast<unsigned>((b[i] + (M - 1)) / 2));
        e += __builtin_popcount(ga ^ gb);
    }
    return e;
}

// latbox's soft search on one problem.
struct soft_run {
    std::vector<std::int32_t> bits;
    soft_levels levels;
    std::vector<double> L, symb, scratch;
    std::int64_t nodes = 0;
    soft_run(int n, int M) : bits(n, log2i(M)) {
        levels = soft_levels{n, bits.data(), nullptr};
        const auto B = soft_bit_count(levels);
        L.resize(B);
        symb.resize(n);
        scratch.resize(soft_scratch_size(n, B));
    }
    void operator()(const problem& p, double clip, const double* La = nullptr) {
        find_bit_llrs(p.z.data(), p.R.data(), levels, p.N0, clip, La, L.data(), symb.data(), &nodes,
                      scratch.data());
    }
};

// The hard search on the integer form of the same problem: s = 2a - (M-1) with a in the box
// [0, M-1], so y - R*s = (y + (M-1)*R*1) - (2R)*a.
struct hard_run {
    int n, M;
    std::vector<double> yi, Ri, symb, scratch, pdist, isum, step, cand;
    hard_run(int n_, int M_)
        : n(n_),
          M(M_),
          yi(n_),
          Ri(n_ * n_),
          symb(n_),
          scratch(search_scratch_size(n_)),
          pdist(n_),
          isum(n_),
          step(n_),
          cand(n_) {}
    void prepare(const problem& p) {
        for (int i = 0; i < n; ++i) {
            double e = p.z[i];
            for (int j = i; j < n; ++j) e += (M - 1) * p.R[i + j * n];
            yi[i] = e;
        }
        for (int k = 0; k < n * n; ++k) Ri[k] = 2.0 * p.R[k];
    }
    void operator()() {
        find_closest_point(yi.data(), Ri.data(), n, INFINITY, 0, M - 1, symb.data(),
                           scratch.data());
    }
    std::int64_t nodes() {
        std::fill(pdist.begin(), pdist.end(), 0.0);
        std::fill(isum.begin(), isum.end(), 0.0);
        std::int64_t count = 0;
        search_options options;
        options.nodes = &count;
        find_closest_point_with(yi.data(), Ri.data(), n, INFINITY, 0, M - 1, symb.data(),
                                pdist.data(), isum.data(), step.data(), cand.data(), options);
        return count;
    }
    // the decision as odd levels
    double level(int i) const { return 2 * symb[i] - (M - 1); }
};

// Exact max-log LLRs by enumeration in double (the reference both sides are held to):
// a depth-first walk of the whole tree with partial distances.
void enumerate_llrs(const problem& p, int M, const double* La, double* L) {
    const int n = p.n, m = log2i(M), B = n * m;
    std::vector<double> best0(B, INFINITY), best1(B, INFINITY), sym(n), pd(n + 1, 0.0);
    std::vector<double> prior(n + 1, 0.0);
    std::vector<int> idx(n, 0);
    int i = n - 1;
    // level i's value index idx[i]; pd[i] = partial distance of levels i..n-1
    auto set = [&](int lev) {
        sym[lev] = 2 * idx[lev] - (M - 1);
        double e = p.z[lev];
        for (int j = lev; j < n; ++j) e -= p.R[lev + j * n] * sym[j];
        pd[lev] = pd[lev + 1] + e * e;
        double pr = 0.0;
        if (La) {
            const unsigned g = gray(static_cast<unsigned>(idx[lev]));
            for (int b = 0; b < m; ++b)
                if ((g >> (m - 1 - b)) & 1) pr += La[lev * m + b];
        }
        prior[lev] = prior[lev + 1] + pr;
    };
    set(i);
    while (true) {
        if (i > 0) {
            --i;
            idx[i] = 0;
            set(i);
            continue;
        }
        const double metric = pd[0] / p.N0 + prior[0];
        for (int lev = 0; lev < n; ++lev) {
            const unsigned g = gray(static_cast<unsigned>(idx[lev]));
            for (int b = 0; b < m; ++b) {
                const int k = lev * m + b;
                double& slot = ((g >> (m - 1 - b)) & 1) ? best1[k] : best0[k];
                slot = std::min(slot, metric);
            }
        }
        // next point: advance the lowest level that has values left
        while (i < n && idx[i] == M - 1) ++i;
        if (i == n) break;
        ++idx[i];
        set(i);
    }
    for (int k = 0; k < B; ++k) L[k] = best1[k] - best0[k];
}

// ---------------------------------------------------------------------------------------
// IT++

// IT++'s ND_UPAM lists the points of every dimension from the most positive, c*(M-1-2j)
// (c scales them to unit mean energy), and labels the j-th with the Gray code j^(j>>1),
// most significant bit first, dimension 0's bits first. latbox lists them from the most
// negative with the same codes. Feeding IT++ the channel -H/c maps its j-th point of
// every dimension onto latbox's j-th value (-c*(M-1-2j) * (-1/c) = 2j-(M-1)), so that
// both carry the same labels and the same bit order. Checks all of this (symbols, bit
// table, and modulate_bits on every label) and returns c; exits on a mismatch.
double itpp_pam_scale(itpp::ND_UPAM& mod, int n, int M) {
    const int m = log2i(M);
    const double c = mod.get_symbols()(0)(0) / (M - 1);  // the most positive point
    bool ok = mod.get_dim() == n;
    const itpp::Array<itpp::vec> symbols = mod.get_symbols();  // copies: returned by value
    const itpp::Array<itpp::bmat> bitmap = mod.get_bitmap();
    for (int d = 0; d < n && ok; ++d) {
        const itpp::vec& sy = symbols(d);
        const itpp::bmat& bm = bitmap(d);
        for (int j = 0; j < M; ++j) {
            ok = ok && std::fabs(sy(j) - c * (M - 1 - 2 * j)) < 1e-12;
            for (int b = 0; b < m; ++b)
                ok = ok &&
                     static_cast<int>(bm(j, b)) == static_cast<int>((gray(j) >> (m - 1 - b)) & 1);
        }
    }
    for (int j = 0; j < M && ok; ++j) {  // every label on dimension 0, zeros elsewhere
        itpp::bvec bits(n * m);
        bits.zeros();
        for (int b = 0; b < m; ++b) bits(b) = (gray(j) >> (m - 1 - b)) & 1;
        const itpp::vec x = mod.modulate_bits(bits);
        ok = ok && std::fabs(x(0) - c * (M - 1 - 2 * j)) < 1e-12 &&
             std::fabs(x(1) - c * (M - 1)) < 1e-12;
    }
    if (!ok) {
        std::printf("IT++'s ND_UPAM points or labels are not as expected: no comparison\n");
        std::exit(1);
    }
    return c;
}

// IT++'s soft demodulation of one problem: init_soft_demodulator(-H/c, sigma2) with
// sigma2 = N0/2 (its LLRs use |y - H*x|^2 / (2*sigma2)), then demodulate_soft_bits.
struct itpp_run {
    itpp::ND_UPAM mod;
    double c;
    itpp::QLLRvec prior, out;
    itpp::mat H;
    itpp::vec y;
    itpp_run(int n, int M) : mod(n, M), c(itpp_pam_scale(mod, n, M)), prior(n * log2i(M)) {
        prior.zeros();
    }
    void init(const problem& p) {
        H = itpp::mat(p.H.data(), p.n, p.n, false) * (-1.0 / c);
        y = itpp::vec(p.y.data(), p.n);
        mod.init_soft_demodulator(H, p.N0 / 2);
    }
    void demod(itpp::Modulator_ND::Soft_Demod_Method method) {
        mod.demodulate_soft_bits(y, prior, out, method);
    }
    double llr(int k) const { return mod.get_llrcalc().to_double(out(k)); }
    bool saturated(int k) const { return std::abs(out(k)) >= itpp::QLLR_MAX; }
};

double clipped(double v, double clip) {
    return std::copysign(std::min(std::fabs(v), clip), v);
}

// Agreement of the LLRs and time per vector against IT++'s full enumeration.
void itpp_section(bool quick) {
    const double step = 1.0 / 4096;  // IT++'s default LLR resolution, 2^-Dint1
    std::printf(
        "Differences are the largest over every bit of every vector; enumeration: exact"
        " max-log LLRs by enumerating every point in double (relative to max(1, |L|))."
        " A-priori LLRs: N(0, 4) values (quantized to IT++'s steps for both). Times per"
        " vector: IT++'s on the vectors compared (its time does not depend on them), latbox's"
        " means over more vectors of the same kind (in brackets: how many, unclipped and with"
        " clip 8). QR and Q'y: this program's Householder QR of the channel, not included in"
        " latbox's times or the ratios.\n\n");
    std::printf(
        "| problem | SNR (dB) | vectors | max abs LLR | latbox - IT++ (max (in 2^-12)) |"
        " latbox - enumeration (max, rel.) | clip 8: latbox - clipped IT++ |"
        " with a-priori LLRs: latbox - IT++ | IT++ init | IT++ max-log | IT++ log-MAP |"
        " latbox | latbox clip 8 | QR and Q'y | IT++ / latbox | IT++ / latbox clip 8 |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (int ci = 0; ci < 2; ++ci) {
        const config& c = configs[ci];
        const int n = 2 * c.nt, m = log2i(c.M), B = n * m;
        const bool big = c.M > 4;
        const int V = big ? (quick ? 1 : 2) : (quick ? 4 : 16);
        for (int si = 0; si < 3; ++si) {
            const auto probs = make_problems(c, c.snr[si], V, 1000 + 10 * ci + si);
            itpp_run it(n, c.M);
            soft_run soft(n, c.M);
            double t_init = 0, t_max = 0, t_logmap = 0, scale = 0;
            double d_itpp = 0, d_enum = 0, d_clip = 0, d_prior = 0;
            int saturated = 0;
            std::vector<double> ref(B), La(B);
            std::mt19937_64 rng(7 + si);
            std::normal_distribution<double> prior_dist(0.0, 2.0);
            for (const auto& p : probs) {
                double t0 = thread_seconds();
                it.init(p);
                t_init += thread_seconds() - t0;
                if (!big) {
                    t0 = thread_seconds();
                    it.demod(itpp::Modulator_ND::FULL_ENUM_LOGMAP);
                    t_logmap += thread_seconds() - t0;
                }
                t0 = thread_seconds();
                it.demod(itpp::Modulator_ND::FULL_ENUM_MAXLOG);
                t_max += thread_seconds() - t0;
                soft(p, INFINITY);
                enumerate_llrs(p, c.M, nullptr, ref.data());
                for (int k = 0; k < B; ++k) {
                    scale = std::max(scale, std::fabs(ref[k]));
                    d_enum = std::max(
                        d_enum, std::fabs(soft.L[k] - ref[k]) / std::max(1.0, std::fabs(ref[k])));
                    if (it.saturated(k)) {
                        ++saturated;
                        continue;
                    }
                    d_itpp = std::max(d_itpp, std::fabs(soft.L[k] - it.llr(k)));
                }
                soft(p, 8.0);
                for (int k = 0; k < B; ++k)
                    if (!it.saturated(k))
                        d_clip = std::max(d_clip, std::fabs(soft.L[k] - clipped(it.llr(k), 8.0)));
                // a-priori LLRs: IT++ takes them quantized; latbox gets the same values
                for (int k = 0; k < B; ++k) {
                    it.prior(k) = it.mod.get_llrcalc().to_qllr(prior_dist(rng));
                    La[k] = it.mod.get_llrcalc().to_double(it.prior(k));
                }
                it.demod(itpp::Modulator_ND::FULL_ENUM_MAXLOG);
                soft(p, INFINITY, La.data());
                for (int k = 0; k < B; ++k)
                    if (!it.saturated(k))
                        d_prior = std::max(d_prior, std::fabs(soft.L[k] - it.llr(k)));
                it.prior.zeros();
            }
            // latbox's time varies from vector to vector (IT++'s does not): its mean over
            // more vectors of the same kind, as many as 0.5 s of a first pass allows
            const auto more = make_problems(c, c.snr[si], quick ? 200 : 2000, 4000 + 10 * ci + si);
            int Kt = 0;
            const auto mean_time = [&](double clip, int& count) {
                count = 0;
                const double t0 = thread_seconds();
                while (count < static_cast<int>(more.size()) &&
                       (count < 16 || thread_seconds() - t0 < 0.5))
                    soft(more[count++], clip);
                const int used = count;
                return best_time(2,
                                 [&] {
                                     for (int k = 0; k < used; ++k) soft(more[k], clip);
                                 }) /
                       used;
            };
            int Kt8 = 0;
            const double t_soft = mean_time(INFINITY, Kt);
            const double t_soft8 = mean_time(8.0, Kt8);
            std::vector<double> Rq(n * n), zq(n);
            const double t_qr =
                best_time(3,
                          [&] {
                              for (const auto& p : probs)
                                  qr_rotate(n, p.H.data(), p.y.data(), Rq.data(), zq.data());
                          }) /
                V;
            t_init /= V;
            t_max /= V;
            t_logmap /= V;
            char logmap[32] = "-";
            if (!big) std::snprintf(logmap, sizeof logmap, "%.2f ms", 1e3 * t_logmap);
            std::printf(
                "| %s | %.1f | %d (%d, %d) | %.0f | %.1e (%.2f) | %.1e | %.1e | %.1e |"
                " %.2f ms | %.2f ms | %s | %.2f µs | %.2f µs | %.2f µs | %.0f× | %.0f× |",
                c.name, c.snr[si], V, Kt, Kt8, scale, d_itpp, d_itpp / step, d_enum, d_clip,
                d_prior, 1e3 * t_init, 1e3 * t_max, logmap, 1e6 * t_soft, 1e6 * t_soft8, 1e6 * t_qr,
                (t_init + t_max) / t_soft, (t_init + t_max) / t_soft8);
            if (saturated) std::printf(" (%d LLRs saturated in IT++, left out)", saturated);
            std::printf("\n");
            check_agreement("latbox against IT++", c.name, c.snr[si], d_itpp, itpp_tolerance);
            check_agreement("latbox against IT++ clipped", c.name, c.snr[si], d_clip,
                            itpp_tolerance);
            check_agreement("latbox against IT++ with a-priori LLRs", c.name, c.snr[si], d_prior,
                            itpp_tolerance);
            check_agreement("latbox against the enumeration", c.name, c.snr[si], d_enum, 1e-9);
        }
    }
}

// Nodes and time of the soft search against the hard search on the same problems.
void hard_section(bool quick) {
    const double clips[] = {0, 2, 4, 8, 16, 20, INFINITY};
    std::printf(
        "BER: the hard decision's bit errors on these vectors. Hard: plinden's search"
        " (find_closest_point), mean nodes and time per vector. Each clip column: the"
        " soft search's nodes and time over the hard search's on the same vectors"
        " (in brackets: on the first that many of them, where the trees are large).\n\n");
    std::printf("| problem | SNR (dB) | BER (hard) | hard: nodes | hard: time |");
    for (double cl : clips) std::printf(" clip %g |", cl);
    std::printf("\n|---|---|---|---|---|");
    for (std::size_t k = 0; k < std::size(clips); ++k) std::printf("---|");
    std::printf("\n");
    for (int ci = 0; ci < 3; ++ci) {
        const config& c = configs[ci];
        const int n = 2 * c.nt;
        const int K = quick ? 200 : (ci == 2 ? 500 : 2000);
        for (int si = 0; si < 3; ++si) {
            const auto probs = make_problems(c, c.snr[si], K, 2000 + 10 * ci + si);
            hard_run hard(n, c.M);
            soft_run soft(n, c.M);
            std::vector<hard_run> prepared(K, hard_run(n, c.M));
            double hard_nodes = 0;
            long errors = 0, mismatch_nodes = 0, mismatch_point = 0;
            for (int k = 0; k < K; ++k) {
                prepared[k].prepare(probs[k]);
                hard_nodes += static_cast<double>(prepared[k].nodes());
                soft(probs[k], 0.0);
                if (soft.nodes != prepared[k].nodes()) ++mismatch_nodes;
                for (int i = 0; i < n; ++i)
                    if (soft.symb[i] != prepared[k].level(i)) {
                        ++mismatch_point;
                        break;
                    }
                errors += bit_errors(probs[k].s, soft.symb.data(), c.M);
            }
            const double t_hard = best_time(3,
                                            [&] {
                                                for (auto& h : prepared) h();
                                            }) /
                                  K;
            const double ber = static_cast<double>(errors) / (K * n * log2i(c.M));
            std::printf("| %s | %.1f | %.1e | %.1f | %.2f µs |", c.name, c.snr[si], ber,
                        hard_nodes / K, 1e6 * t_hard);
            for (double cl : clips) {
                // large trees (unclipped, low SNR): as many vectors as 0.25 s of counting
                // allows, the hard search timed on the same ones
                int Kc = 0;
                double nodes = 0, base = 0;
                const double t0 = thread_seconds();
                while (Kc < K && (Kc < 20 || thread_seconds() - t0 < 0.25)) {
                    soft(probs[Kc], cl);
                    nodes += static_cast<double>(soft.nodes);
                    base += static_cast<double>(prepared[Kc].nodes());
                    ++Kc;
                }
                double t_base = t_hard;
                if (Kc < K)
                    t_base = best_time(3,
                                       [&] {
                                           for (int k = 0; k < Kc; ++k) prepared[k]();
                                       }) /
                             Kc;
                const double t = best_time(3,
                                           [&] {
                                               for (int k = 0; k < Kc; ++k) soft(probs[k], cl);
                                           }) /
                                 Kc;
                if (Kc < K)
                    std::printf(" %.2f× / %.2f× (%d) |", nodes / base, t / t_base, Kc);
                else
                    std::printf(" %.2f× / %.2f× |", nodes / base, t / t_base);
            }
            std::printf("\n");
            if (mismatch_nodes || mismatch_point)
                std::printf(
                    "\n(%s, %.1f dB: clip 0 differs from the hard search in nodes on %ld"
                    " and in the point on %ld of %d vectors)\n\n",
                    c.name, c.snr[si], mismatch_nodes, mismatch_point, K);
        }
    }
}

// The hard search's bit error rate over an SNR grid.
void calibrate() {
    std::printf("| problem | SNR (dB) | BER (hard, ML) |\n|---|---|---|\n");
    for (const auto& c : configs) {
        const int n = 2 * c.nt;
        for (double snr = 6; snr <= 32; snr += 1.0) {
            const int K = 4000;
            const auto probs = make_problems(c, snr, K, 99);
            hard_run hard(n, c.M);
            long errors = 0;
            for (const auto& p : probs) {
                hard.prepare(p);
                hard();
                std::vector<double> levels(n);
                for (int i = 0; i < n; ++i) levels[i] = hard.level(i);
                errors += bit_errors(p.s, levels.data(), c.M);
            }
            const double ber = static_cast<double>(errors) / (K * n * log2i(c.M));
            std::printf("| %s | %.0f | %.2e |\n", c.name, snr, ber);
            if (ber < 3e-4) break;
        }
    }
}

// IT++'s complex ND_UQAM on Nt x Nt 16-QAM (complex channels, its own unit-energy points
// and labels). Its labels split into bits of the imaginary part (the first half) and bits
// of the real part (the second half), each a Gray code of the part's value counted from the
// most positive; checked here. latbox gets the real form with the levels of antenna t in
// the order (the part carrying the first bits, the other), each with the labels of its
// part, so that its bits come out in IT++'s order.
struct qam_layout {
    double c;                        // points are c * (odd + i*odd)
    int first_part;                  // 0: the real part carries the first bits, 1: imaginary
    std::vector<std::uint32_t> lab;  // labels of a part's values, from the most negative
};

qam_layout itpp_qam_layout(itpp::ND_UQAM& mod, int M2) {
    const int M = static_cast<int>(std::lround(std::sqrt(M2))), m = log2i(M);
    const itpp::cvec sy = mod.get_symbols()(0);
    const itpp::bmat bm = mod.get_bitmap()(0);
    qam_layout q;
    q.c = std::fabs(sy(0).real()) / (M - 1);
    std::vector<int> lab_re(M, -1), lab_im(M, -1), first(M, -1), second(M, -1);
    bool ok = true;
    for (int j = 0; j < M2; ++j) {
        const double re = sy(j).real() / q.c, im = sy(j).imag() / q.c;
        const int ar = static_cast<int>(std::lround((re + (M - 1)) / 2));
        const int ai = static_cast<int>(std::lround((im + (M - 1)) / 2));
        ok = ok && ar >= 0 && ar < M && ai >= 0 && ai < M &&
             std::fabs(re - (2 * ar - (M - 1))) < 1e-9 && std::fabs(im - (2 * ai - (M - 1))) < 1e-9;
        if (!ok) break;
        int hi = 0, lo = 0;
        for (int b = 0; b < m; ++b) {
            hi = 2 * hi + static_cast<int>(bm(j, b));
            lo = 2 * lo + static_cast<int>(bm(j, m + b));
        }
        // the first bits as a function of the imaginary part, the rest of the real part
        ok = ok && (lab_im[ai] < 0 || lab_im[ai] == hi) && (lab_re[ar] < 0 || lab_re[ar] == lo);
        lab_im[ai] = hi;
        lab_re[ar] = lo;
    }
    for (int a = 0; a < M && ok; ++a) ok = lab_re[a] == lab_im[a] && lab_re[a] >= 0;
    if (!ok) {
        std::printf(
            "IT++'s ND_UQAM labels are not split into imaginary and real bits as"
            " expected: no comparison\n");
        std::exit(1);
    }
    q.first_part = 1;
    for (int a = 0; a < M; ++a) q.lab.push_back(static_cast<std::uint32_t>(lab_im[a]));
    return q;
}

}  // namespace

void qam_section(bool quick, const char* out_dir) {
    const int nt = 4, M2 = 16, m = 2, n = 2 * nt, B = nt * 2 * m;
    const int V = quick ? 4 : 16;
    itpp::ND_UQAM mod(nt, M2);
    const qam_layout q = itpp_qam_layout(mod, M2);
    std::vector<std::int32_t> bits(n, m);
    std::vector<std::uint32_t> labels;
    for (int l = 0; l < n; ++l) labels.insert(labels.end(), q.lab.begin(), q.lab.end());
    const soft_levels levels{n, bits.data(), labels.data()};
    std::vector<double> L(B), symb(n), scratch(soft_scratch_size(n, B));
    std::FILE* out = nullptr;
    if (out_dir) {
        const std::string path = std::string(out_dir) + "/qam_problems.txt";
        out = std::fopen(path.c_str(), "w");
        if (!out) {
            std::printf("cannot write %s\n", path.c_str());
            std::exit(1);
        }
        // K Nt M; then the M points (re im) and their labels; then per vector: N0 and
        // IT++'s seconds (init + max-log), H (re im, column-major), y (re im), IT++'s LLRs.
        // Read by bench_mimo_itpp.m.
        std::fprintf(out, "%d %d %d\n", 3 * V, nt, M2);
        const itpp::cvec sy = mod.get_symbols()(0);
        const itpp::bmat bm = mod.get_bitmap()(0);
        for (int j = 0; j < M2; ++j) {
            std::fprintf(out, "%.17g %.17g", sy(j).real(), sy(j).imag());
            for (int b = 0; b < 2 * m; ++b) std::fprintf(out, " %d", static_cast<int>(bm(j, b)));
            std::fprintf(out, "\n");
        }
    }
    std::printf(
        "| SNR (dB) | vectors | max abs LLR | latbox - IT++ (max (in 2^-12)) | IT++ init |"
        " IT++ max-log | latbox (real form) | latbox clip 8 | IT++ / latbox |"
        " IT++ / latbox clip 8 |\n|---|---|---|---|---|---|---|---|---|---|\n");
    const config& c = configs[0];
    for (int si = 0; si < 3; ++si) {
        std::mt19937_64 rng(3000 + si);
        std::normal_distribution<double> half(0.0, std::sqrt(0.5));
        std::uniform_int_distribution<int> point(0, M2 - 1);
        const double N0 = nt * 1.0 / std::pow(10.0, c.snr[si] / 10.0);  // unit-energy points
        std::normal_distribution<double> noise(0.0, std::sqrt(N0 / 2));
        const itpp::cvec points = mod.get_symbols()(0);
        std::vector<problem> probs(V);
        std::vector<itpp::cmat> Hs(V);
        std::vector<itpp::cvec> ys(V);
        double t_init = 0, t_max = 0, diff = 0, scale = 0;
        std::vector<std::vector<double>> itpp_llrs(V, std::vector<double>(B));
        for (int v = 0; v < V; ++v) {
            itpp::cmat H(nt, nt);
            for (int i = 0; i < nt; ++i)
                for (int j = 0; j < nt; ++j) H(i, j) = std::complex<double>(half(rng), half(rng));
            itpp::cvec x(nt), y(nt);
            for (int j = 0; j < nt; ++j) x(j) = points(point(rng));
            for (int i = 0; i < nt; ++i) {
                y(i) = std::complex<double>(noise(rng), noise(rng));
                for (int j = 0; j < nt; ++j) y(i) += H(i, j) * x(j);
            }
            Hs[v] = H;
            ys[v] = y;
            // the real form, levels (imaginary part, real part) of every antenna, in latbox
            // units: the part's value is c * level
            problem& p = probs[v];
            p.n = n;
            p.N0 = N0;
            p.H.assign(n * n, 0.0);
            p.y.resize(n);
            for (int i = 0; i < nt; ++i) {
                p.y[i] = y(i).real();
                p.y[i + nt] = y(i).imag();
                for (int t = 0; t < nt; ++t) {
                    const double a = H(i, t).real() * q.c, b = H(i, t).imag() * q.c;
                    const int im_col = 2 * t, re_col = 2 * t + 1;
                    p.H[i + re_col * n] = a;
                    p.H[i + nt + re_col * n] = b;
                    p.H[i + im_col * n] = -b;
                    p.H[i + nt + im_col * n] = a;
                }
            }
            p.R.resize(n * n);
            p.z.resize(n);
            qr_rotate(n, p.H.data(), p.y.data(), p.R.data(), p.z.data());
            itpp::QLLRvec prior(B), llr;
            prior.zeros();
            const double t0 = thread_seconds();
            mod.init_soft_demodulator(H, N0);
            const double t1 = thread_seconds();
            mod.demodulate_soft_bits(y, prior, llr, itpp::Modulator_ND::FULL_ENUM_MAXLOG);
            const double t2 = thread_seconds();
            t_init += t1 - t0;
            t_max += t2 - t1;
            find_bit_llrs(p.z.data(), p.R.data(), levels, N0, INFINITY, nullptr, L.data(),
                          symb.data(), nullptr, scratch.data());
            for (int k = 0; k < B; ++k) {
                itpp_llrs[v][k] = mod.get_llrcalc().to_double(llr(k));
                scale = std::max(scale, std::fabs(L[k]));
                diff = std::max(diff, std::fabs(L[k] - itpp_llrs[v][k]));
            }
            if (out) {
                std::fprintf(out, "%.17g %.9g\n", N0, t2 - t0);
                for (int j = 0; j < nt; ++j)
                    for (int i = 0; i < nt; ++i)
                        std::fprintf(out, "%.17g %.17g ", H(i, j).real(), H(i, j).imag());
                std::fprintf(out, "\n");
                for (int i = 0; i < nt; ++i)
                    std::fprintf(out, "%.17g %.17g ", y(i).real(), y(i).imag());
                std::fprintf(out, "\n");
                for (int k = 0; k < B; ++k) std::fprintf(out, "%.17g ", itpp_llrs[v][k]);
                std::fprintf(out, "\n");
            }
        }
        auto run = [&](double clip) {
            return best_time(3,
                             [&] {
                                 for (const auto& p : probs)
                                     find_bit_llrs(p.z.data(), p.R.data(), levels, p.N0, clip,
                                                   nullptr, L.data(), symb.data(), nullptr,
                                                   scratch.data());
                             }) /
                   V;
        };
        const double t_soft = run(INFINITY), t_soft8 = run(8.0);
        t_init /= V;
        t_max /= V;
        std::printf(
            "| %.1f | %d | %.0f | %.1e (%.2f) | %.2f ms | %.2f ms | %.2f µs | %.2f µs |"
            " %.0f× | %.0f× |\n",
            c.snr[si], V, scale, diff, diff * 4096, 1e3 * t_init, 1e3 * t_max, 1e6 * t_soft,
            1e6 * t_soft8, (t_init + t_max) / t_soft, (t_init + t_max) / t_soft8);
        check_agreement("latbox against IT++'s ND_UQAM", "4x4 16-QAM", c.snr[si], diff,
                        itpp_tolerance);
    }
    if (out) std::fclose(out);
}

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool quick = false, cal = false;
    const char* qam_dir = nullptr;
    std::string part = "all";
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[a], "--calibrate") == 0)
            cal = true;
        else if (std::strcmp(argv[a], "--qam-out") == 0 && a + 1 < argc)
            qam_dir = argv[++a];
        else if (std::strcmp(argv[a], "--part") == 0 && a + 1 < argc)
            part = argv[++a];
        else {
            std::printf(
                "usage: bench_soft [--quick] [--calibrate] [--part itpp|hard|qam]"
                " [--qam-out <dir>]\n");
            return 2;
        }
    }
    if (cal) {
        calibrate();
        return 0;
    }
    if (part == "all" || part == "itpp") {
        std::printf("### Against IT++'s full enumeration\n\n");
        itpp_section(quick);
    }
    if (part == "all" || part == "hard") {
        std::printf("\n### Soft search against the hard search\n\n");
        hard_section(quick);
    }
    if (part == "all" || part == "qam") {
        std::printf("\n### IT++'s complex ND_UQAM (4x4 16-QAM)\n\n");
        qam_section(quick, qam_dir);
    }
    return disagreements == 0 ? 0 : 1;
}
