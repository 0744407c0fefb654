% SPDX-License-Identifier: BSD-3-Clause
function varargout = morrit(varargin)
%MORRIT Index-set vector of a point in the box [-bound, bound].
%   INDEX_SET = MORRIT(X,BOUND) tells for each of the N components of X
%   whether it sits at the lower bound -BOUND (X(j) <= -BOUND, tested first),
%   at the upper bound BOUND (X(j) >= BOUND) or inside the box, and returns
%   the (N+2)-by-1 index-set vector with which KELVANE can be warm-started:
%     INDEX_SET(1)          0 (unused);
%     INDEX_SET(2:C+1)      the C variables at a bound in increasing order,
%                           -j at the lower bound, +j at the upper bound;
%     INDEX_SET(C+2:N+1)    the free variables +j, in decreasing order;
%     INDEX_SET(N+2)        C.
%
%   Inputs
%     X      real double array; N is its row count and its first N elements
%            are the components (a row vector counts as N = 1).
%     BOUND  real double array; its first element is the half-width. BOUND
%            = 0 puts every component at a bound (0 at the lower one); a NaN
%            component is always free.
%   Output
%     INDEX_SET  (N+2)-by-1 double vector of integer values.
%
%   Errors: "USAGE: index_set=morrit(x,bound)" with fewer than two inputs or
%   more than one output; an X with rows but no columns, an empty BOUND and
%   arguments that are not real double arrays are rejected with a message
%   naming the argument.
%
%   Example
%     morrit([0.5; -2; 2; 0; -0.5], 1)'   % returns 0 -2 3 5 4 1 2
%
%   See also MORRIT_BATCH, KELVANE, QUORVIN.

% This file holds the help text; the MEX file morrit beside it or earlier on the
% path is called instead. Reaching this line means it is not built or not found.
error('latbox:notBuilt', ['morrit: the MEX file is not built or not on the path; ' ...
                           'run make_latbox, then addpath the folder that holds it']);
end
