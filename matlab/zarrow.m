% SPDX-License-Identifier: BSD-3-Clause
function varargout = zarrow(varargin)
%ZARROW Rounding decision-feedback detector on an upper-triangular system.
%   S = ZARROW(Y,R) returns the successive-cancellation (zero-forcing decision
%   feedback, Babai nearest-plane) estimate of the integer vector S from
%   Y ~ R*S. The last symbol is decided first; each row above is cleared of the
%   symbols already decided below it, divided by its diagonal entry and rounded
%   to the nearest integer, halves upwards (floor(x + 0.5)).
%
%   Inputs
%     Y  real double vector with at least N elements; elements past the N-th
%        are ignored, row and column vectors give the same result.
%     R  real double N-by-N matrix; only the diagonal and the part above it
%        are read.
%   Output
%     S  N-by-1 double vector of integer values. A zero on the diagonal gives
%        Inf or NaN symbols (no error).
%
%   Errors: "USAGE: s=zf_zarrow(y,R)" unless called with two inputs and one
%   output; "R must be square"; arguments that are not real double arrays and
%   a Y shorter than N are rejected with a message naming the argument.
%
%   Example
%     H = randn(4); s = [1; -2; 0; 3]; [Q, R] = qr(H);
%     y = Q' * (H*s + 0.01*randn(4, 1));
%     s_hat = zarrow(y, R)  % usually s (not when R has a tiny diagonal entry)
%
%   See also ZARROW_BATCH, TESSALY, PLINDEN, QUORVIN.

% This file holds the help text; the MEX file zarrow beside it or earlier on the
% path is called instead. Reaching this line means it is not built or not found.
error('latbox:notBuilt', ['zarrow: the MEX file is not built or not on the path; ' ...
                           'run make_latbox, then addpath the folder that holds it']);
end
