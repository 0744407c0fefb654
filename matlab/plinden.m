% SPDX-License-Identifier: BSD-3-Clause
function varargout = plinden(varargin)
%PLINDEN Closest integer point in a box by depth-first sphere decoding.
%   [SYMB,INFO] = PLINDEN(Y,R,RADIUS,LB,UB) searches for the integer vector S
%   with LB <= S(i) <= UB for every i that minimises norm(Y - R*S)^2 among the
%   points whose squared distance is at most RADIUS. The search enumerates
%   levels from the last row of R to the first, visiting the candidates of each
%   level in a zig-zag around the rounded centre (Schnorr-Euchner); each point
%   found shrinks the radius to its own squared distance. Among points at the
%   same distance, the one reached last is returned.
%
%   Inputs
%     Y       real double vector with at least N finite elements.
%     R       real double N-by-N upper-triangular matrix, finite on and above
%             the diagonal, with no zero on the diagonal (negative entries are
%             fine). Entries below the diagonal are ignored.
%     RADIUS  squared search radius (Inf: no limit). Not NaN.
%     LB, UB  inclusive bounds for every element (-Inf/Inf: no bound; they
%             need not be integers). Not NaN.
%   Outputs
%     SYMB    N-by-1 double: the closest point found, zeros if none.
%     INFO    1 if a point was found, -1 if none lies in the box and radius.
%
%   Candidates are integers of magnitude at most 2^51 (bounds beyond are taken
%   as +-2^51). The search always ends; runs of candidates outside the box are
%   skipped without visiting them one by one.
%
%   Errors: "USAGE: [symb,info]=plinden(y,R,radius,lb,ub)" unless called with
%   five inputs and two outputs; "R must be square"; non-finite Y or R, a zero
%   diagonal entry, NaN or empty RADIUS/LB/UB, non-double arguments and a short
%   Y are rejected with a message naming the argument.
%
%   Example
%     H = randn(4); s = [1; -1; 3; -3]; [Q, R] = qr(H);
%     y = Q' * (H*s + 0.3*randn(4, 1));
%     [symb, info] = plinden(y, R, Inf, -3, 3)
%
%   See also PLINDEN_BATCH, ZARROW, TESSALY, QUORVIN.

% This file holds the help text; the MEX file plinden beside it or earlier on the
% path is called instead. Reaching this line means it is not built or not found.
error('latbox:notBuilt', ['plinden: the MEX file is not built or not on the path; ' ...
                           'run make_latbox, then addpath the folder that holds it']);
end
