% SPDX-License-Identifier: BSD-3-Clause
function varargout = quorvin_batch(varargin)
%QUORVIN_BATCH LLL reduction of every page of a stack of QR factors.
%   [QO,RO,UO] = QUORVIN_BATCH(Q,R,DELTA) reduces every basis Q(:,:,p)*R(:,:,p)
%   as QUORVIN does: QO(:,:,p), RO(:,:,p) and UO(:,:,p) are what
%   QUORVIN(Q(:,:,p),R(:,:,p),DELTA) returns, bit for bit. The pages are
%   shared out among worker threads.
%
%   Inputs
%     Q      real double M-by-N-by-P array, M >= N (an M-by-N matrix is one
%            page).
%     R      real double N-by-N-by-P array with as many pages as Q. All N*N
%            entries of each page are used, as in QUORVIN.
%     DELTA  real double scalar, at most 1, the same for every page. DELTA
%            <= 0 or NaN makes no exchange: size reduction only.
%   Outputs
%     QO     M-by-N-by-P, the columns of each page of Q rotated.
%     RO     N-by-N-by-P, each page size-reduced and Lovasz-reduced (signs
%            not normalised, rounding residues below the diagonal).
%     UO     N-by-N-by-P, unimodular pages of integer values, so that
%            QO(:,:,p)*RO(:,:,p) = Q(:,:,p)*R(:,:,p)*UO(:,:,p) to rounding.
%   A zero diagonal entry or a rank-deficient page gives Inf or NaN entries
%   in that page's outputs (no error); every page's reduction ends.
%
%   Threads: as many as the CPUs this process may run on, but no more than
%   the stack justifies (about 20 microseconds of work each), so a few
%   small pages run on the calling thread alone. The environment variable
%   LATBOX_NUM_THREADS (a positive integer) sets the count instead; 1 runs
%   serially. The result is the same bit for bit for every thread count.
%
%   Ctrl-C stops the call, between pages or within a long reduction (every
%   16384 steps or so), with the error "quorvin_batch: interrupted"; no
%   output is assigned and the session goes on.
%
%   Errors: "USAGE: [Qo,Ro,Uo]=quorvin_batch(Q,R,delta)" unless called with
%   three inputs and three outputs; "Check the size of input matrices" when
%   M < N, R's pages are not N-by-N, or Q and R have different page counts;
%   "delta must not be greater than 1"; arguments that are not real double
%   arrays and an empty DELTA are rejected with a message naming the
%   argument. Every check is made before any page is reduced.
%
%   Example
%     P = 100; n = 6; B = randi([-20 20], n, n, P); Q = B; R = B;
%     for p = 1:P, [Q(:,:,p), R(:,:,p)] = qr(B(:,:,p)); end
%     [Qo, Ro, Uo] = quorvin_batch(Q, R, 0.99);
%     [q, r, u] = quorvin(Q(:,:,5), R(:,:,5), 0.99);
%     isequal({Qo(:,:,5), Ro(:,:,5), Uo(:,:,5)}, {q, r, u})   % 1: page 5 as QUORVIN
%
%   See also QUORVIN, ZARROW_BATCH, PLINDEN_BATCH, MORRIT_BATCH, QR.

% This file holds the help text; the MEX file quorvin_batch beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['quorvin_batch: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
