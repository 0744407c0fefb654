// SPDX-License-Identifier: BSD-3-Clause
// What ambiguity_fix and ambiguity_fix_batch share: their Name, Value options read into a
// struct, the checks of ahat and Q, and the texts of methods and statuses.
//
// Error identifiers: the host raises messages only for now; each message below belongs to
// the identifier latbox:<function>:<what> named beside it, for when the host carries them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ambiguity/ambiguity_fix.h"
#include "host/host.h"

struct ambiguity_call {
    ambiguity_options core;
    double ratio = 3.0;  // accept when sqnorm(2)/sqnorm(1) >= ratio
};

// Reads the pairs prhs[first .. nrhs-1] of `function` for n ambiguities, raising the first
// fault:
//   "<function> options must be Name, Value pairs: ...\n"              (:options)
//   "<function> has no option '<name>' (known: ...)\n"                 (:options)
//   "method must be 'ils', 'bootstrap', 'round' or 'par'\n"            (:method)
//   "ncands must be a positive integer\n"                              (:ncands)
//   "ncands must be at most <limit> for <n> ambiguities\n"             (:ncands)
//   "ratio must be 1 or more (Inf allowed)\n"                          (:ratio)
//   "min_sr must lie strictly between 0 and 1\n"                       (:min_sr)
//   "delta must lie in (0.25, 1]\n"                                    (:delta)
//   "max_nodes must be a positive integer or Inf\n"                    (:max_nodes)
// and the checks of args.h on each value (a real double, not empty).
ambiguity_call read_ambiguity_options(int nrhs, const host_array* prhs[], int first,
                                      std::int64_t n);

// n of ahat: an n-by-1 real double column (many: n-by-K, K received in K; the single form
// sets K = 1, and takes a 0-by-0 ahat as n = 0), n <= ambiguity_max_n. Raises "ahat must be
// a real double array\n", "ahat must be an n-by-1 column vector\n" (or "an n-by-K matrix",
// :ahat), "ahat must have at most 1000 elements (the size limit)\n" (rows, :size).
std::size_t read_ambiguity_frame(const host_array* ahat, bool many, std::size_t& K);

// Q of n ambiguities: a real double n-by-n matrix, or (pages allowed) n-by-n-by-P with P equal
// to 1 or to K; returns P. "Q must be a real double array\n", "Q must be n-by-n, n the length
// of ahat\n" or "Q must be n-by-n or n-by-n-by-K (K the columns of ahat)\n" (:Q).
std::size_t read_ambiguity_covariance(const host_array* Q, std::size_t n, bool pages,
                                      std::size_t K);

// One page of Q: "<name> must not contain NaN or Inf\n" (:Q), "<name> must be symmetric
// (within a relative 1e-12)\n" (:symmetric): |Q(i,j) - Q(j,i)| <= 1e-12*max(|Q(i,j)|, |Q(j,i)|).
void require_covariance(const double* Q, std::size_t n, const char* name);

// "<name> must be positive definite\n" (:positive_definite), the status the routine reports
// when a conditional variance is not above 16*eps times its variance.
[[noreturn]] void raise_not_positive_definite(const char* name);

const char* ambiguity_method_text(ambiguity_method m);
const char* ambiguity_status_text(ambiguity_status s);

// ratio = sqnorm(2)/sqnorm(1) when two candidates were found (else NaN); accepted when it
// reaches the threshold and the search ended with the optimum (optimal or z_limit).
double ambiguity_ratio(const ambiguity_result& r, const double* sqnorm);
bool ambiguity_accepted(const ambiguity_result& r, double ratio, double threshold);
