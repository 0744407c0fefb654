// SPDX-License-Identifier: BSD-3-Clause
// What conv_encode and conv_decode share: reading the code struct that conv_code makes (and
// checking it again, since a user can edit a struct), and their Name, Value options parsed
// into a struct.
//
// Errors are raised through the host with messages that name the argument (and its field or
// column). Where the host gains error identifiers they are latbox:conv_encode:<what> and
// latbox:conv_decode:<what>, <what> as in the comment of each check.
#pragma once

#include "code/bcjr.h"
#include "code/trellis.h"
#include "host/host.h"

// The code struct: fields K, G, F (0 for a feedforward code), next and outputs. K, G and F
// are checked as conv_code checks them (code:K, code:G, code:F), and next and outputs must be
// the trellis they give (code:trellis): next(s+1,u+1) the next state (0-based) of state s
// on info bit u, outputs(s+1,u+1) the step's code bits as an integer with the first bit sent
// the most significant.
void read_conv_code(const host_array* code, conv_trellis* t);

// "<name> column <k+1>" into buffer (as gateways/batch.h's column_name, for conv_encode,
// which has no batch part).
const char* conv_column_name(char (&buffer)[48], const char* name, std::size_t k);

struct conv_options {
    bool terminate = true;
    conv_method method = conv_method::logmap;
    bool extrinsic = false;
    const host_array* prior = nullptr;  // conv_decode's 'prior' (null or empty: none)
};

// Name, Value pairs prhs[first..nrhs) of `function` ("conv_encode": 'terminate' only;
// "conv_decode": 'terminate', 'method', 'prior', 'output'); names are case-insensitive
// (options:name, options:value).
conv_options read_conv_options(const char* function, int first, int nrhs, const host_array* prhs[]);
