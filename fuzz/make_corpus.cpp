// SPDX-License-Identifier: BSD-3-Clause
// Writes the seed corpus: fuzz_make_corpus <dir> makes <dir>/<gateway>/<case> for every
// gateway, from the edge cases of the unit tests and of each function's documentation.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();
const int own = 0xF0;  // the harness's own nrhs / nlhs
std::string root;
int written = 0;
int batch_threads = 0;  // 0 for the single functions; 1..3 for the batch forms' seeds

void put(const std::string& fn, const std::string& name, const fuzz_encoder& e) {
    const std::string dir = root + "/" + fn;
    mkdir(root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr) {
        std::perror(dir.c_str());
        return;
    }
    std::fwrite(e.bytes().data(), 1, e.bytes().size(), f);
    std::fclose(f);
    ++written;
}

fuzz_encoder call(int nrhs = own, int nlhs = own, int n = 2) {
    fuzz_encoder e;
    if (batch_threads != 0) {
        e.batch(batch_threads);
        batch_threads = batch_threads % 3 + 1;  // the seeds take turns at 1, 2 and 3 threads
    }
    e.counts(nrhs, nlhs).size(n);
    return e;
}

// Cases every gateway must refuse cleanly: no arguments, wrong classes, empty arrays.
void common(const std::string& fn, int nrhs) {
    put(fn, "no_args", call(0, 0));
    put(fn, "too_many_args", [&] {
        fuzz_encoder e = call(7, 5);
        for (int k = 0; k < 7; ++k) e.values(1, 1, {1.0});
        return e;
    }());
    const th_class classes[] = {th_class::single, th_class::int32, th_class::logical,
                                th_class::complex_double, th_class::sparse_double};
    for (th_class c : classes) {
        for (int bad = 0; bad < nrhs; ++bad) {
            fuzz_encoder e = call();
            for (int k = 0; k < nrhs; ++k) {
                if (k == bad)
                    e.arg(c, dim_n(0), dim_n(0), fill_mode::raw,
                          std::vector<std::uint8_t>(64, 0x3f));
                else
                    e.arg(th_class::real_double, dim_n(0), dim_n(0), fill_mode::upper,
                          {2, 1, 4, 6});
            }
            put(fn, "class" + std::to_string(static_cast<int>(c)) + "_arg" + std::to_string(bad),
                e);
        }
    }
    for (int empty = 0; empty < nrhs; ++empty) {
        fuzz_encoder e = call();
        for (int k = 0; k < nrhs; ++k) {
            if (k == empty)
                e.arg(th_class::real_double, dim_abs(0), dim_n(0), fill_mode::zeros);
            else
                e.arg(th_class::real_double, dim_n(0), dim_n(0), fill_mode::upper, {2, 1, 4, 6});
        }
        put(fn, "empty_arg" + std::to_string(empty), e);
    }
}

void zarrow() {
    common("zarrow", 2);
    put("zarrow", "ok_2", call().values(2, 1, {1, 2}).values(2, 2, {1, 0, 0.5, 2}));
    put("zarrow", "ok_halves",
        call().values(3, 1, {0.5, -0.5, 1.5}).values(3, 3, {1, 0, 0, 1, 1, 0, 1, 1, 2}));
    put("zarrow", "empty", call().values(0, 0, {}).values(0, 0, {}));
    put("zarrow", "wide_R", call().values(2, 1, {1, 2}).values(2, 3, {1, 0, 0, 1, 1, 1}));
    put("zarrow", "short_y", call().values(1, 1, {1}).values(2, 2, {1, 0, 0, 1}));
    put("zarrow", "nan_inf", call().values(2, 1, {nan, inf}).values(2, 2, {1, 0, -inf, 0}));
    put("zarrow", "huge_denormal",
        call().values(2, 1, {1e300, 5e-324}).values(2, 2, {5e-324, 0, 1e300, -0.0}));
    put("zarrow", "nlhs0", call(2, 0).values(1, 1, {1}).values(1, 1, {1}));
    put("zarrow", "nlhs2", call(2, 2).values(1, 1, {1}).values(1, 1, {1}));
}

void tessaly() {
    common("tessaly", 3);
    auto base = [](double u) {
        return call().values(2, 1, {3, -5}).values(2, 2, {1, 0, 0.5, 1}).values(1, 1, {u});
    };
    put("tessaly", "ok_u3", base(3));
    put("tessaly", "u_2p31", base(2147483648.0));
    put("tessaly", "u_max_int", base(2147483647.0));
    put("tessaly", "u_negative", base(-3));
    put("tessaly", "u_zero", base(-0.0));
    put("tessaly", "u_nan", base(nan));
    put("tessaly", "u_inf", base(-inf));
    put("tessaly", "u_half", base(2.5));
    put("tessaly", "empty_R", call().values(0, 0, {}).values(0, 0, {}).values(1, 1, {1}));
    put("tessaly", "nan_y",
        call().values(2, 1, {nan, 1}).values(2, 2, {1, 0, 0, 1}).values(1, 1, {7}));
}

