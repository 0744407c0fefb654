// SPDX-License-Identifier: BSD-3-Clause
// The soft-in linear detectors per thread: 'mmse' as mimo_detect runs it today against the
// same filter with the per-stream demapper of channel/soft_demap.h, MMSE-PIC (one pass, with
// priors) and EP (10 passes), on the same 4x4 16-QAM vectors.
//
// Problems: 4x4 complex Rayleigh channels (entries CN(0,1)), one page of V vectors per
// channel, 16-QAM with Gray labels per dimension (unit mean energy), y = Hx + w, w of
// variance N0 per receive antenna, SNR = nt*Es/N0 per receive antenna. Priors, where used,
// from the consistent Gaussian source of iterative receivers: L = (1-2b) s^2/2 + s n,
// n ~ N(0,1), s = 2 (an a-priori mutual information of about 0.49 bit).
//
// Usage: bench_softlin [--quick]. Times are the processor time of this thread over the
// columns of every page (the page's preparation apart), best of three rounds.
//
// Built with IT++ (a benchmark peer only), it then runs IT++'s SISO demapper with "mmsePIC"
// on the same pages: V-BLAST generator matrices from its STC class ("V-BLAST_MxN", one
// channel use per vector), the impulse response as SISO's MN-by-(channel uses) matrix of
// H^T's columns (one per vector of the page), set_noise(N0/2) (its variance per real
// dimension), the received vectors as rows, the priors as -La (SISO's LLRs are
// ln P(b=1)/P(b=0), BPSK 0 -> +1), one demapper call per page (set_impulse_response
// included in its time). Its output is -Le, the extrinsic LLR of a max-log per-stream
// demapper on the MMSE-PIC estimate: the bench compares it with the max-log demap of
// latbox's own z_t and N0_t and with latbox's LLRs (channel/soft_demap.h, max-log too),
// without priors (both then MMSE: the set-up) and with them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "channel/constellation.h"
#include "channel/ep.h"
#include "channel/linear.h"
#include "channel/mimo_detector.h"
#include "channel/mmse_pic.h"
#include "channel/soft_demap.h"

#ifdef LATBOX_BENCH_ITPP
#include <itpp/itcomm.h>
#endif

