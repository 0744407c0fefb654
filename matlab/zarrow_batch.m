% SPDX-License-Identifier: BSD-3-Clause
function varargout = zarrow_batch(varargin)
%ZARROW_BATCH Rounding decision feedback on every column of a frame.
%   S = ZARROW_BATCH(Y,R) decides every column of Y as ZARROW does: S(:,k)
%   is ZARROW(Y(:,k),Rk) bit for bit, where Rk is the channel of column k.
%   The columns are shared out among worker threads.
%
%   Inputs
%     Y  real double N-by-K matrix, one received vector per column (K = 0
%        gives an empty S).
%     R  real double N-by-N matrix, the channel of every column, or an
%        N-by-N-by-P array with K a multiple of P: columns (p-1)*K/P+1 to
%        p*K/P use page R(:,:,p). P = 1 is one channel, P = K one channel
%        per column, and in between block fading with K/P vectors per
%        channel. As in ZARROW, only the diagonal and the part above it are
%        read.
%   Output
%     S  N-by-K double matrix of integer values. A zero on the diagonal of
%        a page gives Inf or NaN symbols in its columns (no error).
%
%   Threads: as many as the CPUs this process may run on, but no more than
%   the frame justifies (about 20 microseconds of work each), so a small
%   frame runs on the calling thread alone. The environment variable
%   LATBOX_NUM_THREADS (a positive integer) sets the count instead; 1 runs
%   serially. The result is the same bit for bit for every thread count.
%
%   Ctrl-C stops the call between columns with the error "zarrow_batch:
%   interrupted"; S is not assigned and the session goes on.
%
%   Errors: "USAGE: S=zarrow_batch(Y,R)" unless called with two inputs and
%   one output; "R must be square"; "Y must have as many rows as R has
%   columns (one column per vector)"; "Y must have a number of columns that
%   is a multiple of the pages of R"; arguments that are not real double
%   arrays are rejected with a message naming the argument. Every check is
%   made before any column is decided.
%
%   Example
%     H = randn(4); [Q, R] = qr(H); S = randi([-3 3], 4, 1000);
%     Y = Q' * (H*S + 0.01*randn(4, 1000));
%     S_hat = zarrow_batch(Y, R);
%     isequal(S_hat(:, 7), zarrow(Y(:, 7), R))   % 1: as ZARROW gives it
%
%   See also ZARROW, TESSALY_BATCH, PLINDEN_BATCH, QUORVIN_BATCH.

% This file holds the help text; the MEX file zarrow_batch beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['zarrow_batch: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