void plinden() {
    common("plinden", 5);
    auto base = [](std::vector<double> y, double radius, double lb, double ub) {
        return call()
            .values(2, 1, y)
            .values(2, 2, {1, 0, 0.5, 1})
            .values(1, 1, {radius})
            .values(1, 1, {lb})
            .values(1, 1, {ub});
    };
    put("plinden", "ok", base({0.4, 1.6}, inf, -3, 3));
    put("plinden", "radius_small", base({0.4, 1.6}, 0.01, -3, 3));
    put("plinden", "radius_negative", base({0.4, 1.6}, -1, -3, 3));
    put("plinden", "radius_nan", base({0.4, 1.6}, nan, -3, 3));
    put("plinden", "box_empty", base({0.4, 1.6}, inf, 3, -3));
    put("plinden", "box_infinite", base({0.4, 1.6}, inf, -inf, inf));
    put("plinden", "beyond_2p51", base({1e20, 1}, inf, -inf, inf));
    put("plinden", "near_2p51", base({2251799813685247.5, 0}, inf, -inf, 2251799813685248.0));
    put("plinden", "y_nan", base({nan, 1}, inf, -1, 1));
    put("plinden", "lb_nan", base({0, 1}, inf, nan, 1));
    put("plinden", "n0",
        call()
            .values(0, 0, {})
            .values(0, 0, {})
            .values(1, 1, {1})
            .values(1, 1, {-1})
            .values(1, 1, {1}));
    put("plinden", "nlhs1",
        call(5, 1)
            .values(1, 1, {1})
            .values(1, 1, {1})
            .values(1, 1, {1})
            .values(1, 1, {-1})
            .values(1, 1, {1}));
    put("plinden", "denormal_diag",
        call()
            .values(2, 1, {1, 1})
            .values(2, 2, {5e-324, 0, 1, 1})
            .values(1, 1, {inf})
            .values(1, 1, {-2})
            .values(1, 1, {2}));
    put("plinden", "upper4",
        call(own, own, 4)
            .arg(th_class::real_double, dim_n(0), dim_abs(1), fill_mode::halves, {1, 2, 3, 4})
            .arg(th_class::real_double, dim_n(0), dim_n(0), fill_mode::upper,
                 {2, 1, 3, 5, 1, 4, 9, 3, 1, 2})
            .values(1, 1, {inf})
            .values(1, 1, {-8})
            .values(1, 1, {8}));
}

void quorvin() {
    common("quorvin", 3);
    put("quorvin", "ok_2",
        call().values(2, 2, {1, 0, 0, 1}).values(2, 2, {1, 0, 5, 1}).values(1, 1, {0.75}));
    put("quorvin", "ok_3x2",
        call().values(3, 2, {1, 0, 0, 0, 1, 0}).values(2, 2, {2, 0, 7, 0.5}).values(1, 1, {0.99}));
    put("quorvin", "delta_1",
        call().values(2, 2, {1, 0, 0, 1}).values(2, 2, {1, 0, 0.5, 1}).values(1, 1, {1}));
    put("quorvin", "delta_2",
        call().values(2, 2, {1, 0, 0, 1}).values(2, 2, {1, 0, 0.5, 1}).values(1, 1, {2}));
    put("quorvin", "delta_nan",
        call().values(2, 2, {1, 0, 0, 1}).values(2, 2, {1, 0, 0.5, 1}).values(1, 1, {nan}));
    put("quorvin", "delta_neg",
        call().values(2, 2, {1, 0, 0, 1}).values(2, 2, {1, 0, 3, 1}).values(1, 1, {-inf}));
    put("quorvin", "m_below_n",
        call().values(1, 2, {1, 1}).values(2, 2, {1, 0, 0, 1}).values(1, 1, {0.75}));
    put("quorvin", "n0", call().values(0, 0, {}).values(0, 0, {}).values(1, 1, {0.75}));
    put("quorvin", "m3_n0", call().values(3, 0, {}).values(0, 0, {}).values(1, 1, {0.75}));
    put("quorvin", "zero_R",
        call().values(2, 2, {1, 0, 0, 1}).values(2, 2, {0, 0, 0, 0}).values(1, 1, {0.75}));
    put("quorvin", "nan_R",
        call().values(2, 2, {1, 0, 0, 1}).values(2, 2, {nan, 0, 1, inf}).values(1, 1, {0.75}));
    put("quorvin", "huge_R",
        call()
            .values(2, 2, {1, 0, 0, 1})
            .values(2, 2, {1e300, 0, 1e-300, 1e300})
            .values(1, 1, {0.75}));
    put("quorvin", "upper5",
        call(own, own, 5)
            .arg(th_class::real_double, dim_n(0), dim_n(0), fill_mode::halves,
                 std::vector<std::uint8_t>(25, 3))
            .arg(th_class::real_double, dim_n(0), dim_n(0), fill_mode::upper,
                 {9, 7, 1, 5, 3, 2, 11, 4, 6, 8, 1, 2, 3, 4, 5})
            .values(1, 1, {0.75}));
}

void morrit() {
    common("morrit", 2);
    put("morrit", "ok", call().values(4, 1, {-1, 0.5, 1, -2}).values(1, 1, {1}));
    put("morrit", "row_x", call().values(1, 3, {-1, 0.5, 1}).values(1, 1, {1}));
    put("morrit", "x_0x1", call().values(0, 1, {}).values(1, 1, {1}));
    put("morrit", "x_3x0", call().values(3, 0, {}).values(1, 1, {1}));
    put("morrit", "bound_nan", call().values(3, 1, {-1, 0, 1}).values(1, 1, {nan}));
    put("morrit", "bound_neg", call().values(3, 1, {-1, 0, 1}).values(1, 1, {-1}));
    put("morrit", "bound_inf", call().values(3, 1, {-inf, nan, inf}).values(1, 1, {inf}));
    put("morrit", "bound_zero", call().values(3, 1, {-0.0, 0, 5e-324}).values(1, 1, {0}));
    put("morrit", "extra_args",
        call(4, 1).values(2, 1, {1, 2}).values(1, 1, {1}).values(1, 1, {1}).values(0, 0, {}));
    put("morrit", "nlhs2", call(2, 2).values(2, 1, {1, 2}).values(1, 1, {1}));
}

