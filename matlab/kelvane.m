% SPDX-License-Identifier: BSD-3-Clause
function varargout = kelvane(varargin)
%KELVANE Box-constrained least squares (BVLS) on an upper-triangular system.
%   X = KELVANE(Y,R,U,INDEX_SET,USE_START) returns the X that minimises
%   norm(Y - R*X) subject to -U <= X(i) <= U for every i, by a bounded-variable
%   least-squares active-set iteration. Each pass frees the bound variable that
%   violates its optimality condition most, solves on the free variables and,
%   while that solution leaves the box, steps towards it as far as the box
%   allows, sending the variables that reach a bound back to it.
%   [X,RESERVED,ITERATIONS,STATUS] = KELVANE(...) also returns the pass count
%   and the exit status; any number of outputs from one to four may be asked.
%
%   Inputs
%     Y          real double vector with at least N finite elements.
%     R          real double N-by-N upper-triangular matrix: finite, zeros
%                below the diagonal (use TRIU(R) for the R of QUORVIN, which
%                carries rounding residues there), no zero on the diagonal.
%     U          half-width of the box, finite and >= 0.
%     INDEX_SET  index-set vector of N+2 elements in the layout of MORRIT,
%                read only for a warm start (any N+2 values otherwise):
%                elements 2..C+1 name the variables at a bound (-j lower,
%                +j upper), elements C+2..N+1 the free ones (+j, positive),
%                each variable once; element N+2 is the count C, 0..N.
%     USE_START  non-zero (after truncation, so 0.7 counts as 0) for a warm
%                start from INDEX_SET: bound variables start at their bound,
%                free ones at 0, and the first pass solves on that free set.
%                0 for a cold start with every variable at -U.
%   Outputs
%     X           N-by-1 double: the solution.
%     RESERVED    N-by-1 zeros (kept for the calling convention).
%     ITERATIONS  the pass at which the solver stopped; 0 when the pass cap
%                 (3*N passes) ended the run.
%     STATUS      1, or -1 when the pass cap ended the run (X is then the
%                 iterate after the last pass).
%   N = 0 returns an empty X, ITERATIONS = 0 and STATUS = 1.
%
%   Warm start: X1 = KELVANE(Y1,R,U,zeros(N+2,1),0); S = MORRIT(X1,U);
%   X2 = KELVANE(Y2,R,U,S,1) starts from the active set of X1; for a nearby Y2
%   it needs only one or two passes.
%
%   Errors: "USAGE: [x,reserved,iterations,status]=kelvane(y,R,u,index_set,
%   use_start)" unless called with five inputs and at most four outputs; "This
%   function assumes n==m" for a non-square R; "Too many active variables in
%   BVLS starting solution!" for a warm start with a negative count; a
%   malformed INDEX_SET, a negative, NaN or infinite U, non-finite Y or R, a
%   non-triangular R, a zero diagonal entry, non-double arguments and a short
%   Y or INDEX_SET are rejected with a message naming the argument.
%
%   Accuracy: errors in X grow like cond(R)^2 (above 100 % from cond(R) = 1e6,
%   see docs/testing.md); an X whose norm(Y-R*X)^2 exceeds the minimum by more than
%   1e-4*norm(Y)^2 warns (id latbox:kelvane:inaccurate), outputs unchanged.
%
%   Example
%     n = 8; u = 1; [~, R] = qr(randn(n)); R = triu(R);
%     y1 = R * (4*rand(n, 1) - 2);           % about half of X at a bound
%     [x, ~, cold, status] = kelvane(y1, R, u, zeros(n+2, 1), 0);   % cold start
%     s = morrit(x, u);                       % its active set
%     y2 = y1 + 0.01*randn(n, 1);             % a related problem
%     [x2, ~, warm] = kelvane(y2, R, u, s, 1);   % warm start: 1 or 2 passes
%
%   See also KELVANE_BATCH, MORRIT, PLINDEN, TESSALY, ZARROW.

% This file holds the help text; the MEX file kelvane beside it or earlier on the
% path is called instead. Reaching this line means it is not built or not found.
error('latbox:notBuilt', ['kelvane: the MEX file is not built or not on the path; ' ...
                           'run make_latbox, then addpath the folder that holds it']);
end
