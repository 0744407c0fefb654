// SPDX-License-Identifier: BSD-3-Clause
// Soft-in soft-out decoding of a convolutional code (BCJR) over its trellis: log-MAP with the
// exact Jacobian logarithm, or max-log. Host-free: caller-owned scratch, no errors.
//
// LLRs are L = ln P(b=0)/P(b=1) (positive means 0). The code-bit LLRs L are the channel's
// (they may be +-Inf: a known bit; never NaN), the priors La those of the info bits (+-Inf
// allowed too). A posterior output includes everything: the channel, every prior and the
// bit's own input; an extrinsic output leaves the bit's own input out (its prior for Lu,
// its channel LLR for Lc), computed without that term so that a known bit stays defined:
// for finite inputs extrinsic = posterior - (prior or L). When both hypotheses of a bit are
// impossible (known bits that no codeword matches) its LLR is 0, and a sum of +Inf and -Inf
// (a known bit's input against an extrinsic value that rules it out) is 0 too: the decoder
// never returns NaN.
#pragma once

#include <cstddef>

#include "code/trellis.h"
#include "core/interrupt_check.h"

enum class conv_method { logmap, maxlog };

struct conv_frame {
    const conv_trellis* trellis;
    std::size_t k;    // info bits
    bool terminated;  // starts in state 0 and ends there after K-1 tail steps; else ends anywhere
    conv_method method;
    bool extrinsic;    // extrinsic outputs, else posterior
    const double* L;   // conv_frame_bits(t, k, terminated) code-bit LLRs, step after step
    const double* La;  // k a-priori LLRs of the info bits, or null (none)
    double* Lu;        // k info-bit LLRs out, or null (not wanted)
    double* Lc;        // code-bit LLRs out, like L, or null (not wanted)
};

// Scratch doubles that conv_decode_frame needs for a frame of k info bits:
// (steps + 1) * states for the backward metrics and a few vectors. 0 when that exceeds 2^45
// doubles (2^48 bytes: no frame of that length can be decoded; a thread count times the
// bytes still fits in size_t).
std::size_t conv_decode_scratch(const conv_trellis& t, std::size_t k, bool terminated);

// Decodes one frame. Asks check (which may be null) every few thousand steps and returns
// false, with the outputs partly written, when it answers true; otherwise returns true.
//
// 'logmap' keeps its state metrics as scaled probabilities (products and sums, exact
// log-MAP) when the frame's inputs allow it: every input finite and the magnitudes
// of any 2K-1 consecutive steps' inputs summing to at most conv_linear_range, so that no
// metric that matters comes near the underflow of double (each term of a sum stays within
// a factor e^-700 of the largest). Other frames run in the log domain with
// max*(a,b) = max(a,b) + log1p(exp(-|a-b|)). 'maxlog' runs in the log domain with max.
// Frames with K >= 4 and Lu wanted (and no Lc, or for 'maxlog' Lc at rates down to 1/3) run
// four butterflies at a time in vectors (AVX2 where the processor has it), with results
// equal to the scalar loops' bit for bit: 'maxlog' when every prior is within 1000 in
// magnitude, 'logmap' on the scaled-probability path.
bool conv_decode_frame(const conv_frame& f, double* scratch, const interrupt_check* check);

constexpr double conv_linear_range = 600.0;

// For tests and benchmarks: the same decoding forced into the log domain and the scalar
// loops (the reference path of 'logmap' and of 'maxlog'), and whether conv_decode_frame would
// take the scaled-probability path.
bool conv_decode_frame_log(const conv_frame& f, double* scratch, const interrupt_check* check);
bool conv_frame_is_linear(const conv_frame& f);
