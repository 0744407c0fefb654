// SPDX-License-Identifier: BSD-3-Clause
// Binary convolutional codes of rate 1/n: the trellis from the generator polynomials, and
// encoding with or without the tail that returns to state 0. Host-free: no allocation, no
// errors, no host calls.
//
// Polynomials are written in octal as usual ([133 171], [7 5]) and passed here as the
// binary values of those octal digits (octal 133 is 0b1011011). Bit K-1 (the most
// significant of K) taps the register's current input, bit 0 the oldest.
//
// The register holds w_t (the current input) and, as the state s, w_{t-1} .. w_{t-K+1}
// (w_{t-1} in bit K-2 of s, the oldest in bit 0). A feedforward code has w_t = u_t and emits
// one bit per generator, parity((w_t << (K-1) | s) & G_j), in the order of G. A recursive
// systematic code (feedback F, bits K-1 and 0 set) has w_t = u_t xor parity(s & F), emits u_t
// first and then one parity bit per generator of the same form. The next state is
// (w_t << (K-2)) | (s >> 1) in both; a tail step has w_t = 0 (so u_t = parity(s & F) for a
// recursive code, 0 for a feedforward one) and K-1 tail steps reach state 0 from any state.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int conv_min_K = 2;
constexpr int conv_max_K = 9;
constexpr int conv_max_outputs = 8;  // n, the code bits per step
constexpr int conv_max_states = 1 << (conv_max_K - 1);

// What is wrong with a code's parameters (conv_check_code).
enum class conv_fault {
    none,
    K_range,  // K not an integer in 2..9
    outputs,  // too many outputs (n > 8) or no generator
    G_zero,   // a generator is 0
    G_wide,   // a generator has a tap beyond K bits (>= 2^K)
    F_wide,   // F >= 2^K
    F_taps,   // F without bit K-1 or bit 0
};

// K, the generators and the feedback (0: a feedforward code) as binary values.
struct conv_polynomials {
    int K;
    int generators;  // count of G
    std::uint32_t G[conv_max_outputs];
    std::uint32_t F;
};

// The first fault of p (in the order above; `which` gets the 0-based generator of a G fault).
conv_fault conv_check_code(const conv_polynomials& p, int* which);

// The trellis of a code that passed conv_check_code. Branch b = 2*s + w leaves state s with
// register input w: next[b] is its next state, input[b] its info bit u, output[b] its n code
// bits (bit j of output[b] is output j, in the order they are sent).
struct conv_trellis {
    int K;
    int n;
    int states;  // 2^(K-1)
    bool recursive;
    std::int32_t next[2 * conv_max_states];
    std::uint8_t input[2 * conv_max_states];
    std::uint8_t output[2 * conv_max_states];
};

void conv_build_trellis(const conv_polynomials& p, conv_trellis* t);

// Code bits per frame of k info bits: n*(k + K - 1) terminated, n*k not. Returns 0 when
// that count does not fit in size_t (k + K - 1 steps each of n bits).
std::size_t conv_frame_bits(const conv_trellis& t, std::size_t k, bool terminated);

// Steps (trellis sections) of a frame of k info bits.
inline std::size_t conv_steps(const conv_trellis& t, std::size_t k, bool terminated) {
    return k + (terminated ? static_cast<std::size_t>(t.K - 1) : 0);
}

// Encodes k info bits u (each 0.0 or 1.0) from state 0 into c (conv_frame_bits doubles,
// 0.0 or 1.0, step after step, each step's n bits in order).
void conv_encode_frame(const conv_trellis& t, const double* u, std::size_t k, bool terminated,
                       double* c);
