% SPDX-License-Identifier: BSD-3-Clause
function varargout = plinden_batch(varargin)
%PLINDEN_BATCH Closest integer point in a box for every column of a frame.
%   [S,INFO] = PLINDEN_BATCH(Y,R,RADIUS,LB,UB) searches every column of Y as
%   PLINDEN does: S(:,k) and INFO(k) are what PLINDEN(Y(:,k),Rk,RADIUS(k),
%   LB,UB) returns, bit for bit, where Rk is the channel of column k; a
%   column whose search PLINDEN rejects with an error gets INFO(k) = 0
%   instead. The columns are shared out among worker threads, which suits
%   searches of very different lengths.
%
%   Inputs
%     Y       real double N-by-K matrix, finite, one received vector per
%             column (K = 0 gives empty outputs).
%     R       real double N-by-N matrix, the channel of every column, or an
%             N-by-N-by-P array with K a multiple of P: columns (p-1)*K/P+1
%             to p*K/P use page R(:,:,p) (P = K: one per column; in between:
%             block fading with K/P vectors per channel). Each page finite
%             on and above the diagonal, no zero on the diagonal; entries
%             below it are ignored.
%     RADIUS  squared search radius: a scalar for every column, or one per
%             column (1-by-K or K-by-1). Inf: no limit. Not NaN.
%     LB, UB  inclusive bounds for every element of every column (-Inf/Inf:
%             no bound). Not NaN.
%   Outputs
%     S       N-by-K double: the closest point found in each column.
%     INFO    1-by-K, one code per column; the call itself returns normally:
%               1   a point was found;
%              -1   no point lies in the box and radius: S(:,k) is zeros;
%               0   the search would need integers beyond 2^51 (a centre
%                   far outside the range of R with no box on that side,
%                   where PLINDEN raises "y is too large for R"): S(:,k) is
%                   NaN.
%
%   Threads: as many as the CPUs this process may run on, but no more than
%   the frame justifies (about 20 microseconds of work each), so a small
%   frame runs on the calling thread alone. The environment variable
%   LATBOX_NUM_THREADS (a positive integer) sets the count instead; 1 runs
%   serially. The result is the same bit for bit for every thread count.
%
%   Ctrl-C stops the call, between columns or within a long search (every
%   million candidates or so), with the error "plinden_batch: interrupted";
%   no output is assigned and the session goes on.
%
%   Errors: every input is checked before any column is searched, with
%   PLINDEN's messages naming the column or page at fault, for example "Y
%   column 17 must not contain NaN or Inf", "R page 3 must not have a zero
%   on the diagonal" ("R ..." for a single matrix). Also "USAGE:
%   [S,info]=plinden_batch(Y,R,radius,lb,ub)" unless called with five inputs
%   and two outputs; "R must be square"; "Y must have as many rows as R has
%   columns (one column per vector)"; "Y must have a number of columns that
%   is a multiple of the pages of R"; "radius must be a scalar or have one
%   element per column of Y"; a NaN or empty RADIUS, LB or UB and non-double
%   arguments are rejected with a message naming the argument ("radius column
%   4 must not be NaN" for a NaN in a per-column RADIUS).
%
%   Example
%     H = randn(4); [Q, R] = qr(H); S = randi([-3 3], 4, 500);
%     Y = Q' * (H*S + 0.3*randn(4, 500));
%     [S_hat, info] = plinden_batch(Y, R, Inf, -3, 3);
%     [s7, info7] = plinden(Y(:, 7), R, Inf, -3, 3);
%     isequal([S_hat(:, 7); info(7)], [s7; info7])   % 1: as PLINDEN gives it
%
%   See also PLINDEN, ZARROW_BATCH, TESSALY_BATCH, QUORVIN_BATCH.

% This file holds the help text; the MEX file plinden_batch beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['plinden_batch: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
