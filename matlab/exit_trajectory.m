% SPDX-License-Identifier: BSD-3-Clause
function [IEdet, IEdec, Lu] = exit_trajectory(detect, decode, c, perm, iterations)
%EXIT_TRAJECTORY One frame of iterative detection and decoding, with its EXIT trajectory.
%   [IEDET, IEDEC, LU] = EXIT_TRAJECTORY(DETECT, DECODE, C, PERM, ITERATIONS) runs an
%   iterative receiver on one frame: ITERATIONS + 1 passes of detector and decoder that
%   exchange extrinsic LLRs through the interleaver PERM, and measures the MI of what
%   they hand each other. C holds the frame's code bits (0/1, in the decoder's order);
%   the detector sees them interleaved, as the bits C(PERM), so detector bit j is code
%   bit PERM(j). In pass i = 1 .. ITERATIONS+1:
%     LE = DETECT(LA)       the detector's extrinsic LLRs of the bits C(PERM), given the
%                           a-priori LLRs LA of the same bits (zeros in pass 1), a vector
%                           of numel(C) elements in the detector's order (any shape);
%     L(PERM) = LE          deinterleaved;
%     [LU(:, i), LC] = DECODE(L)  the decoder's info-bit LLRs to decide on (a-posteriori)
%                           and its extrinsic code-bit LLRs (without each bit's own input),
%                           numel(C) of them;
%     LA = LC(PERM)         the next pass's a-priori LLRs of the detector.
%   IEDET(i) = LLR_MI(LE, C(PERM)) and IEDEC(i) = LLR_MI(LC, C): the points of the
%   measured trajectory in the EXIT chart. Pass i goes from (IEDEC(i-1), IEDET(i)) (with
%   IEDEC(0) = 0: the detector's a-priori MI is the decoder's extrinsic MI of the pass
%   before) to (IEDEC(i), IEDET(i)), a step between the detector's curve and the
%   decoder's inverted curve. LU is numel(info bits)-by-(ITERATIONS+1): the decisions
%   LU(:, i) < 0 are the frame's info bits after i - 1 iterations. LLRs are
%   ln P(b=0)/P(b=1) throughout (positive means 0), in both directions.
%
%   DETECT is typically MIMO_DETECT(..., 'prior', LA, 'output', 'extrinsic') on the
%   frame's received vectors, and DECODE CONV_DECODE(L, CODE, 'output', 'extrinsic')
%   (without priors on the info bits its Lu is the a-posteriori one).
%
%   Example
%     % the detector: a BPSK channel's demapper, which takes no priors
%     code = conv_code(3, [7 5]);  u = randi([0 1], 200, 1);
%     c = conv_encode(u, code);    p = randperm(numel(c))';
%     Lch = 2 * (1 - 2 * c(p)) + randn(numel(c), 1);      % LLRs, detector order
%     dec = @(L) conv_decode(L, code, 'output', 'extrinsic');
%     [IEdet, IEdec, Lu] = exit_trajectory(@(La) Lch, dec, c, p, 1);
%     IEdet(1) == IEdet(2) && isequal(size(Lu), [200 2])   % 1: the priors change nothing
%
%   See also EXIT_CURVE, EXIT_DECODER_CURVE, MIMO_DETECT, CONV_DECODE, LLR_MI.
  if nargin ~= 5
    error('latbox:exit_trajectory:usage', ...
          'USAGE: [IEdet, IEdec, Lu] = exit_trajectory(detect, decode, c, perm, iterations)');
  end
  if ~isa(detect, 'function_handle') || ~isa(decode, 'function_handle')
    error('latbox:exit_trajectory:handle', 'exit_trajectory: DETECT and DECODE must be function handles');
  end
  c = c(:);
  n = numel(c);
  if ~isequal(sort(perm(:)), (1:n)')
    error('latbox:exit_trajectory:perm', 'exit_trajectory: PERM must be a permutation of 1:numel(c)');
  end
  if ~(isscalar(iterations) && iterations >= 0 && iterations == fix(iterations))
    error('latbox:exit_trajectory:iterations', 'exit_trajectory: ITERATIONS must be an integer >= 0');
  end
  perm = perm(:);
  ci = c(perm);
  IEdet = zeros(1, iterations + 1);
  IEdec = zeros(1, iterations + 1);
  La = zeros(n, 1);
  for i = 1:iterations + 1
    Le = detect(La);
    if numel(Le) ~= n
      error('latbox:exit_trajectory:detect', 'exit_trajectory: DETECT(LA) must give numel(c) LLRs');
    end
    IEdet(i) = llr_mi(Le(:), ci);
    L = zeros(n, 1);
    L(perm) = Le(:);
    [u, Lc] = decode(L);
    if numel(Lc) ~= n
      error('latbox:exit_trajectory:decode', 'exit_trajectory: DECODE(L) must give numel(c) code-bit LLRs');
    end
    if i == 1
      Lu = zeros(numel(u), iterations + 1);
    end
    Lu(:, i) = u(:);
    IEdec(i) = llr_mi(Lc(:), c);
    La = Lc(perm);
  end
end