namespace {

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <class F>
double best_of_three(F&& f) {
    double best = INFINITY;
    for (int r = 0; r < 3; ++r) {
        const double t0 = thread_seconds();
        f();
        best = std::min(best, thread_seconds() - t0);
    }
    return best;
}

double sink = 0.0;  // keeps the results alive

struct setup {
    int nt = 4, nr = 4, M = 16, bits = 4;
    std::vector<cplx> points;
    std::vector<std::uint32_t> labels;
    constellation_grid grid;
    double es = 1.0;
    int pages = 0, per_page = 0;
    std::vector<cplx> H, Y;     // pages*nr*nt, pages*per_page*nr
    std::vector<double> prior;  // pages*per_page*nt*bits
    double n0 = 0.0;
};

setup make_setup(int pages, int per_page, double snr_db, unsigned seed) {
    setup s;
    s.pages = pages;
    s.per_page = per_page;
    const double scale = 1.0 / std::sqrt(10.0);
    for (int a = 0; a < 4; ++a) {
        for (int b = 0; b < 4; ++b) {
            s.points.push_back(scale * cplx(2.0 * a - 3, 2.0 * b - 3));
            s.labels.push_back(((a ^ (a >> 1)) << 2) | (b ^ (b >> 1)));
        }
    }
    analyse_constellation(reinterpret_cast<const double*>(s.points.data()), 16, s.labels.data(), 4,
                          true, &s.grid);
    s.n0 = s.nt * s.es / std::pow(10.0, snr_db / 10.0);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick(0, 15);
    const double h = std::sqrt(0.5), w = std::sqrt(s.n0 / 2);
    s.H.resize(static_cast<std::size_t>(pages) * s.nr * s.nt);
    for (cplx& v : s.H) v = cplx(h * normal(rng), h * normal(rng));
    s.Y.assign(static_cast<std::size_t>(pages) * per_page * s.nr, 0.0);
    s.prior.resize(static_cast<std::size_t>(pages) * per_page * s.nt * s.bits);
    const double sa = 2.0;
    for (int pg = 0; pg < pages; ++pg) {
        for (int v = 0; v < per_page; ++v) {
            cplx* y = &s.Y[(static_cast<std::size_t>(pg) * per_page + v) * s.nr];
            double* La = &s.prior[(static_cast<std::size_t>(pg) * per_page + v) * s.nt * s.bits];
            for (int t = 0; t < s.nt; ++t) {
                const int m = pick(rng);
                for (int r = 0; r < s.nr; ++r)
                    y[r] += s.H[pg * s.nr * s.nt + r + t * s.nr] * s.points[m];
                for (int k = 0; k < s.bits; ++k) {
                    const double b = label_bit(s.labels[m], s.bits, k);
                    La[t * s.bits + k] = (1.0 - 2.0 * b) * sa * sa / 2 + sa * normal(rng);
                }
            }
            for (int r = 0; r < s.nr; ++r) y[r] += cplx(w * normal(rng), w * normal(rng));
        }
    }
    return s;
}

void row(const char* what, double seconds, long vectors, double baseline) {
    const double rate = vectors / seconds;
    std::printf("| %s | %.2f | %.3f | %.2f |\n", what, rate / 1e6, 1e6 * seconds / vectors,
                baseline > 0 ? baseline / seconds : 1.0);
}

#ifdef LATBOX_BENCH_ITPP
// IT++'s SISO "mmsePIC" on the pages of s with its priors (the set-up in the header), beside
// latbox's MMSE-PIC (one pass, extrinsic, t_pic): speed and LLRs.
void itpp_mmse_pic(const setup& s, const soft_linear_problem& p, const std::vector<cplx>& grams,
                   double t_pic) {
    const int nt = s.nt, nr = s.nr, bits = s.bits, per = s.per_page;
    itpp::STC stc("V-BLAST_MxN", s.M, nt, 1);
    itpp::cvec cons(s.M);
    itpp::bmat bin(s.M, bits);
    for (int m = 0; m < s.M; ++m) {
        cons(m) = s.points[m];
        for (int k = 0; k < bits; ++k) bin(m, k) = label_bit(s.labels[m], bits, k) ? 1 : 0;
    }
    itpp::SISO siso;
    siso.set_constellation(bits, cons, bin);
    siso.set_st_block_code(stc.get_nb_symbols_per_block(), stc.get_1st_gen_matrix(),
                           stc.get_2nd_gen_matrix(), nr);
    siso.set_noise(s.n0 / 2);
    siso.set_demapper_method("mmsePIC");
    // the pages in IT++'s shapes, outside the timed region
    std::vector<itpp::cmat> cH(s.pages), Y(s.pages);
    std::vector<itpp::vec> La(s.pages);
    for (int pg = 0; pg < s.pages; ++pg) {
        cH[pg].set_size(nt * nr, per);
        Y[pg].set_size(per, nr);
        La[pg].set_size(per * nt * bits);
        for (int v = 0; v < per; ++v) {
            for (int r = 0; r < nr; ++r) {
                for (int t = 0; t < nt; ++t) cH[pg](t + r * nt, v) = s.H[pg * nr * nt + r + t * nr];
                Y[pg](v, r) = s.Y[(static_cast<std::size_t>(pg) * per + v) * nr + r];
            }
            for (int b = 0; b < nt * bits; ++b)
                La[pg](v * nt * bits + b) =
                    -s.prior[(static_cast<std::size_t>(pg) * per + v) * nt * bits + b];
        }
    }
    std::vector<itpp::vec> Le(s.pages);
    const double t_itpp = best_of_three([&] {
        for (int pg = 0; pg < s.pages; ++pg) {
            siso.set_impulse_response(cH[pg]);
            siso.demapper(Le[pg], Y[pg], La[pg]);
            sink += Le[pg](0);
        }
    });
    // LLRs: latbox's z_t, N0_t through a max-log demapper (extrinsic), and latbox's own,
    // with the priors and without (IT++ then given zeros)
    struct agreement {
        double d_maxlog = 0.0, d_exact = 0.0, largest = 0.0;
        long finite = 0, total = 0;
    };
    auto compare = [&](bool with_priors) {
        agreement g;
        std::vector<double> llr(nt * bits), z(2 * nt), noise(nt), ps(mmse_pic_scratch(p));
        std::vector<double> zero(nt * bits, 0.0);
        std::vector<std::int32_t> idx(nt);
        for (int pg = 0; pg < s.pages; ++pg) {
            itpp::vec out;
            siso.set_impulse_response(cH[pg]);
            if (with_priors) {
                siso.demapper(out, Y[pg], La[pg]);
            } else {
                siso.demapper(out, Y[pg], itpp::zeros(per * nt * bits));
            }
            for (int v = 0; v < per; ++v) {
                const std::size_t c = static_cast<std::size_t>(pg) * per + v;
                const double* prior = with_priors ? &s.prior[c * nt * bits] : zero.data();
                mmse_pic_column(p, &s.H[pg * nr * nt], &grams[pg * nt * nt], &s.Y[c * nr], s.n0,
                                with_priors ? prior : nullptr, 1, llr.data(), idx.data(),
                                reinterpret_cast<cplx*>(z.data()), noise.data(), ps.data());
                for (int t = 0; t < nt; ++t) {
                    const cplx zt(z[2 * t], z[2 * t + 1]);
                    for (int k = 0; k < bits; ++k) {
                        double best[2] = {INFINITY, INFINITY};
                        for (int m = 0; m < s.M; ++m) {
                            double cost = std::norm(zt - s.points[m]) / noise[t];
                            for (int o = 0; o < bits; ++o) {
                                if (o != k && label_bit(s.labels[m], bits, o))
                                    cost += prior[t * bits + o];
                            }
                            const int h = label_bit(s.labels[m], bits, k) ? 1 : 0;
                            best[h] = std::min(best[h], cost);
                        }
                        const double it = -out(v * nt * bits + t * bits + k);
                        ++g.total;
                        if (!std::isfinite(it)) continue;
                        ++g.finite;
                        g.d_maxlog = std::max(g.d_maxlog, std::fabs(it - (best[1] - best[0])));
                        g.d_exact = std::max(g.d_exact, std::fabs(it - llr[t * bits + k]));
                        g.largest = std::max(g.largest, std::fabs(it));
                    }
                }
            }
        }
        return g;
    };
    const agreement with = compare(true), without = compare(false);
    const long vectors = static_cast<long>(s.pages) * per;
    std::printf(
        "\nIT++'s SISO demapper \"mmsePIC\" (max-log per stream, extrinsic) on the same pages "
        "and priors:\n\n| detector | M vectors/s | us/vector | latbox / IT++ speed |\n"
        "|---|---|---|---|\n");
    std::printf(
        "| IT++ SISO mmsePIC (set_impulse_response + demapper per page) | %.3f | %.3f | "
        "|\n",
        vectors / t_itpp / 1e6, 1e6 * t_itpp / vectors);
    std::printf("| latbox MMSE-PIC, 1 pass, with priors, extrinsic | %.3f | %.3f | %.1f× |\n",
                vectors / t_pic / 1e6, 1e6 * t_pic / vectors, t_itpp / t_pic);
    for (const agreement* g : {&without, &with}) {
        std::printf(
            "\n%s: IT++'s LLRs finite: %ld of %ld; largest |L|: %.1f; largest |IT++ - max-log "
            "demap of latbox's z_t, N0_t|: %.2g; largest |IT++ - latbox's per-stream "
            "LLRs|: %.2g\n",
            g == &with ? "With priors" : "Without priors (both: MMSE)", g->finite, g->total,
            g->largest, g->d_maxlog, g->d_exact);
    }
}
#endif

void run(int pages, int per_page, double snr_db) {
    setup s = make_setup(pages, per_page, snr_db, 42);
    const long vectors = static_cast<long>(pages) * per_page;
    const int nt = s.nt, nr = s.nr, bits = s.bits;
    std::vector<double> llr(nt * bits), llr2(nt * bits), idx(nt);
    std::vector<std::int32_t> idx32(nt);

    // today's 'mmse': mimo_prepare_page and mimo_detect_column
    mimo_problem mp{};
    mp.method = mimo_method::mmse;
    mp.complex_model = true;
    mp.nr = nr;
    mp.nt = nt;
    mp.M = s.M;
    mp.bits = bits;
    mp.points = s.points.data();
    mp.labels = s.labels.data();
    mp.grid = &s.grid;
    mp.es = s.es;
    mp.clip = INFINITY;
    const std::int64_t psize = mimo_page_size(mp);
    std::vector<double> pagebuf(psize * pages), scratch(mimo_column_scratch(mp) + 1024);
    for (int pg = 0; pg < pages; ++pg) {
        mimo_prepare_page(mp, &s.H[pg * nr * nt], s.n0, &pagebuf[pg * psize], scratch.data());
    }
    // the same filter for the new demapper: G, noise, mu per page
    const std::int64_t fsize = 2 * nt * nr + 2 * nt;
    std::vector<double> filt(fsize * pages), fwork(linear_filter_scratch(nr, nt));
    for (int pg = 0; pg < pages; ++pg) {
        double* f = &filt[pg * fsize];
        double* inv = f + 2 * nt * nr;
        double* mu = inv + nt;
        linear_filter(&s.H[pg * nr * nt], nr, nt, s.n0 / s.es, reinterpret_cast<cplx*>(f), inv, mu,
                      reinterpret_cast<cplx*>(fwork.data()));
        for (int t = 0; t < nt; ++t) inv[t] = s.es * (1.0 - mu[t]) / mu[t];  // noise in place
    }
    soft_alphabet a;
    a.M = s.M;
    a.bits = bits;
    a.points = s.points.data();
    a.labels = s.labels.data();
    a.grid = &s.grid;
    std::vector<cplx> z(nt);

    const double t_today = best_of_three([&] {
        for (int pg = 0; pg < pages; ++pg) {
            for (int v = 0; v < per_page; ++v) {
                mimo_detect_column(mp, &pagebuf[pg * psize], &s.Y[(pg * per_page + v) * nr], s.n0,
                                   nullptr, llr.data(), idx.data(), nullptr, scratch.data());
                sink += llr[0];
            }
        }
    });
    auto column_kernel = [&](bool new_demapper, int pg, int v, double* out) {
        const double* f = &filt[pg * fsize];
        const double* noise = f + 2 * nt * nr;
        const double* mu = noise + nt;
        apply_filter(reinterpret_cast<const cplx*>(f), nr, nt, &s.Y[(pg * per_page + v) * nr],
                     z.data());
        for (int t = 0; t < nt; ++t) {
            if (new_demapper) {
                demap_stream(z[t] / mu[t], noise[t], a, nullptr, llr_output::posterior, INFINITY,
                             out + t * bits, &idx32[t]);
            } else {
                stream_llrs(z[t] / mu[t], noise[t], s.points.data(), s.M, s.labels.data(), bits,
                            INFINITY, out + t * bits, &idx32[t]);
            }
        }
    };
    const double t_old_kernel = best_of_three([&] {
        for (int pg = 0; pg < pages; ++pg) {
            for (int v = 0; v < per_page; ++v) {
                column_kernel(false, pg, v, llr.data());
                sink += llr[0];
            }
        }
    });
    const double t_new = best_of_three([&] {
        for (int pg = 0; pg < pages; ++pg) {
            for (int v = 0; v < per_page; ++v) {
                column_kernel(true, pg, v, llr.data());
                sink += llr[0];
            }
        }
    });
    // agreement of the two demappers on every vector
    double worst = 0.0;
    for (int pg = 0; pg < pages; ++pg) {
        for (int v = 0; v < per_page; ++v) {
            column_kernel(false, pg, v, llr.data());
            column_kernel(true, pg, v, llr2.data());
            for (int k = 0; k < nt * bits; ++k) {
                worst = std::max(worst, std::fabs(llr[k] - llr2[k]) / (1.0 + std::fabs(llr[k])));
            }
        }
    }

    // MMSE-PIC and EP
    soft_linear_problem p;
    p.complex_model = true;
    p.nr = nr;
    p.nt = nt;
    p.alphabet = a;
    p.clip = INFINITY;
    p.output = llr_output::extrinsic;
    std::vector<cplx> grams(static_cast<std::size_t>(nt) * nt * pages);
    for (int pg = 0; pg < pages; ++pg)
        mmse_pic_prepare(&s.H[pg * nr * nt], nr, nt, &grams[pg * nt * nt]);
    std::vector<double> ps(mmse_pic_scratch(p));
    auto pic = [&](const double* prior_base, int iterations) {
        return best_of_three([&] {
            for (int pg = 0; pg < pages; ++pg) {
                for (int v = 0; v < per_page; ++v) {
                    const long c = static_cast<long>(pg) * per_page + v;
                    mmse_pic_column(p, &s.H[pg * nr * nt], &grams[pg * nt * nt], &s.Y[c * nr], s.n0,
                                    prior_base != nullptr ? prior_base + c * nt * bits : nullptr,
                                    iterations, llr.data(), idx32.data(), nullptr, nullptr,
                                    ps.data());
                    sink += llr[0];
                }
            }
        });
    };
    const double t_pic = pic(s.prior.data(), 1);
    const double t_pic_none = pic(nullptr, 1);
    const double t_pic2 = pic(s.prior.data(), 2);
    const std::int64_t esize = ep_page_size(p);
    std::vector<double> gram_r(esize * pages), es(ep_scratch(p));
    for (int pg = 0; pg < pages; ++pg) ep_prepare(p, &s.H[pg * nr * nt], &gram_r[pg * esize]);
    auto ep = [&](const double* prior_base, int iterations) {
        return best_of_three([&] {
            for (int pg = 0; pg < pages; ++pg) {
                for (int v = 0; v < per_page; ++v) {
                    const long c = static_cast<long>(pg) * per_page + v;
                    ep_column(p, &gram_r[pg * esize], &s.H[pg * nr * nt], &s.Y[c * nr], s.n0,
                              prior_base != nullptr ? prior_base + c * nt * bits : nullptr,
                              iterations, 0.9, llr.data(), idx32.data(), es.data());
                    sink += llr[0];
                }
            }
        });
    };
    const double t_ep = ep(nullptr, 10);
    const double t_ep_prior = ep(s.prior.data(), 10);

    std::printf(
        "4x4 16-QAM (Gray), %.0f dB, %d pages of %d vectors; M vectors/s per thread, "
        "microseconds per vector, speed-up over today's 'mmse' column:\n\n",
        snr_db, pages, per_page);
    std::printf("| detector | M vectors/s | us/vector | over today's |\n|---|---|---|---|\n");
    row("'mmse' today (mimo_detect_column)", t_today, vectors, t_today);
    row("'mmse' today's kernel (apply_filter + stream_llrs)", t_old_kernel, vectors, t_today);
    row("'mmse' with demap_stream (apply_filter + demap_stream)", t_new, vectors, t_today);
    row("MMSE-PIC, 1 pass, no priors", t_pic_none, vectors, t_today);
    row("MMSE-PIC, 1 pass, with priors", t_pic, vectors, t_today);
    row("MMSE-PIC, 2 passes, with priors", t_pic2, vectors, t_today);
    row("EP, 10 passes, beta 0.9, no priors", t_ep, vectors, t_today);
    row("EP, 10 passes, beta 0.9, with priors", t_ep_prior, vectors, t_today);
    std::printf(
        "\nLargest |L_new - L_today|/(1 + |L_today|) of the demappers on these vectors: %.2g\n",
        worst);
#ifdef LATBOX_BENCH_ITPP
    itpp_mmse_pic(s, p, grams, t_pic);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    run(quick ? 20 : 200, quick ? 50 : 100, 15.0);
    std::printf("\n(checksum %g)\n", sink);
    return 0;
}
