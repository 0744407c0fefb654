% SPDX-License-Identifier: BSD-3-Clause
function varargout = tessaly_batch(varargin)
%TESSALY_BATCH Odd-integer decision feedback on every column of a frame.
%   S = TESSALY_BATCH(Y,R,U) decides every column of Y as TESSALY does: S(:,k)
%   is TESSALY(Y(:,k),Rk,U) bit for bit, where Rk is the channel of column k.
%   The columns are shared out among worker threads.
%
%   Inputs
%     Y  real double N-by-K matrix, one received vector per column (K = 0
%        gives an empty S).
%     R  real double N-by-N matrix, the channel of every column, or an
%        N-by-N-by-P array with K a multiple of P: columns (p-1)*K/P+1 to
%        p*K/P use page R(:,:,p). P = 1 is one channel, P = K one channel
%        per column, and in between block fading with K/P vectors per
%        channel. Only the diagonal and the part above it are read.
%     U  real double scalar, the same for every column, truncated towards
%        zero (3.9 acts as 3); its magnitude must be below 2^31.
%   Output
%     S  N-by-K double matrix: odd values, or +-fix(U) where the clamp
%        applies.
%
%   Threads: as many as the CPUs this process may run on, but no more than
%   the frame justifies (about 20 microseconds of work each), so a small
%   frame runs on the calling thread alone. The environment variable
%   LATBOX_NUM_THREADS (a positive integer) sets the count instead; 1 runs
%   serially. The result is the same bit for bit for every thread count.
%
%   Ctrl-C stops the call between columns with the error "tessaly_batch:
%   interrupted"; S is not assigned and the session goes on.
%
%   Errors: "USAGE: S=tessaly_batch(Y,R,u)" unless called with three inputs
%   and one output; "R must be square"; "Y must have as many rows as R has
%   columns (one column per vector)"; "Y must have a number of columns that
%   is a multiple of the pages of R"; "u must be a number of magnitude below
%   2^31" (also for a NaN U); an empty U and arguments that are not real
%   double arrays are rejected with a message naming the argument. Every
%   check is made before any column is decided.
%
%   Example
%     n = 4; P = 50; H = randn(n, n, P); Q = H; R = H;   % 50 channels
%     for p = 1:P, [Q(:,:,p), R(:,:,p)] = qr(H(:,:,p)); end
%     S = 2*randi([0 3], n, 8*P) - 3;                    % 8 vectors per channel
%     Y = zeros(n, 8*P);
%     for k = 1:8*P
%       p = ceil(k/8);                   % the channel of column k
%       Y(:,k) = Q(:,:,p)' * (H(:,:,p)*S(:,k) + 0.05*randn(n, 1));
%     end
%     S_hat = tessaly_batch(Y, R, 3);       % 4-PAM symbols, mostly equal to S
%     isequal(S_hat(:, 20), tessaly(Y(:, 20), R(:,:,3), 3))  % 1: page 3
%
%   See also TESSALY, ZARROW_BATCH, PLINDEN_BATCH, KELVANE_BATCH.

% This file holds the help text; the MEX file tessaly_batch beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['tessaly_batch: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
