% SPDX-License-Identifier: BSD-3-Clause
function varargout = quorvin(varargin)
%QUORVIN LLL reduction of a lattice basis carried out on its QR factors.
%   [QO,RO,UO] = QUORVIN(Q,R,DELTA) reduces the basis B = Q*R (columns are the
%   basis vectors) without forming B. Columns of R are size-reduced against
%   the earlier ones, nearest first (integer multipliers floor(x + 0.5)), and
%   adjacent columns k-1, k are exchanged when the Lovasz condition
%       DELTA*R(k-1,k-1)^2 <= R(k-1,k)^2 + R(k,k)^2
%   fails; a Givens rotation of rows k-1, k restores the triangle and its
%   transpose is applied to columns k-1, k of Q. Every column operation is
%   also made on UO, which starts as the identity, so that QO*RO = Q*R*UO.
%
%   Inputs
%     Q      real double M-by-N matrix, M >= N (orthonormal columns stay
%            orthonormal; other Q are accepted and only rotated).
%     R      real double N-by-N matrix, normally upper triangular. All N*N
%            entries are used: entries below the diagonal take part in the
%            exchanges and rotations.
%     DELTA  real double scalar, at most 1 (0.75 and 0.99 are usual). DELTA
%            <= 0 or NaN makes no exchange: size reduction only.
%   Outputs
%     QO     M-by-N, Q with rotated columns.
%     RO     N-by-N, size-reduced and Lovasz-reduced. Signs are not
%            normalised (diagonal entries may be negative) and entries below
%            the diagonal hold rounding residues, not exact zeros.
%     UO     N-by-N unimodular matrix of integer values (held as doubles).
%
%   A zero diagonal entry or a rank-deficient R gives Inf or NaN entries (no
%   error); UO stays exact. With DELTA = 1 rounding can make the same pair
%   qualify for an exchange again and again; once the reduction is seen to
%   come back to a state it has been in, such exchanges are no longer made,
%   so every call ends.
%
%   Errors: "USAGE: [Qo,Ro,Uo]=quorvin(Q,R,delta)" unless called with three
%   inputs and three outputs; "Check the size of input matrices" when M < N
%   or R is not N-by-N; "delta must not be greater than 1"; arguments that
%   are not real double arrays and an empty DELTA are rejected with a message
%   naming the argument.
%
%   Example
%     B = [1 -1 3; 1 0 5; 1 2 6];
%     [Q, R] = qr(B);
%     [Qo, Ro, Uo] = quorvin(Q, R, 0.75);
%     B * Uo                % [0 1 -1; 1 0 0; 0 1 2]: the reduced basis, Qo*Ro
%                           % up to rounding
%
%   See also QUORVIN_BATCH, ZARROW, PLINDEN, MORRIT, QR.

% This file holds the help text; the MEX file quorvin beside it or earlier on the
% path is called instead. Reaching this line means it is not built or not found.
error('latbox:notBuilt', ['quorvin: the MEX file is not built or not on the path; ' ...
                           'run make_latbox, then addpath the folder that holds it']);
end
