% SPDX-License-Identifier: BSD-3-Clause
function varargout = mimo_detect(varargin)
%MIMO_DETECT Bit LLRs and decisions of received vectors over MIMO channels.
%   [LLR,IDX,INFO] = MIMO_DETECT(Y,H,N0,CONST,BITS,METHOD) detects every
%   column of Y, received over the channel H with noise variance N0, for
%   symbols of the constellation CONST labelled by BITS. The QR factors (or
%   the filter) of every channel page are computed once, in C++, on the
%   worker threads.
%   [...] = MIMO_DETECT(...,NAME,VALUE,...) sets the options below.
%
%   Inputs
%     Y       Nr-by-K double, one received vector per column, finite.
%     H       Nr-by-Nt double, the channel of every column, or Nr-by-Nt-by-P
%             with K a multiple of P: column k uses page ceil(k/(K/P)) (block
%             fading with K/P vectors per channel). Finite. The complex
%             model when Y, H or CONST is complex (Octave stores a complex
%             array whose imaginary parts are all zero as real: a complex
%             CONST still means the complex model), else the real model.
%     N0      noise variance per receive antenna, > 0: a scalar or 1-by-K.
%             Complex model: N0 = E|w_i|^2. Real model with noise variance
%             sigma^2 per entry: N0 = 2*sigma^2. Either way the max-log LLRs
%             are formed from ||y - H*x||^2 / N0.
%     CONST   M-by-1 distinct points of every transmit antenna (M a power of
%             two, 2 to 256), complex, or real (PAM: the real model when Y
%             and H are real, 2 to 256 points).
%     BITS    M-by-log2(M) of 0/1, row m the label of CONST(m), all rows
%             distinct; [] gives the natural binary label of m-1, most
%             significant bit first.
%     METHOD  'maxlog'  exact max-log LLRs by one tree search;
%             'app'     exact log-MAP (APP) LLRs, L = ln sum_{x: b=0} e^-Lambda(x)
%                       - ln sum_{x: b=1} e^-Lambda(x), Lambda(x) = ||y-Hx||^2/N0
%                       + sum_b La(b)*b(x), by a depth-first search over the
%                       complex antenna levels that drops a subtree only when
%                       its leaves cannot move any returned LLR by more than
%                       'tol': each hypothesis' dropped mass is bounded by
%                       e^-(the node's partial metric) times the smaller of
%                       the count of leaves below it and the product of its
%                       levels' bounds on sum_x e^-(distance increment) (from
%                       the spacing of the points scaled by R(i,i), for any
%                       centre), and a drop is taken only while the dropped
%                       mass of every hypothesis stays within (e^tol - 1)
%                       times the larger of its found mass and e^-clip times
%                       the other hypothesis' (the found masses only grow, so
%                       the bound holds at the end: an LLR within tol, or one
%                       beyond the clip returned as +-clip within tol). Bits
%                       whose max-log LLR lies beyond clip + (B-1) ln 2 + tol
%                       are certainly beyond the clip: +-clip. IDX: the point
%                       of least metric;
%             'ml'      the exact closest point (hard);
%             'kbest'   breadth-first search keeping the K best partial paths
%                       per level, LLRs from the final list; a bit without a
%                       counter-hypothesis in the list gets one ('fill'
%                       'flip', the default): in the best path, its symbol
%                       replaced by the point of least level metric whose bit
%                       differs, the levels below completed by decision
%                       feedback; every LLR then comes from the metrics of real
%                       candidates ('fill' 'clip': +-clip with the sign of the
%                       best path's bit, as before). A formed candidate can be
%                       closer than the whole list (a short list that lost the
%                       closest point): its bit's LLR then favours it, against
%                       IDX's bit, clipped like every other;
%             'mmse'    unbiased linear MMSE filter, then per-stream max-log:
%                       G = (H'H + (N0/Es) I)^-1 H' (real model: N0/(2 Es)),
%                       Es the mean of |CONST|.^2, mu_t = (G*H)(t,t),
%                       z_t = (G*y)(t)/mu_t, noise N0_t = Es(1-mu_t)/mu_t
%                       (real model: 2 Es(1-mu_t)/mu_t); a stream that no
%                       receiver sees (a zero column of H, or Nr = 0) has
%                       mu_t = 0: LLR 0 for its bits and the point nearest 0;
%             'zf'      G = (H'H)^-1 H', z = G*y, N0_t = N0*[(H'H)^-1](t,t),
%                       per-stream max-log;
%             'mmse-pic' soft interference cancellation: from the priors the
%                       soft symbols xbar_t = E[x_t] and variances E_t =
%                       E|x_t|^2 - |xbar_t|^2; for stream t the others' soft
%                       symbols subtracted and the filter w_t = (H D_t H' +
%                       N0 I)^-1 h_t, D_t = diag(E_1 .. Es .. E_Nt) (Es at t),
%                       mu_t = w_t'h_t, z_t = w_t'(y - sum_{j~=t} h_j xbar_j)/mu_t,
%                       N0_t = (1 - Es mu_t)/mu_t (real model: the factors of
%                       'mmse'), then per-stream max-log with the stream's own
%                       priors; one elimination per column. Without priors it
%                       is 'mmse'; with the other streams known, the matched
%                       filter N0/||h_t||^2. 'iterations' n > 1 (default 1)
%                       forms the next pass's soft symbols from the detector's
%                       own a-posteriori LLRs (self-iterations); the demapper
%                       always adds the caller's priors;
%             'ep'      expectation propagation on the real-valued model
%                       (square QAM and PAM with labels split into real and
%                       imaginary bits), per real entry i a Gaussian site
%                       (gamma_i, lambda_i), at the start the priors' mean and
%                       variance (without priors gamma = 0, lambda = 1/Es per
%                       real entry), sigma^2 = N0/2 (N0 for the real model):
%                         Sigma = (H'H/sigma^2 + diag(lambda))^-1,
%                         mu = Sigma (H'y/sigma^2 + gamma);
%                         cavity v_i = 1/(1/Sigma_ii - lambda_i),
%                         t_i = v_i (mu_i/Sigma_ii - gamma_i);
%                         moments of p(a) ~ P(a) exp(-(t_i - a)^2/(2 v_i))
%                         over the entry's values a (P from the priors):
%                         mean m_i, variance s_i;
%                         new sites lambda'_i = 1/s_i - 1/v_i,
%                         gamma'_i = m_i/s_i - t_i/v_i (kept old where
%                         lambda'_i <= 0);
%                         damped: lambda = beta*lambda_old + (1-beta)*lambda',
%                         gamma likewise;
%                       'iterations' passes (default 10; one pass is the MMSE
%                       estimate under the priors), 'damping' beta (default
%                       0.9, the weight of the previous value), LLRs from the
%                       last pass's cavity (t_i, v_i) by the per-entry
%                       max-log demapper with the priors;
%             'sic'     decision feedback in sorted-QR order (the column of
%                       least remaining norm first), nearest points (hard);
%             'lr'      lattice-reduction-aided decision feedback (QUORVIN's
%                       LLL reduction with delta 0.75, ZARROW's rounding) on
%                       the integer form, mapped back and clamped (hard;
%                       square QAM and PAM only).
%   Options
%     'clip'      every LLR is clipped to [-clip, clip] (default 20; Inf
%                 allowed; 0 gives +-0, see LLR).
%     'prior'     (Nt*log2(M))-by-K a-priori LLRs La, in LLR's order and
%                 sign (the soft methods: 'maxlog', 'app', 'kbest', 'mmse',
%                 'zf', 'mmse-pic', 'ep'; 'mmse' and 'zf' add them in the
%                 per-stream demapper, to the stream's own bits; 'mmse-pic'
%                 and 'ep' also form their soft symbols and starting
%                 distributions from them): the metric of a point adds La(b) for
%                 every bit b that is 1. +-Inf is a known bit
%                 (+Inf: 0), as decoders hand them back: the points with the
%                 other value are excluded and that bit's LLR is +-clip.
%                 NaN is an error naming the column. LLR is then the
%                 a-posteriori LLR: it includes each bit's own prior.
%     'output'    'posterior' (default) or 'extrinsic' (the soft methods):
%                 the extrinsic LLR, for the decoder of an iterative
%                 receiver, is the LLR of the metric without the bit's own
%                 prior, Le = Lpost - La of the unclipped Lpost, then clipped:
%                 sign(Le)*min(|Le|, clip). It stays defined for a known bit
%                 (La = +-Inf: from a search without that bit's prior).
%                 Without priors both outputs are the same. LLR - La with
%                 the posterior output is not it under clipping (La = 30,
%                 clip 8: a bit whose extrinsic value is +1.6 has LLR 8, and
%                 LLR - La = -22).
%     'fill'      'flip' (default) or 'clip': how 'kbest' answers a bit
%                 without a counter-hypothesis in its list (see 'kbest').
%     'tol'       'app': the largest change of a returned LLR that the
%                 dropped leaves may make, absolute, in LLR units (default
%                 1e-9; 0 visits every leaf), >= 0 and finite.
%     'iterations' 'mmse-pic' (default 1) and 'ep' (default 10): a positive
%                 integer, at most 100.
%     'damping'   'ep': beta in [0, 1) (default 0.9).
%     'K'         the list length of 'kbest' (default 16), a positive
%                 integer of any numeric class (4, int32(4)).
%     'ordering'  'sqrd' (default: sorted QR) or 'none' (the QR methods).
%                 For the exact methods ('maxlog', 'ml') it changes the speed
%                 only.
%   An option that the method has no use for is an error ("K has no use for
%   'maxlog' ('kbest' takes it)").
%   Outputs
%     LLR   (Nt*log2(M))-by-K: antenna 1's bits first, each antenna's bits in
%           the column order of BITS. LLR = ln P(b=0)/P(b=1), positive means
%           0 (the sign of Octave's and MATLAB's demodulators), from squared
%           distances divided by N0: 'app' exactly, the others in max-log
%           form, (least metric with the bit 1) - (least metric with the bit
%           0), the linear ones per stream. The hard methods give +-clip with the
%           decision's sign, so LLR < 0 gives the decided bits while clip > 0;
%           so it does, with the posterior output, for 'maxlog' (the point of
%           least metric) and the per-stream methods, but not always for 'app'
%           (bitwise MAP signs), 'kbest' (above) or the extrinsic output
%           (without the bit's own prior). With clip 0 every LLR is +-0: the hard
%           methods keep the decided bit in the sign (signbit(LLR) is 1 for
%           a 1); IDX gives the decisions of every method.
%     IDX   Nt-by-K: 1-based indices into CONST of the decided points (for
%           'maxlog' the point of least metric), in the antenna order of H
%           whatever the ordering.
%     INFO  struct: method; nodes (1-by-K, the search's candidates, for
%           'maxlog', 'app', 'ml' and 'kbest'; empty otherwise); search ('real':
%           the real-valued search on odd integers, 'complex': the search
%           over complex antenna levels, 'linear'); ordering; output
%           ('posterior' or 'extrinsic'); filled (1-by-K, the bits 'kbest'
%           filled per column; empty for the other methods).
%
%   Square QAM and PAM on a uniform grid whose labels split into bits of the
%   real part and bits of the imaginary part (Gray QAM as LTE, NR and Wi-Fi
%   use it, with any bit order) run on the real-valued search of PLINDEN_LLR
%   and PLINDEN ('ml'); any other constellation and labels (PSK, APSK, cross
%   QAM, custom labels) on a search whose levels are the complex antennas.
%   Both give the exact max-log LLRs and the exact closest point.
%
%   Threads, Ctrl-C and errors as PLINDEN_BATCH: the results do not depend on
%   the thread count (LATBOX_NUM_THREADS); Ctrl-C stops every method, within
%   a long column too; every input is checked before the work starts, with
%   messages naming the argument, column or page ("Y column 3 must not
%   contain NaN or Inf", "H page 2 must have full column rank", "N0 must be
%   positive and finite"). A column whose metrics overflow (Y or H near the
%   limits of double) has no answer: "Y column 3 is too large for H: it
%   overflows", from every method (PLINDEN_LLR raises the same). Every error
%   carries an identifier latbox:mimo_detect:<what>, <what> the argument
%   named first in the message (Y, H, N0, const, bits, method, clip, prior,
%   output, tol, fill, K, ordering, iterations, damping), or option, usage,
%   overflow or interrupted: catch err;
%   err.identifier.
%
%   Example
%     c = [-3 -1 1 3]; [re, im] = meshgrid(c, c);
%     const = (re(:) + 1i*im(:)) / sqrt(10);          % 16-QAM
%     g = [0 0; 0 1; 1 1; 1 0];                        % Gray labels of c
%     [jr, ji] = meshgrid(1:4, 1:4);                   % re(:) = c(jr(:)), im(:) = c(ji(:))
%     bits = [g(jr(:), :), g(ji(:), :)];               % real bits, imaginary bits
%     H = (randn(4, 4, 10) + 1i*randn(4, 4, 10)) / sqrt(2);
%     sent = randi(16, 4, 80); Y = zeros(4, 80); N0 = 0.05;
%     for k = 1:80
%       Y(:, k) = H(:, :, ceil(k/8)) * const(sent(:, k)) + ...
%                 sqrt(N0/2) * (randn(4, 1) + 1i*randn(4, 1));
%     end
%     [llr, idx, info] = mimo_detect(Y, H, N0, const, bits, 'maxlog');
%     symbol_errors = nnz(idx ~= sent)
%     [~, idx_ml] = mimo_detect(Y, H, N0, const, bits, 'ml');
%     isequal(idx, idx_ml)                             % 1: the same closest points
%
%   See also PLINDEN_LLR, PLINDEN_BATCH, QUORVIN_BATCH, ZARROW_BATCH.

% This file holds the help text; the MEX file mimo_detect beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['mimo_detect: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
