// SPDX-License-Identifier: BSD-3-Clause
// The constellation analysis (see constellation.h).
#include "channel/constellation.h"

#include <cmath>

namespace {

// The grid position 0 .. side-1 of v on the line center + half_step*(2a - (side-1)), or -1
// when v is not on it (within tol).
int grid_position(double v, double center, double half_step, int side, double tol) {
    const double a = std::floor(((v - center) / half_step + (side - 1)) * 0.5 + 0.5);
    if (!(a >= 0.0 && a < side)) return -1;
    const double on = center + half_step * (2.0 * a - (side - 1));
    return std::fabs(v - on) <= tol ? static_cast<int>(a) : -1;
}

}  // namespace

void analyse_constellation(const double* points, int M, const std::uint32_t* labels, int bits,
                           bool complex_model, constellation_grid* g) {
    *g = constellation_grid{};
    const int dims = complex_model ? 2 : 1;
    const int side_bits = bits / dims;
    if (side_bits * dims != bits) return;
    const int side = 1 << side_bits;
    double lo_re = points[0], hi_re = points[0], lo_im = points[1], hi_im = points[1];
    double scale = 0.0;
    for (int m = 0; m < M; ++m) {
        const double re = points[2 * m], im = points[2 * m + 1];
        lo_re = std::fmin(lo_re, re);
        hi_re = std::fmax(hi_re, re);
        lo_im = std::fmin(lo_im, im);
        hi_im = std::fmax(hi_im, im);
        scale = std::fmax(scale, std::fmax(std::fabs(re), std::fabs(im)));
    }
    const double half_step = (hi_re - lo_re) / (2.0 * (side - 1));
    if (!(half_step > 0.0)) return;
    const double tol = 1e-9 * scale;
    double center_im = 0.0;
    if (dims == 2) {
        const double half_im = (hi_im - lo_im) / (2.0 * (side - 1));
        if (std::fabs(half_im - half_step) > tol) return;
        center_im = (hi_im + lo_im) * 0.5;
    }
    g->center_re = (hi_re + lo_re) * 0.5;
    g->center_im = center_im;
    g->half_step = half_step;
    g->dims = dims;
    g->side = side;
    g->side_bits = side_bits;
    bool filled[256] = {};
    for (int m = 0; m < M; ++m) {
        const int a = grid_position(points[2 * m], g->center_re, half_step, side, tol);
        const int b =
            dims == 2 ? grid_position(points[2 * m + 1], center_im, half_step, side, tol) : 0;
        if (a < 0 || b < 0 || filled[a + side * b]) return;
        filled[a + side * b] = true;
        g->point_at[a + side * b] = m;
    }
    g->grid = true;

    // Which label bits follow the real part alone, which the imaginary part alone.
    const int rows = dims == 2 ? side : 1;  // values of the imaginary part
    auto bit_at = [&](int a, int b, int c) {
        return label_bit(labels[g->point_at[a + side * b]], bits, c);
    };
    int n_re = 0, n_im = 0;
    for (int c = 0; c < bits; ++c) {
        bool re_only = true, im_only = dims == 2;
        for (int b = 0; b < rows; ++b) {
            for (int a = 0; a < side; ++a) {
                if (bit_at(a, b, c) != bit_at(a, 0, c)) re_only = false;
                if (bit_at(a, b, c) != bit_at(0, b, c)) im_only = false;
            }
        }
        if (re_only && !im_only && n_re < side_bits) {
            g->bit_re[n_re++] = c;
        } else if (im_only && !re_only && n_im < side_bits) {
            g->bit_im[n_im++] = c;
        } else {
            return;  // a bit of both parts (or of neither): no separable labels
        }
    }
    if (n_re != side_bits || n_im != (dims == 2 ? side_bits : 0)) return;
    for (int a = 0; a < side; ++a) {
        std::uint32_t l_re = 0, l_im = 0;
        for (int j = 0; j < side_bits; ++j) {
            l_re = (l_re << 1) | bit_at(a, 0, g->bit_re[j]);
            if (dims == 2) l_im = (l_im << 1) | bit_at(0, a, g->bit_im[j]);
        }
        g->labels_re[a] = l_re;
        g->labels_im[a] = l_im;
    }
    g->separable = true;
}
