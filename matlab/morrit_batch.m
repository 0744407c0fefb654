% SPDX-License-Identifier: BSD-3-Clause
function varargout = morrit_batch(varargin)
%MORRIT_BATCH Index-set vectors of every column of a frame of points.
%   I = MORRIT_BATCH(X,BOUND) classifies every column of X as MORRIT does:
%   I(:,k) is MORRIT(X(:,k),BOUND) bit for bit, the index-set vector with
%   which column k of a KELVANE_BATCH call can be warm-started. The columns
%   are shared out among worker threads.
%
%   Inputs
%     X      real double N-by-K matrix, one point per column (N = 0 or K = 0
%            are fine).
%     BOUND  real double array; its first element is the half-width of the
%            box [-BOUND, BOUND], the same for every column.
%   Output
%     I      (N+2)-by-K double matrix of integer values, each column laid
%            out as MORRIT's: 0, the C bound variables (-j lower, +j upper)
%            in increasing order, the free ones (+j) in decreasing order, C.
%
%   Threads: as many as the CPUs this process may run on, but no more than
%   the frame justifies (about 20 microseconds of work each), so a small
%   frame runs on the calling thread alone. The environment variable
%   LATBOX_NUM_THREADS (a positive integer) sets the count instead; 1 runs
%   serially. The result is the same bit for bit for every thread count.
%
%   Ctrl-C stops the call between columns with the error "morrit_batch:
%   interrupted"; I is not assigned and the session goes on.
%
%   Errors: "USAGE: I=morrit_batch(X,bound)" with fewer than two inputs or
%   more than one output (inputs past the second are ignored); "X must be a
%   matrix (one column per point)" for an array of three or more
%   dimensions; an empty BOUND and arguments that are not real double
%   arrays are rejected with a message naming the argument.
%
%   Example
%     X = [0.5 1; -2 0; 2 -1; 0 3; -0.5 0.2];
%     I = morrit_batch(X, 1)'   % rows 0 -2 3 5 4 1 2 and 0 1 -3 4 5 2 3
%
%   See also MORRIT, KELVANE_BATCH, QUORVIN_BATCH.

% This file holds the help text; the MEX file morrit_batch beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['morrit_batch: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