void kelvane() {
    common("kelvane", 5);
    auto one = [](double y, double u, std::vector<double> index_set, double use_start,
                  int nlhs = 4) {
        return call(own, nlhs)
            .values(1, 1, {y})
            .values(1, 1, {1})
            .values(1, 1, {u})
            .values(index_set.size(), 1, index_set)
            .values(1, 1, {use_start});
    };
    put("kelvane", "cold_y3", one(3, 1, {0, 0, 0}, 0));
    put("kelvane", "cold_half", one(0.5, 1, {0, 0, 0}, 0));
    put("kelvane", "cold_minus3", one(-3, 1, {0, 0, 0}, 0));
    put("kelvane", "warm_free", one(3, 1, {0, 1, 0}, 1));
    put("kelvane", "warm_count_minus1", one(3, 1, {0, 1, -1}, 1));
    put("kelvane", "use_start_07", one(3, 1, {0, 1, 0}, 0.7));
    put("kelvane", "use_start_m1", one(3, 1, {0, -1, 1}, -1));
    put("kelvane", "u_zero", one(3, 0, {0, 0, 0}, 0));
    put("kelvane", "u_huge", one(3, 1e300, {0, 0, 0}, 0));
    put("kelvane", "nlhs0", one(3, 1, {0, 0, 0}, 0, 0));
    put("kelvane", "nlhs1", one(3, 1, {0, 0, 0}, 0, 1));
    put("kelvane", "nlhs2", one(3, 1, {0, 0, 0}, 0, 2));
    put("kelvane", "nlhs5", one(3, 1, {0, 0, 0}, 0, 5));
    put("kelvane", "R_2x3",
        call()
            .values(2, 1, {1, 1})
            .values(2, 3, {1, 0, 0, 1, 0, 0})
            .values(1, 1, {1})
            .values(5, 1, {0, 0, 0, 0, 0})
            .values(1, 1, {0}));
    put("kelvane", "n0",
        call()
            .values(0, 0, {})
            .values(0, 0, {})
            .values(1, 1, {1})
            .values(2, 1, {0, 0})
            .values(1, 1, {0}));
    put("kelvane", "warm_2",
        call()
            .values(2, 1, {3, -1})
            .values(2, 2, {1, 0, 0.5, 2})
            .values(1, 1, {1})
            .values(4, 1, {0, -2, 1, 1})
            .values(1, 1, {1}));
    put("kelvane", "ill_conditioned",
        call()
            .values(2, 1, {1, 1})
            .values(2, 2, {1, 0, 1, 1e-300})
            .values(1, 1, {1e300})
            .values(4, 1, {0, 1, 2, 0})
            .values(1, 1, {1}));
    put("kelvane", "upper6",
        call(own, own, 6)
            .arg(th_class::real_double, dim_n(0), dim_abs(1), fill_mode::halves,
                 {9, 250, 3, 4, 77, 6})
            .arg(th_class::real_double, dim_n(0), dim_n(0), fill_mode::upper,
                 std::vector<std::uint8_t>(21, 5))
            .values(1, 1, {2})
            .arg(th_class::real_double, dim_n(2), dim_abs(1), fill_mode::zeros)
            .values(1, 1, {0}));
}

// The batch forms: the common cases, then frames of every channel layout (one channel, one
// per column, block fading), empty frames, and shapes the checks must refuse.
void zarrow_batch() {
    common("zarrow_batch", 2);
    const std::vector<double> R2 = {1, 0, 0.5, 2};
    const std::vector<double> R2x3 = {1, 0, 0.5, 2, -1, 0, 3, 0.5, 2, 0, -1, -1};
    const std::vector<double> Y23 = {1, 2, -0.5, 3.5, 7, -2};
    put("zarrow_batch", "one_channel", call().values(2, 3, Y23).values(2, 2, R2));
    put("zarrow_batch", "per_column", call().values(2, 3, Y23).values(2, 2, 3, R2x3));
    put("zarrow_batch", "block_fading",
        call().values(2, 6, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}).values(2, 2, 3, R2x3));
    put("zarrow_batch", "K0", call().values(2, 0, {}).values(2, 2, R2));
    put("zarrow_batch", "K0_pages", call().values(2, 0, {}).values(2, 2, 3, R2x3));
    put("zarrow_batch", "n0", call().values(0, 3, {}).values(0, 0, 3, {}));
    put("zarrow_batch", "R_no_pages", call().values(2, 0, {}).values(2, 2, 0, {}));
    put("zarrow_batch", "K_not_multiple", call().values(2, 3, Y23).values(2, 2, 2, R2x3));
    put("zarrow_batch", "Y_pages", call().values(2, 1, 3, Y23).values(2, 2, 3, R2x3));
    put("zarrow_batch", "R_pages_not_square", call().values(2, 2, {}).values(2, 3, 2, R2x3));
    put("zarrow_batch", "Y_rows", call().values(3, 2, Y23).values(2, 2, R2));
    put("zarrow_batch", "nan_inf",
        call().values(2, 3, {nan, inf, -inf, 1, 1e300, 5e-324}).values(2, 2, 3, R2x3));
    put("zarrow_batch", "upper8",
        call(own, own, 8)
            .arg(th_class::real_double, dim_n(0), dim_abs(12), dim_abs(1), fill_mode::halves,
                 std::vector<std::uint8_t>(96, 7))
            .arg(th_class::real_double, dim_n(0), dim_n(0), dim_abs(4), fill_mode::upper,
                 std::vector<std::uint8_t>(144, 3)));
    put("zarrow_batch", "nlhs0", call(2, 0).values(1, 2, {1, 2}).values(1, 1, {1}));
    put("zarrow_batch", "nlhs2", call(2, 2).values(1, 2, {1, 2}).values(1, 1, {1}));
}

