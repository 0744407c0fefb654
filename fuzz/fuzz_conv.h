// SPDX-License-Identifier: BSD-3-Clause
// What the harnesses of conv_encode and conv_decode share: a code struct made from the first
// eight bytes of an input, valid or edited in one of the ways a user could, and its
// polynomials for the references.
//
//   byte 0   K = 2 + b % 8
//   byte 1   generators 1 + b % 3; feedback (b / 3) % 3: none, valid (top and bottom taps
//            set), raw (maybe invalid)
//   bytes 2-4 the generators (taps below 2^K when b < 0xF0, else b itself: maybe too wide or 0)
//   byte 5   b % 8: 0-3 the struct as conv_code makes it, 4 one next state changed, 5 one
//            output changed, 6 no field next, 7 K = 2.5
//   byte 6   options: bit 0 terminate, 1 'maxlog', 2 'extrinsic', 3 pass 'prior',
//            4 pass 'terminate', 5 an unknown option, 6 a bad 'method' value
//   byte 7   nlhs = 1 + b % 2
// The rest of the input is read by fuzz_decode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "code/trellis.h"
#include "fuzz/fuzz_input.h"
#include "tests/conv_reference.h"

struct fuzz_conv_code {
    th_array code;
    conv_polynomials polynomials;
    bool valid;  // conv_check_code passes and the struct is unedited
    conv_reference_code reference;
    std::uint8_t options;
    int nlhs;
};

// The decimal number whose digits are the octal digits of v (0b1011011 -> 133).
inline double fuzz_octal(std::uint32_t v) {
    double d = 0, place = 1;
    while (v != 0) {
        d += (v & 7u) * place;
        place *= 10;
        v >>= 3;
    }
    return d;
}

inline fuzz_conv_code fuzz_code_of(const std::uint8_t* data, std::size_t size) {
    std::uint8_t h[8] = {};
    for (std::size_t i = 0; i < 8 && i < size; ++i) h[i] = data[i];
    fuzz_conv_code c;
    conv_polynomials& p = c.polynomials;
    p = conv_polynomials{};
    p.K = 2 + h[0] % 8;
    p.generators = 1 + h[1] % 3;
    const std::uint32_t top = 1u << (p.K - 1), below = (1u << p.K) - 1;
    for (int j = 0; j < p.generators; ++j)
        p.G[j] =
            h[2 + j] >= 0xF0 ? h[2 + j] - 0xF0 + (j == 0 ? 0 : below) : (h[2 + j] & below) | top;
    const int feedback = (h[1] / 3) % 3;
    p.F = feedback == 0 ? 0 : feedback == 1 ? ((h[4] & below) | top | 1u) : h[4];
    int which = 0;
    c.valid = conv_check_code(p, &which) == conv_fault::none && h[5] % 8 < 4;
    c.reference =
        conv_reference_code{p.K, std::vector<std::uint32_t>(p.G, p.G + p.generators), p.F};
    c.options = h[6];
    c.nlhs = 1 + h[7] % 2;
    conv_trellis t{};
    const int S = 1 << (p.K - 1);
    std::vector<double> next(2 * S), outputs(2 * S), G(p.generators);
    for (int j = 0; j < p.generators; ++j) G[j] = fuzz_octal(p.G[j]);
    if (conv_check_code(p, &which) == conv_fault::none) {
        conv_build_trellis(p, &t);
        for (int b = 0; b < 2 * S; ++b) {
            std::uint32_t v = 0;
            for (int j = 0; j < t.n; ++j) v = (v << 1) | ((t.output[b] >> j) & 1u);
            next[b / 2 + t.input[b] * S] = t.next[b];
            outputs[b / 2 + t.input[b] * S] = v;
        }
    }
    if (h[5] % 8 == 4) next[h[2] % (2 * S)] += 1;
    if (h[5] % 8 == 5) outputs[h[3] % (2 * S)] += 1;
    std::vector<std::pair<std::string, th_array>> fields;
    fields.emplace_back("K", th_scalar(h[5] % 8 == 7 ? 2.5 : p.K));
    fields.emplace_back("G", th_matrix(1, G.size(), G));
    fields.emplace_back("F", th_scalar(fuzz_octal(p.F)));
    if (h[5] % 8 != 6) fields.emplace_back("next", th_matrix(S, 2, next));
    fields.emplace_back("outputs", th_matrix(S, 2, outputs));
    c.code = th_struct(std::move(fields));
    return c;
}
