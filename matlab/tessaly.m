% SPDX-License-Identifier: BSD-3-Clause
function varargout = tessaly(varargin)
%TESSALY Odd-integer decision-feedback detector clamped to [-u, u].
%   S = TESSALY(Y,R,U) decides the symbols of Y ~ R*S for an alphabet of odd
%   integers {-U, ..., -3, -1, 1, 3, ..., U} (M-PAM with U = M-1) by
%   back-substitution from the last row up. Each decision is the odd integer
%   nearest to the cleared, scaled observation z (a z on an even integer goes
%   to the odd integer above), clamped to [-fix(U), fix(U)]; the clamped symbols
%   are cancelled from the rows above.
%
%   Inputs
%     Y  real double vector with at least N elements (extra elements ignored).
%     R  real double N-by-N matrix; only the diagonal and above are read.
%     U  real double scalar, truncated towards zero (3.9 acts as 3); its
%        magnitude must be below 2^31.
%   Output
%     S  N-by-1 double vector: odd values, or +-fix(U) where the clamp applies.
%
%   Errors: "USAGE: [s]=tessaly(y,R,u)" unless called with three inputs and
%   one output; "R must be square"; a U that is NaN, empty or of magnitude
%   2^31 or more, non-double arguments and a short Y are rejected.
%
%   Example
%     H = randn(4); s = [3; -1; 1; -3]; [Q, R] = qr(H);
%     y = Q' * (H*s + 0.05*randn(4, 1));
%     s_hat = tessaly(y, R, 3)   % 4-PAM symbols, usually s
%
%   See also TESSALY_BATCH, ZARROW, PLINDEN, KELVANE.

% This file holds the help text; the MEX file tessaly beside it or earlier on the
% path is called instead. Reaching this line means it is not built or not found.
error('latbox:notBuilt', ['tessaly: the MEX file is not built or not on the path; ' ...
                           'run make_latbox, then addpath the folder that holds it']);
end