void tessaly_batch() {
    common("tessaly_batch", 3);
    const std::vector<double> R2x2 = {1, 0, 0.5, 1, -2, 0, 1, 0.5};
    auto base = [&](double u) {
        return call()
            .values(2, 4, {3, -5, 1, 1, 0.5, 9, -7, 2})
            .values(2, 2, 2, R2x2)
            .values(1, 1, {u});
    };
    put("tessaly_batch", "ok_u3", base(3));
    put("tessaly_batch", "u_2p31", base(2147483648.0));
    put("tessaly_batch", "u_max_int", base(2147483647.0));
    put("tessaly_batch", "u_negative", base(-3));
    put("tessaly_batch", "u_nan", base(nan));
    put("tessaly_batch", "u_half", base(2.5));
    put("tessaly_batch", "u_vector",
        call().values(2, 2, {3, -5, 1, 1}).values(2, 2, R2x2).values(1, 2, {1, 7}));
    put("tessaly_batch", "per_column",
        call().values(2, 2, {3, -5, 1, 1}).values(2, 2, 2, R2x2).values(1, 1, {5}));
    put("tessaly_batch", "K0", call().values(2, 0, {}).values(2, 2, 2, R2x2).values(1, 1, {1}));
    put("tessaly_batch", "n0", call().values(0, 2, {}).values(0, 0, {}).values(1, 1, {1}));
    put("tessaly_batch", "K_not_multiple",
        call().values(2, 3, {1, 2, 3, 4, 5, 6}).values(2, 2, 2, R2x2).values(1, 1, {1}));
    put("tessaly_batch", "nan_y",
        call().values(2, 2, {nan, 1, inf, 2}).values(2, 2, {1, 0, 0, 1}).values(1, 1, {7}));
}

void plinden_batch() {
    common("plinden_batch", 5);
    const std::vector<double> R2 = {1, 0, 0.5, 1};
    const std::vector<double> R2x2 = {1, 0, 0.5, 1, -2, 0, 1, 0.5};
    const std::vector<double> Y23 = {0.4, 1.6, -3, 2.5, 7, -1};
    auto base = [&](const std::vector<double>& R, std::size_t P, std::vector<double> radius,
                    double lb, double ub, std::vector<double> Y = {}) {
        return call()
            .values(2, Y.empty() ? 3 : Y.size() / 2, Y.empty() ? Y23 : Y)
            .values(2, 2, P, R)
            .values(1, radius.size(), radius)
            .values(1, 1, {lb})
            .values(1, 1, {ub});
    };
    put("plinden_batch", "ok", base(R2, 1, {inf}, -3, 3));
    put("plinden_batch", "per_column_R", base(R2x2, 2, {inf}, -3, 3, {0.4, 1.6, -3, 2.5}));
    put("plinden_batch", "radius_per_column", base(R2, 1, {inf, 0.01, -1}, -3, 3));
    put("plinden_batch", "radius_nan_column", base(R2, 1, {inf, nan, 1}, -3, 3));
    put("plinden_batch", "radius_count", base(R2, 1, {1, 2}, -3, 3));
    put("plinden_batch", "box_empty", base(R2, 1, {inf}, 3, -3));
    put("plinden_batch", "box_infinite", base(R2, 1, {inf}, -inf, inf));
    put("plinden_batch", "lb_nan", base(R2, 1, {inf}, nan, 1));
    put("plinden_batch", "beyond_2p51_column", base(R2, 1, {inf}, -inf, inf, {1e20, 1, 0.5, 0.5}));
    put("plinden_batch", "near_2p51",
        base(R2, 1, {inf}, -inf, 2251799813685248.0, {2251799813685247.5, 0, 1, 1}));
    put("plinden_batch", "Y_column_nan", base(R2, 1, {inf}, -1, 1, {1, 1, nan, 0}));
    put("plinden_batch", "R_page_nan",
        base({1, 0, 0.5, 1, nan, 0, 1, 1}, 2, {inf}, -1, 1, {1, 2, 3, 4}));
    put("plinden_batch", "R_page_zero_diagonal",
        base({1, 0, 0.5, 1, 1, 0, 1, 0}, 2, {inf}, -1, 1, {1, 2, 3, 4}));
    put("plinden_batch", "K_not_multiple", base(R2x2, 2, {inf}, -1, 1));
    put("plinden_batch", "K0",
        call()
            .values(2, 0, {})
            .values(2, 2, 2, R2x2)
            .values(1, 1, {1})
            .values(1, 1, {-1})
            .values(1, 1, {1}));
    put("plinden_batch", "n0",
        call()
            .values(0, 3, {})
            .values(0, 0, {})
            .values(1, 1, {1})
            .values(1, 1, {-1})
            .values(1, 1, {1}));
    put("plinden_batch", "denormal_diagonal",
        base({5e-324, 0, 1, 1}, 1, {inf}, -2, 2, {1, 1, 0.5, 0.5}));
    put("plinden_batch", "upper4",
        call(own, own, 4)
            .arg(th_class::real_double, dim_n(0), dim_abs(6), dim_abs(1), fill_mode::halves,
                 {1, 2, 3, 4, 9, 250, 7, 5, 3, 1, 0, 4, 8, 16, 2, 6, 1, 1, 5, 3, 2, 2, 7, 1})
            .arg(th_class::real_double, dim_n(0), dim_n(0), dim_abs(3), fill_mode::upper,
                 {2, 1, 3, 5, 1, 4, 9, 3, 1, 2, 4, 4, 6, 1, 2,
                  3, 7, 9, 1, 8, 5, 3, 2, 2, 6, 1, 3, 2, 5, 4})
            .values(1, 1, {inf})
            .values(1, 1, {-8})
            .values(1, 1, {8}));
}

