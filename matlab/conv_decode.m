% SPDX-License-Identifier: BSD-3-Clause
function varargout = conv_decode(varargin)
%CONV_DECODE Soft-in soft-out (BCJR) decoding of a convolutional code.
%   [LU, LC] = CONV_DECODE(L, CODE) decodes each column of L, the code-bit
%   LLRs of one frame encoded by CONV_ENCODE with the code CODE of
%   CONV_CODE, by the BCJR algorithm over the code's trellis, and gives the
%   info-bit LLRs LU (k-by-F) and the code-bit LLRs LC (the size of L, to
%   hand back to a detector in an iterative receiver). The frames are shared
%   out among worker threads; the result is the same bit for bit for every
%   thread count (LATBOX_NUM_THREADS sets the count).
%
%   LLRs: L = ln P(b=0)/P(b=1) everywhere (positive means 0), as in latbox's
%   detectors, IT++ and MATLAB's demodulators. +Inf and -Inf are allowed in
%   L and in the priors: a known bit (0 and 1). NaN is refused.
%   The posterior LLR of a bit (the default) includes everything: the
%   channel LLRs L, every prior and the bit's own input. The extrinsic LLR
%   ('output', 'extrinsic') leaves the bit's own input out: for LU its prior,
%   for LC its own channel LLR; for finite inputs extrinsic = posterior -
%   prior (LU) and extrinsic = posterior - L (LC). The extrinsic value is
%   computed without that input, so a known bit keeps a defined extrinsic
%   LLR. When both values of a bit are impossible (known bits that no
%   codeword matches) its LLR is 0, and a posterior that adds +Inf and -Inf
%   is 0: no output is NaN.
%
%   Inputs
%     L     real double (n*(k+K-1))-by-F (terminated) or (n*k)-by-F, step
%           after step with each step's n code bits in the order of CODE.G,
%           as CONV_ENCODE sends them; k is read from the row count, which
%           must be such a length.
%     CODE  the struct of CONV_CODE (checked again, as CONV_ENCODE does).
%   Options (Name, Value; names and values case-insensitive)
%     'method'     'logmap' (default): exact log-MAP, the Jacobian logarithm
%                  max*(a,b) = max(a,b) + log1p(exp(-|a-b|)) without a
%                  table; 'maxlog': the max-log approximation (its hard
%                  decisions are the Viterbi decoder's on terminated frames).
%     'prior'      k-by-F a-priori LLRs of the info bits, or [] (none).
%     'output'     'posterior' (default) or 'extrinsic', for both outputs.
%     'terminate'  true (default): frames end in state 0 after the K-1 tail
%                  steps; false: unterminated frames (the end state free).
%
%   Numerics: 'logmap' keeps its state metrics as scaled probabilities
%   (exact log-MAP, several times faster than the log domain) on frames whose
%   inputs are finite and whose magnitudes over any 2K-1 consecutive steps
%   sum to at most 600, so that no metric comes near the underflow of double;
%   other frames are decoded in the log domain with max*. Both agree with the
%   a-posteriori LLRs of every codeword within 1e-9.
%
%   Limits: K 2..9, n up to 8 (see CONV_CODE); a frame needs about
%   8*2^(K-1)*(k+K) bytes of scratch per thread (K = 7, k = 10^6: 512 MB).
%
%   Errors: "L must have n*(k+6) rows for a terminated frame of k info bits
%   of this code (n = 2)", "L column 4 must not contain NaN (+-Inf: a known
%   bit)", "prior must be k-by-F: one row per info bit, one column per
%   column of L", "prior column 2 must not contain NaN (+-Inf: a known bit)",
%   "method must be 'logmap' or 'maxlog'", "output must be 'posterior' or
%   'extrinsic'", the code's messages as in CONV_ENCODE, and
%   "USAGE: [Lu,Lc]=conv_decode(L,code,Name,Value,...)". Ctrl-C stops a long
%   call with "conv_decode: interrupted". (Identifiers, where the host gives
%   them: latbox:conv_decode:L, :prior, :code, :options.)
%
%   Example
%     code = conv_code(7, [133 171]);  U = randi([0 1], 200, 10);
%     C = conv_encode(U, code);  N0 = 0.8;            % BPSK: 0 -> +1, 1 -> -1
%     Y = (1 - 2*C) + sqrt(N0/2) * randn(size(C));
%     [Lu, Lc] = conv_decode(4 * Y / N0, code);       % channel LLRs 4y/N0
%     mean(mean((Lu < 0) ~= U)) < 0.01               % 1: few errors
%     [Lue] = conv_decode(4 * Y / N0, code, 'output', 'extrinsic', 'prior', zeros(200, 10));
%     isequal(Lue, Lu)                                % 1: zero priors
%
%   See also CONV_CODE, CONV_ENCODE, EXIT_DECODER_CURVE, LLR_MI.

% This file holds the help text; the MEX file conv_decode beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['conv_decode: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
