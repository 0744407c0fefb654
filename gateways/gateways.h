// SPDX-License-Identifier: BSD-3-Clause
// The six gateways. Each is the body of one MEX file's mexFunction and can also be
// called directly through the test host.
#pragma once

#include "host/host.h"

gateway_fn zarrow_gateway;
gateway_fn tessaly_gateway;
gateway_fn plinden_gateway;
gateway_fn quorvin_gateway;
gateway_fn morrit_gateway;
gateway_fn kelvane_gateway;

// The batch forms: a frame of vectors (or a stack of pages) per call, on every core.
gateway_fn zarrow_batch_gateway;
gateway_fn tessaly_batch_gateway;
gateway_fn quorvin_batch_gateway;
gateway_fn morrit_batch_gateway;
gateway_fn plinden_batch_gateway;
gateway_fn kelvane_batch_gateway;

// Max-log bit LLRs of PAM vectors from one tree search, a frame per call.
gateway_fn plinden_llr_gateway;
// The channel-level detector.
gateway_fn mimo_detect_gateway;

// Convolutional codes: the encoder and the soft-in soft-out (BCJR) decoder.
gateway_fn conv_encode_gateway;
gateway_fn conv_decode_gateway;
// Integer ambiguity resolution (GNSS): one float solution, and a frame of epochs.
gateway_fn ambiguity_fix_gateway;
gateway_fn ambiguity_fix_batch_gateway;