void plinden_llr() {
    common("plinden_llr", 5);
    const std::vector<double> R2 = {1, 0, 0.5, 1};
    const std::vector<double> R2x2 = {1, 0, 0.5, 1, -2, 0, 1, 0.5};
    const std::vector<double> Y23 = {0.4, 1.6, -3, 2.5, 7, -1};
    auto base = [&](const std::vector<double>& R, std::size_t P, std::vector<double> M,
                    std::vector<double> N0, double clip, std::vector<double> Y = {}) {
        return call()
            .values(2, Y.empty() ? 3 : Y.size() / 2, Y.empty() ? Y23 : Y)
            .values(2, 2, P, R)
            .values(1, M.size(), M)
            .values(1, N0.size(), N0)
            .values(1, 1, {clip});
    };
    put("plinden_llr", "ok", base(R2, 1, {4}, {1}, inf));
    put("plinden_llr", "clip0", base(R2, 1, {8}, {0.5}, 0));
    put("plinden_llr", "clip2_mixed", base(R2, 1, {2, 16}, {0.1}, 2));
    put("plinden_llr", "per_column_R", base(R2x2, 2, {4}, {1, 2}, 8, {0.4, 1.6, -3, 2.5}));
    put("plinden_llr", "N0_per_column", base(R2, 1, {4}, {1, 0.01, 3}, 4));
    put("plinden_llr", "N0_zero_column", base(R2, 1, {4}, {1, 0, 3}, 4));
    put("plinden_llr", "M_not_power", base(R2, 1, {6}, {1}, 4));
    put("plinden_llr", "M_too_large", base(R2, 1, {131072}, {1}, 4));
    put("plinden_llr", "M_element", base(R2, 1, {4, 3}, {1}, 4));
    put("plinden_llr", "clip_nan", base(R2, 1, {4}, {1}, nan));
    put("plinden_llr", "clip_negative", base(R2, 1, {4}, {1}, -1));
    put("plinden_llr", "far_y", base(R2, 1, {4}, {1}, 8, {1e6, -1e6, 1e150, 1e150}));
    put("plinden_llr", "priors",
        base(R2, 1, {4}, {1}, 3).values(4, 3, {1, -2, 0.5, 9, -30, 0, 0, 0, 2, 2, -2, 1}));
    put("plinden_llr", "priors_empty", base(R2, 1, {4}, {1}, 3).values(0, 0, {}));
    put("plinden_llr", "priors_size",
        base(R2, 1, {4}, {1}, 3).values(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    put("plinden_llr", "priors_nan",
        base(R2, 1, {4}, {1}, 3).values(4, 3, {1, 2, 3, 4, 5, 6, 7, nan, 9, 0, 0, 0}));
    put("plinden_llr", "Y_column_nan", base(R2, 1, {4}, {1}, 3, {1, 1, nan, 0}));
    put("plinden_llr", "R_page_zero_diagonal",
        base({1, 0, 0.5, 1, 1, 0, 1, 0}, 2, {4}, {1}, 2, {1, 2, 3, 4}));
    put("plinden_llr", "K0",
        call()
            .values(2, 0, {})
            .values(2, 2, 2, R2x2)
            .values(1, 1, {4})
            .values(1, 1, {1})
            .values(1, 1, {1}));
    put("plinden_llr", "n0",
        call().values(0, 3, {}).values(0, 0, {}).values(1, 1, {4}).values(1, 1, {1}).values(1, 1,
                                                                                            {1}));
    put("plinden_llr", "upper4",
        call(own, own, 4)
            .arg(th_class::real_double, dim_n(0), dim_abs(6), dim_abs(1), fill_mode::halves,
                 {1, 2, 3, 4, 9, 250, 7, 5, 3, 1, 0, 4, 8, 16, 2, 6, 1, 1, 5, 3, 2, 2, 7, 1})
            .arg(th_class::real_double, dim_n(0), dim_n(0), dim_abs(3), fill_mode::upper,
                 {2, 1, 3, 5, 1, 4, 9, 3, 1, 2, 4, 4, 6, 1, 2,
                  3, 7, 9, 1, 8, 5, 3, 2, 2, 6, 1, 3, 2, 5, 4})
            .values(1, 1, {4})
            .values(1, 1, {0.7})
            .values(1, 1, {8}));
}

void morrit_batch() {
    common("morrit_batch", 2);
    put("morrit_batch", "ok",
        call().values(4, 3, {-1, 0.5, 1, -2, 1, 1, 1, 1, 0, -0.0, 2, nan}).values(1, 1, {1}));
    put("morrit_batch", "one_column", call().values(3, 1, {-1, 0.5, 1}).values(1, 1, {1}));
    put("morrit_batch", "row", call().values(1, 3, {-1, 0.5, 1}).values(1, 1, {1}));
    put("morrit_batch", "X_0x3", call().values(0, 3, {}).values(1, 1, {1}));
    put("morrit_batch", "X_3x0", call().values(3, 0, {}).values(1, 1, {1}));
    put("morrit_batch", "X_pages", call().values(2, 2, 2, {1, 2, 3, 4}).values(1, 1, {1}));
    put("morrit_batch", "bound_nan", call().values(3, 2, {-1, 0, 1, 1, 1, 1}).values(1, 1, {nan}));
    put("morrit_batch", "bound_neg", call().values(3, 2, {-1, 0, 1, 1, 1, 1}).values(1, 1, {-1}));
    put("morrit_batch", "bound_inf",
        call().values(3, 2, {-inf, nan, inf, 1, 2, 3}).values(1, 1, {inf}));
    put("morrit_batch", "bound_vector", call().values(2, 2, {1, 2, 3, 4}).values(1, 2, {1, 3}));
    put("morrit_batch", "extra_args",
        call(4, 1).values(2, 2, {1, 2, 3, 4}).values(1, 1, {1}).values(1, 1, {1}).values(0, 0, {}));
    put("morrit_batch", "nlhs2", call(2, 2).values(2, 1, {1, 2}).values(1, 1, {1}));
    put("morrit_batch", "wide",
        call(own, own, 8)
            .arg(th_class::real_double, dim_n(0), dim_abs(12), dim_abs(1), fill_mode::halves,
                 std::vector<std::uint8_t>(96, 2))
            .values(1, 1, {1}));
}

void quorvin_batch() {
    common("quorvin_batch", 3);
    const std::vector<double> I2x3 = {1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1};
    const std::vector<double> R2x3 = {1, 0, 5, 1, 2, 0, 7, 0.5, 1, 0, 0.5, 1};
    put("quorvin_batch", "ok_pages",
        call().values(2, 2, 3, I2x3).values(2, 2, 3, R2x3).values(1, 1, {0.75}));
    put("quorvin_batch", "ok_matrix",
        call().values(3, 2, {1, 0, 0, 0, 1, 0}).values(2, 2, {2, 0, 7, 0.5}).values(1, 1, {0.99}));
    put("quorvin_batch", "tall_pages",
        call()
            .values(3, 2, 2, {1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1})
            .values(2, 2, 2, {2, 0, 7, 0.5, 1, 0, 3, 1})
            .values(1, 1, {0.75}));
    put("quorvin_batch", "pages_differ",
        call().values(2, 2, 3, I2x3).values(2, 2, 2, R2x3).values(1, 1, {0.75}));
    put("quorvin_batch", "R_matrix_Q_pages",
        call().values(2, 2, 3, I2x3).values(2, 2, R2x3).values(1, 1, {0.75}));
    put("quorvin_batch", "m_below_n",
        call().values(1, 2, 2, {1, 1, 1, 1}).values(2, 2, 2, R2x3).values(1, 1, {0.75}));
    put("quorvin_batch", "no_pages",
        call().values(2, 2, 0, {}).values(2, 2, 0, {}).values(1, 1, {0.75}));
    put("quorvin_batch", "n0", call().values(0, 0, 3, {}).values(0, 0, 3, {}).values(1, 1, {1}));
    put("quorvin_batch", "delta_1",
        call().values(2, 2, 3, I2x3).values(2, 2, 3, R2x3).values(1, 1, {1}));
    put("quorvin_batch", "delta_2",
        call().values(2, 2, 3, I2x3).values(2, 2, 3, R2x3).values(1, 1, {2}));
    put("quorvin_batch", "delta_nan",
        call().values(2, 2, 3, I2x3).values(2, 2, 3, R2x3).values(1, 1, {nan}));
    put("quorvin_batch", "nan_huge_pages",
        call()
            .values(2, 2, 3, I2x3)
            .values(2, 2, 3, {nan, 0, 1, inf, 1e300, 0, 1e-300, 1e300, 0, 0, 0, 0})
            .values(1, 1, {0.75}));
    put("quorvin_batch", "upper6",
        call(own, own, 6)
            .arg(th_class::real_double, dim_n(0), dim_n(0), dim_abs(4), fill_mode::halves,
                 std::vector<std::uint8_t>(144, 3))
            .arg(th_class::real_double, dim_n(0), dim_n(0), dim_abs(4), fill_mode::upper,
                 std::vector<std::uint8_t>(84, 9))
            .values(1, 1, {0.75}));
}

void kelvane_batch() {
    common("kelvane_batch", 5);
    const std::vector<double> R2 = {1, 0, 0.5, 2};
    const std::vector<double> R2x2 = {1, 0, 0.5, 2, -1, 0, 1, 0.5};
    const std::vector<double> Y24 = {3, -1, 0.5, 0.25, -3, 4, 1, 1};
    auto frame = [&](const std::vector<double>& R, std::size_t P, std::vector<double> starts,
                     std::size_t start_cols, std::vector<double> use, int nlhs = own) {
        return call(own, nlhs)
            .values(2, 4, Y24)
            .values(2, 2, P, R)
            .values(1, 1, {1})
            .values(4, start_cols, starts)
            .values(1, use.size(), use);
    };
    put("kelvane_batch", "cold", frame(R2, 1, {0, 0, 0, 0}, 1, {0}));
    put("kelvane_batch", "cold_pages", frame(R2x2, 2, {0, 0, 0, 0}, 1, {0}));
    put("kelvane_batch", "warm_shared", frame(R2x2, 2, {0, -2, 1, 1}, 1, {1}));
    put("kelvane_batch", "warm_per_column",
        frame(R2, 1, {0, -2, 1, 1, 0, 1, 2, 0, 0, 2, 1, 0, 0, 1, 2, 2}, 4, {1, 0, 1, -1}));
    put("kelvane_batch", "use_start_per_column",
        frame(R2x2, 2, {0, 1, 2, 0}, 1, {0, 0.7, 1, -1.5}));
    put("kelvane_batch", "use_start_nan", frame(R2, 1, {0, 1, 2, 0}, 1, {0, nan, 1, 1}));
    put("kelvane_batch", "use_start_count", frame(R2, 1, {0, 1, 2, 0}, 1, {0, 1}));
    put("kelvane_batch", "index_set_column_bad",
        frame(R2, 1, {0, 1, 2, 0, 0, 1, 1, 0, 0, 1, 2, 0, 0, 1, 2, 0}, 4, {1}));
    put("kelvane_batch", "index_set_count_negative",
        frame(R2, 1, {0, 1, 2, 0, 0, 1, 2, -1, 0, 1, 2, 0, 0, 1, 2, 0}, 4, {1}));
    put("kelvane_batch", "index_sets_3_columns",
        frame(R2, 1, {0, 1, 2, 0, 0, 1, 2, 0, 0, 1, 2, 0}, 3, {1}));
    put("kelvane_batch", "R_page_nan",
        frame({1, 0, 0.5, 2, nan, 0, 1, 1}, 2, {0, 0, 0, 0}, 1, {0}));
    put("kelvane_batch", "R_page_below",
        frame({1, 0, 0.5, 2, 1, 3, 0, 1}, 2, {0, 0, 0, 0}, 1, {0}));
    put("kelvane_batch", "R_page_zero_diagonal",
        frame({1, 0, 0.5, 2, 0, 0, 1, 1}, 2, {0, 0, 0, 0}, 1, {0}));
    for (int nlhs : {0, 1, 2, 4}) {
        put("kelvane_batch", "nlhs" + std::to_string(nlhs),
            frame(R2, 1, {0, 0, 0, 0}, 1, {0}, nlhs));
    }
    put("kelvane_batch", "Y_column_nan",
        call()
            .values(2, 3, {1, 1, nan, 2, 3, 3})
            .values(2, 2, R2)
            .values(1, 1, {1})
            .values(4, 1, {0, 0, 0, 0})
            .values(1, 1, {0}));
    // a column whose free-set Gram matrix breaks down next to ordinary ones
    put("kelvane_batch", "ill_conditioned_column",
        call()
            .values(2, 2, {1, 1, 1, -1})
            .values(2, 2, 2, {1, 0, 1, 1e-300, 1, 0, 0.5, 2})
            .values(1, 1, {1e300})
            .values(4, 1, {0, 1, 2, 0})
            .values(1, 1, {1}));
    put("kelvane_batch", "u_negative",
        call()
            .values(2, 1, {1, 1})
            .values(2, 2, R2)
            .values(1, 1, {-1})
            .values(4, 1, {0, 0, 0, 0})
            .values(1, 1, {0}));
    put("kelvane_batch", "K0",
        call()
            .values(2, 0, {})
            .values(2, 2, 2, R2x2)
            .values(1, 1, {1})
            .values(4, 0, {})
            .values(1, 1, {1}));
    put("kelvane_batch", "n0",
        call()
            .values(0, 3, {})
            .values(0, 0, {})
            .values(1, 1, {1})
            .values(2, 1, {0, 0})
            .values(1, 1, {0}));
    put("kelvane_batch", "upper6",
        call(own, own, 6)
            .arg(th_class::real_double, dim_n(0), dim_abs(6), dim_abs(1), fill_mode::halves,
                 std::vector<std::uint8_t>(36, 9))
            .arg(th_class::real_double, dim_n(0), dim_n(0), dim_abs(3), fill_mode::upper,
                 std::vector<std::uint8_t>(63, 5))
            .values(1, 1, {2})
            .arg(th_class::real_double, dim_n(2), dim_abs(1), fill_mode::zeros)
            .values(1, 1, {0}));
}

// conv_encode and conv_decode: eight bytes of code (fuzz/fuzz_conv.h) in front of the call.
void put_code(const std::string& fn, const std::string& name, std::vector<std::uint8_t> code,
              const fuzz_encoder& e) {
    code.insert(code.end(), e.bytes().begin(), e.bytes().end());
    const std::string dir = root + "/" + fn;
    mkdir(root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(code.data(), 1, code.size(), f);
    std::fclose(f);
    ++written;
}

// K = 3 (7,5); K = 7 recursive (171 over 133); K = 9 rate 1/3 feedforward
const std::vector<std::uint8_t> code75{1, 1, 7, 5, 0, 0, 0x11, 1};
const std::vector<std::uint8_t> rsc7{5, 3, 121, 0, 91, 0, 0x11, 1};
const std::vector<std::uint8_t> k9{7, 2, 113, 235, 201, 0, 0x11, 1};

std::vector<std::uint8_t> with(std::vector<std::uint8_t> c, int at, std::uint8_t v) {
    c[at] = v;
    return c;
}

void conv_encode() {
    auto bits = [](std::size_t k, std::size_t F) {
        std::vector<double> v(k * F);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>((i * 7 + 3) % 5 > 1);
        return v;
    };
    put_code("conv_encode", "ok_75", code75, call(own, own).values(4, 2, bits(4, 2)));
    put_code("conv_encode", "ok_rsc7", rsc7, call(own, own).values(9, 3, bits(9, 3)));
    put_code("conv_encode", "ok_k9", k9, call(own, own).values(5, 1, bits(5, 1)));
    put_code("conv_encode", "unterminated", with(code75, 6, 0x10),
             call(own, own).values(6, 2, bits(6, 2)));
    put_code("conv_encode", "empty", code75, call(own, own).values(0, 3, {}));
    put_code("conv_encode", "not_bits", code75, call(own, own).values(2, 2, {0, 1, 2, 1}));
    for (int edit = 4; edit < 8; ++edit) {
        put_code("conv_encode", "edited_" + std::to_string(edit),
                 with(code75, 5, static_cast<std::uint8_t>(edit)),
                 call(own, own).values(3, 1, {1, 0, 1}));
    }
    put_code("conv_encode", "G_zero", with(code75, 3, 0xF0),
             call(own, own).values(3, 1, {1, 0, 1}));
    put_code("conv_encode", "F_raw", with(with(rsc7, 1, 6), 4, 2),
             call(own, own).values(3, 1, {1, 0, 1}));
    put_code("conv_encode", "bad_option", with(code75, 6, 0x20),
             call(own, own).values(3, 1, {1, 0, 1}));
}

void conv_decode() {
    auto llrs = [](std::size_t m, std::size_t F) {
        std::vector<double> v(m * F);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<double>(static_cast<int>((i * 37) % 17) - 8) / 3.0;
        return v;
    };
    batch_threads = 1;
    for (std::uint8_t options : {0x11, 0x13, 0x15, 0x19, 0x1F, 0x10, 0x08, 0x1B}) {
        put_code("conv_decode", "k3_options_" + std::to_string(options), with(code75, 6, options),
                 call(own, own).values(12, 2, llrs(12, 2)).values(4, 2, llrs(4, 2)));
    }
    put_code("conv_decode", "rsc7_prior", with(rsc7, 6, 0x19),
             call(own, own).values(2 * 12, 2, llrs(24, 2)).values(6, 2, llrs(6, 2)));
    put_code("conv_decode", "k9", k9,
             call(own, own).values(3 * 12, 1, llrs(36, 1)).values(4, 1, llrs(4, 1)));
    put_code(
        "conv_decode", "known_bits", with(code75, 6, 0x19),
        call(own, own).values(8, 1, {inf, -inf, 1, 2, inf, inf, -3, 0}).values(2, 1, {-inf, 1}));
    put_code("conv_decode", "nan", code75,
             call(own, own).values(6, 1, {1, nan, 1, 1, 1, 1}).values(1, 1, {0}));
    put_code(
        "conv_decode", "huge", with(code75, 6, 0x15),
        call(own, own).values(6, 1, {1e300, -1e300, 1e308, 5e-324, -0.0, 700}).values(1, 1, {0}));
    put_code("conv_decode", "wrong_length", code75,
             call(own, own).values(7, 1, llrs(7, 1)).values(1, 1, {0}));
    put_code("conv_decode", "prior_size", with(code75, 6, 0x19),
             call(own, own).values(12, 2, llrs(12, 2)).values(3, 2, llrs(3, 2)));
    for (int edit = 4; edit < 8; ++edit) {
        put_code("conv_decode", "edited_" + std::to_string(edit),
                 with(code75, 5, static_cast<std::uint8_t>(edit)),
                 call(own, own).values(6, 1, llrs(6, 1)).values(1, 1, {0}));
    }
    put_code("conv_decode", "bad_method", with(code75, 6, 0x51),
             call(own, own).values(6, 1, llrs(6, 1)).values(1, 1, {0}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_corpus <dir>\n");
        return 2;
    }
    root = argv[1];
    zarrow();
    tessaly();
    plinden();
    quorvin();
    morrit();
    kelvane();
    // the batch forms' seeds start at one thread each
    for (void (*seeds)() : {zarrow_batch, tessaly_batch, plinden_batch, quorvin_batch, morrit_batch,
                            kelvane_batch, plinden_llr}) {
        batch_threads = 1;
        seeds();
    }
    batch_threads = 0;
    conv_encode();
    conv_decode();
    std::printf("%d seeds written under %s\n", written, root.c_str());
    return 0;
}
