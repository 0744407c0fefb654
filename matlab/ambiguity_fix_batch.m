% SPDX-License-Identifier: BSD-3-Clause
function varargout = ambiguity_fix_batch(varargin)
%AMBIGUITY_FIX_BATCH Integer ambiguity resolution for every epoch of a frame.
%   [AFIX,SQNORM,INFO] = AMBIGUITY_FIX_BATCH(AHAT,Q,NAME,VALUE,...) resolves
%   every column of AHAT as AMBIGUITY_FIX does, with the same options: column
%   k gives what AMBIGUITY_FIX(AHAT(:,k),Qk,...) gives, bit for bit, Qk the
%   covariance of epoch k. The epochs are shared out among worker threads.
%
%   Inputs
%     AHAT    real double n-by-K, finite, one epoch per column (K = 0 gives
%             empty outputs), n at most 1000.
%     Q       real double n-by-n (every epoch) or n-by-n-by-K (one page per
%             epoch), each page finite, symmetric and positive definite as
%             for AMBIGUITY_FIX.
%   Outputs, stacked by epoch
%     AFIX    'ils' with NCANDS > 1: n-by-NCANDS-by-K; otherwise n-by-K.
%     SQNORM  NCANDS-by-K ('ils', 'par') or 1-by-K.
%     INFO    struct of arrays: method (text); ratio, accepted (logical),
%             success_rate, nfixed, fixed_success_rate, nodes: 1-by-K;
%             fixed (logical) and D: n-by-K; Z: n-by-n-by-K; status: 1-by-K
%             codes, 0 'optimal', 1 'z_limit', 2 'node_limit', 3
%             'out_of_range' (see AMBIGUITY_FIX).
%
%   Threads: as many as the CPUs this process may run on, but no more than
%   the frame justifies; LATBOX_NUM_THREADS (a positive integer) sets the
%   count instead, 1 runs serially. The result is the same bit for bit for
%   every thread count. Ctrl-C stops the call with "interrupted".
%
%   Errors: AMBIGUITY_FIX's messages, naming the epoch: "ahat column 4 must
%   not contain NaN or Inf", "Q page 2 must be symmetric (within a relative
%   1e-12)", "Q page 7 must be positive definite" ("Q ..." for a single
%   matrix); also "ahat must be an n-by-K matrix" and "Q must be n-by-n or
%   n-by-n-by-K (K the columns of ahat)".
%
%   Example
%     Q = [6.290 5.978 0.544; 5.978 6.292 2.340; 0.544 2.340 6.288];
%     ahat = [5.45 5.2; 3.10 3.3; 2.97 3.1];
%     [afix, sqnorm, info] = ambiguity_fix_batch(ahat, Q, 'ncands', 1);
%     isequal(afix(:, 2), ambiguity_fix(ahat(:, 2), Q, 'ncands', 1))   % 1
%
%   See also AMBIGUITY_FIX.

% This file holds the help text; the MEX file ambiguity_fix_batch beside it or
% earlier on the path is called instead. Reaching this line means it is not built
% or not found.
error('latbox:notBuilt', ...
      ['ambiguity_fix_batch: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
