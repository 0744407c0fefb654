% SPDX-License-Identifier: BSD-3-Clause
function [IE, IAm] = exit_curve(extrinsic, b, IA, noise)
%EXIT_CURVE The EXIT curve of any soft-in soft-out block.
%   IE = EXIT_CURVE(EXTRINSIC, B, IA) measures, for each a-priori MI in the
%   vector IA, the MI of the block's extrinsic output: a-priori LLRs
%   LA = PRIOR_LLRS(B, IA(i)) of the bits B go in, LE = EXTRINSIC(LA) comes
%   out (the size of B, extrinsic: without each bit's own prior) and
%   IE(i) = LLR_MI(LE, B). EXTRINSIC is a function handle: the decoder's
%   (EXIT_DECODER_CURVE), or a detector's that maps priors on the coded bits
%   to extrinsic LLRs at one SNR, for the two curves of an iterative
%   receiver's EXIT chart. LLRs are ln P(b=0)/P(b=1) throughout.
%   [IE, IAM] = EXIT_CURVE(...) also gives the MI of the a-priori LLRs as
%   drawn (IA within the Monte Carlo error).
%   EXIT_CURVE(..., N) takes the standard normal values of PRIOR_LLRS:
%   size(B) by numel(IA) (one page per point), for a study's own stream.
%
%   Example
%     b = randi([0 1], 1, 2e4);                  % a repetition-free "block":
%     IE = exit_curve(@(La) La, b, [0.2 0.8]);   % the identity passes IA on
%     all(abs(IE - [0.2 0.8]) < 0.02)            % 1
%
%   See also EXIT_DECODER_CURVE, PRIOR_LLRS, LLR_MI.
  if nargin < 3 || nargin > 4
    error('latbox:exit_curve:usage', 'USAGE: [IE, IAm] = exit_curve(extrinsic, b, IA, noise)');
  end
  if ~isa(extrinsic, 'function_handle')
    error('latbox:exit_curve:extrinsic', 'exit_curve: EXTRINSIC must be a function handle');
  end
  IE = zeros(size(IA));
  IAm = zeros(size(IA));
  for i = 1:numel(IA)
    if nargin == 4
      La = prior_llrs(b, IA(i), reshape(noise(numel(b) * (i-1) + (1:numel(b))), size(b)));
    else
      La = prior_llrs(b, IA(i));
    end
    Le = extrinsic(La);
    if ~isequal(size(Le), size(b))
      error('latbox:exit_curve:extrinsic', 'exit_curve: EXTRINSIC(LA) must have the size of b');
    end
    IE(i) = llr_mi(Le, b);
    IAm(i) = llr_mi(La, b);
  end
end
