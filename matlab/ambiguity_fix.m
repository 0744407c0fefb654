% SPDX-License-Identifier: BSD-3-Clause
function varargout = ambiguity_fix(varargin)
%AMBIGUITY_FIX Integer ambiguity resolution: best integer vectors, validation, partial fix.
%   [AFIX,SQNORM,INFO] = AMBIGUITY_FIX(AHAT,Q) finds the integer vectors a that
%   minimise (AHAT - a)' * inv(Q) * (AHAT - a), the integer least-squares (ILS)
%   problem of GNSS carrier-phase ambiguity resolution (RTK, PPP-AR), by the
%   LAMBDA method: AHAT is shifted by its nearest integers (values of 1e9
%   cycles lose nothing), Q is factorised Q = L'*D*L from its last index back,
%   each position taking the ambiguity of least conditional variance (no
%   inverse of Q is formed), the problem is decorrelated by an LLL
%   reduction with an exact integer unimodular Z (z = Z'*a), searched
%   depth-first (Schnorr-Euchner) keeping the NCANDS best, and transformed
%   back exactly with the integer inverse of Z.
%   [...] = AMBIGUITY_FIX(AHAT,Q,NAME,VALUE,...) sets options.
%
%   Inputs
%     AHAT    real double n-by-1, finite: the float ambiguities (cycles);
%             n at most 1000 (n = 0 gives empty outputs).
%     Q       real double n-by-n, finite, symmetric within a relative 1e-12
%             (|Q(i,j) - Q(j,i)| <= 1e-12*max(|Q(i,j)|,|Q(j,i)|); the lower
%             triangle is used) and positive definite (every conditional
%             variance of the factorisation above 16*eps times its
%             variance): the covariance of AHAT (cycles^2).
%   Options
%     'method'     'ils' (default): the NCANDS best vectors by search;
%                  'bootstrap': sequential rounding of the decorrelated
%                  problem (the search's first leaf); 'round': AHAT rounded
%                  component by component (halves upwards); 'par': partial
%                  ambiguity resolution, see below.
%     'ncands'     positive integer, default 2: how many best vectors ('ils',
%                  'par'); at most 65536 (2^24/n for n > 256).
%     'ratio'      the ratio-test threshold, default 3, at least 1 (Inf
%                  allowed): INFO.accepted is SQNORM(2)/SQNORM(1) >= ratio,
%                  the convention of RTKLIB. The LAMBDA software writes the
%                  reciprocal, SQNORM(1)/SQNORM(2) <= mu: mu = 1/ratio.
%     'min_sr'     'par': the least bootstrapped success rate of the fixed
%                  block, strictly between 0 and 1, default 0.995.
%     'delta'      the LLL parameter in (0.25, 1], default 0.9 (chosen by
%                  measurement on simulated GNSS models: of 0.5, 0.75,
%                  0.9, 0.99 and 1, the least mean time at n = 20 and 40,
%                  within 6 % of the least at n = 60; larger values
%                  exchange more and search less).
%     'max_nodes'  a node budget for the search, a positive integer, or Inf
%                  (default: none). When it ends the search, INFO.status is
%                  'node_limit' and the best vectors found so far come back,
%                  never accepted.
%   Outputs
%     AFIX    'ils': n-by-NCANDS, the best integer vectors, best first (NaN
%             columns if fewer were found); otherwise n-by-1. For 'par':
%             integers where INFO.fixed, elsewhere the float ambiguities
%             conditioned on the fixed block, ahat1 - Q12*inv(Q22)*(ahat2 -
%             afix2) in the decorrelated coordinates, transformed back.
%     SQNORM  NCANDS-by-1 squared norms (cycles, weighted by inv(Q)) of the
%             vectors ('par': of the fixed block in the decorrelated
%             problem); 1-by-1 for 'bootstrap' and 'round'.
%     INFO    struct:
%       method              the method used.
%       ratio               SQNORM(2)/SQNORM(1) (NaN with fewer than two).
%       accepted            logical: ratio >= the 'ratio' option and the
%                           search complete (status 'optimal' or 'z_limit').
%       success_rate        prod_i erf(1/sqrt(8*D(i))), the bootstrapped
%                           success rate of the decorrelated problem (exact
%                           for 'bootstrap', a lower bound for 'ils').
%       nfixed              decorrelated ambiguities fixed (n, or the block
%                           size for 'par'; 0 when no block reaches min_sr).
%       fixed               n-by-1 logical: which components of AFIX are
%                           integers.
%       fixed_success_rate  the success rate of the fixed block ('par'; the
%                           full one otherwise).
%       D                   n-by-1 conditional variances of the decorrelated
%                           problem, Z'*Q*Z = L'*diag(D)*L (the search fixes
%                           z(n) first).
%       Z                   n-by-n integer unimodular, z = Z'*a.
%       nodes               candidates whose distance the search computed.
%       status              'optimal'; 'z_limit' (the reduction stopped where
%                           Z would pass 2^53: answers still optimal);
%                           'node_limit' (see max_nodes); 'out_of_range'
%                           (the answer needs integers beyond 2^51 in the
%                           decorrelated problem or 2^53 in AFIX: AFIX NaN).
%   Ties: vectors with equal squared norms are ordered by z = Z'*a, compared
%   from z(n) to z(1), smaller first. Where the norms are equal only because
%   a step between candidates is below their rounding (conditional variances
%   1e30 and more apart), the candidates nearer the float solution are kept
%   and the run of such ties is not searched.
%
%   Errors: "USAGE: [afix,sqnorm,info]=ambiguity_fix(ahat,Q,Name,Value,...)";
%   "ahat must be an n-by-1 column vector"; "ahat must have at most 1000
%   elements (the size limit)"; "Q must be n-by-n, n the length of ahat";
%   "ahat must not contain NaN or Inf"; "Q must not contain NaN or Inf"; "Q
%   must be symmetric (within a relative 1e-12)"; "Q must be positive
%   definite"; "method must be 'ils', 'bootstrap', 'round' or 'par'"; "ncands
%   must be a positive integer"; "ncands must be at most 65536 for 3
%   ambiguities"; "ratio must be 1 or more (Inf allowed)"; "min_sr must lie
%   strictly between 0 and 1"; "delta must lie in (0.25, 1]"; "max_nodes
%   must be a positive integer or Inf"; "unknown option 'x' (known: ...)";
%   non-double arguments are rejected naming the argument. Every error
%   carries an identifier latbox:ambiguity_fix:<what>, <what> the argument
%   named first (ahat, Q, method, ncands, ratio, min_sr, delta, max_nodes),
%   or option, usage or interrupted.
%   Ctrl-C stops a long search (every million nodes) with "interrupted".
%
%   Example
%     Q = [6.290 5.978 0.544; 5.978 6.292 2.340; 0.544 2.340 6.288];
%     ahat = [5.45; 3.10; 2.97];
%     [afix, sqnorm, info] = ambiguity_fix(ahat, Q);
%     afix(:, 1)'                      % 5 3 4
%     info.accepted                    % ratio test at 3
%     p = ambiguity_fix(ahat, Q, 'method', 'par', 'min_sr', 0.5);
%
%   See also AMBIGUITY_FIX_BATCH, PLINDEN, QUORVIN.

% This file holds the help text; the MEX file ambiguity_fix beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['ambiguity_fix: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
