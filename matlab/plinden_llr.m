% SPDX-License-Identifier: BSD-3-Clause
function varargout = plinden_llr(varargin)
%PLINDEN_LLR Max-log bit LLRs of PAM vectors from one tree search per column.
%   [L,S,NODES,LE] = PLINDEN_LLR(Y,R,M,N0,CLIP,LA) gives, for every column y of Y,
%   the max-log log-likelihood ratio of every bit of the PAM vector s behind
%   y = R*s + noise, from one depth-first (Schnorr-Euchner) search of the tree
%   that keeps the best point and, for every bit, the best point whose bit
%   differs (the single tree search). The columns are shared out among worker
%   threads, as the batch forms do.
%
%   The values of a level: level i (row i of R) of M(i)-PAM takes the odd
%   values -(M(i)-1), ..., -3, -1, 1, 3, ..., M(i)-1 (the alphabet of TESSALY
%   with u = M(i)-1). The a-th value from the most negative (a = 0 .. M(i)-1)
%   carries the log2(M(i)) bits of the binary-reflected Gray code of a,
%   bitxor(a, bitshift(a, -1)), most significant first: for 4-PAM -3 -> 00,
%   -1 -> 01, +1 -> 11, +3 -> 10.
%   Bit order: the rows of L are the bits of level 1 (row 1 of R) first, each
%   level's bits in the order above: B = sum(log2(M)) rows.
%
%   The LLRs: with d(s) = norm(y - R*s)^2 and
%     metric(s) = d(s)/N0 + sum over the bits j of LA(j)*bit_j(s),
%   L(b) = (least metric with bit b = 1) - (least metric with bit b = 0),
%   the max-log form of L = ln P(b=0)/P(b=1): positive means 0, the
%   convention of the MATLAB and Octave demodulators and of IT++. The
%   distances are divided by the caller's N0: for real Gaussian noise of
%   variance sigma^2 per element, N0 = 2*sigma^2 (for the real form of a
%   complex channel, N0 is the variance of the complex noise per antenna).
%   With CLIP < Inf every L(b) is sign(L(b))*min(abs(L(b)),CLIP), exactly:
%   the clipped value, not an approximation of it; a smaller CLIP prunes
%   more of the tree. CLIP = 0 gives L = 0 and S at the cost of the hard
%   search (the nodes PLINDEN visits on the integer form of the problem).
%   With priors LA, L is the a-posteriori LLR: it includes each bit's own
%   prior. The extrinsic LLR, which an iterative receiver passes back to its
%   decoder, is the LLR of the metric without the bit's own prior,
%   Lpost - LA formed from the unclipped Lpost and then clipped: LE. Under
%   clipping L - LA is not it (with LA = 30 and CLIP = 8 a bit whose
%   extrinsic value is +1.6 has L = 8, and L - LA = -22).
%
%   Inputs
%     Y     real double N-by-K matrix, finite, one received vector per column
%           (K = 0 gives empty outputs).
%     R     real double N-by-N matrix, the channel of every column, or an
%           N-by-N-by-P array with K a multiple of P: columns (p-1)*K/P+1 to
%           p*K/P use page R(:,:,p). Each page finite on and above the
%           diagonal, no zero on the diagonal; entries below it are ignored
%           (read exactly as PLINDEN_BATCH reads Y and R).
%     M     the PAM size of every level: a scalar, or one per row of R (mixed
%           modulations), each a power of two from 2 to 65536.
%     N0    positive and finite: a scalar, or one per column (1-by-K).
%     CLIP  >= 0, Inf for no clipping.
%     LA    optional: [] (or absent) for no priors, or B-by-K a-priori LLRs
%           in the same convention and bit order, finite.
%   Outputs
%     L     B-by-K max-log LLRs.
%     S     N-by-K: the point of least metric of every column (odd integers;
%           with LA, the metric includes the priors).
%     NODES 1-by-K: the tree nodes each search visited (the candidates whose
%           distance it computed, counted as PLINDEN's search counts them),
%           to plot complexity against SNR.
%     LE    B-by-K extrinsic LLRs: sign(Lpost - LA)*min(|Lpost - LA|, CLIP),
%           exact (L itself without LA). Asking for LE widens the search's
%           clip by the column's largest |LA|, so it costs more with strong
%           priors; L is the same as without it (within rounding).
%   A column whose every metric overflows (Y or R near the limits of double)
%   has no answer: the call raises "Y column 3 is too large for R: it
%   overflows", as MIMO_DETECT does.
%
%   Cost: unclipped, the search must find the best counter-point of every
%   bit and visits many times the hard search's nodes; CLIP = 8 or so keeps
%   it to a small multiple. A tree too large to finish (many levels, large
%   M, low SNR, no clip) is the caller's choice, as for PLINDEN: Ctrl-C stops
%   the call (the search asks every million nodes or so) with the error
%   "plinden_llr: interrupted"; no output is assigned.
%
%   Threads: as PLINDEN_BATCH (LATBOX_NUM_THREADS sets the count; the result
%   is the same bit for bit for every thread count).
%
%   Errors: every input is checked before any column is searched, with
%   PLINDEN_BATCH's messages for Y and R ("Y column 17 must not contain NaN
%   or Inf", "R page 3 must not have a zero on the diagonal", ...), and "M
%   must be a power of two from 2 to 65536" ("M element 2 ..." for a vector),
%   "M must be a scalar or have one element per row of R", "N0 must be
%   positive and finite" ("N0 column 3 ..." when per column), "clip must be
%   non-negative (Inf allowed)", "La must be empty or have one row per bit
%   and one column per column of Y", "La column 2 must not contain NaN or
%   Inf". "USAGE: [L,S,nodes,Le]=plinden_llr(Y,R,M,N0,clip,La)" unless called
%   with five or six inputs and at most four outputs. Every error carries
%   an identifier latbox:plinden_llr:<what>, <what> the argument named
%   first in the message (Y, R, M, N0, clip, La), or usage, overflow or
%   interrupted: catch err; err.identifier.
%
%   Example
%     H = randn(4); [Q, R] = qr(H); S = 2 * randi([0 3], 4, 500) - 3;
%     N0 = 0.2; Y = Q' * (H*S + sqrt(N0/2) * randn(4, 500));
%     [L, S_hat, nodes] = plinden_llr(Y, R, 4, N0, 8);   % 8 bits per column
%     [max(abs(L(:))), mean(S_hat(:) == S(:))] % 8 (clipped), most symbols right
%     a = (S_hat + 3) / 2; g = bitxor(a, bitshift(a, -1));   % Gray labels
%     isequal(L(1:2:end, :) < 0, g >= 2) % 1: the sign of L is S_hat's bits
%
%   See also PLINDEN_BATCH, PLINDEN, TESSALY_BATCH.

% This file holds the help text; the MEX file plinden_llr beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['plinden_llr: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
