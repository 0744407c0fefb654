% SPDX-License-Identifier: BSD-3-Clause
function [IE, IAm] = exit_decoder_curve(code, IA, k, frames, varargin)
%EXIT_DECODER_CURVE The EXIT curve of CONV_DECODE on the code bits.
%   IE = EXIT_DECODER_CURVE(CODE, IA, K, FRAMES) encodes FRAMES random frames
%   of K info bits with CODE (CONV_CODE, terminated), gives the decoder
%   a-priori LLRs of the code bits with MI IA(i) (PRIOR_LLRS: consistent
%   Gaussian), as an iterative receiver's detector would hand them over,
%   and measures the MI of CONV_DECODE's extrinsic code-bit LLRs LC
%   ('output', 'extrinsic': without each bit's own input) by LLR_MI: the
%   decoder's transfer curve I_E(I_A), plotted with its axes swapped in an
%   EXIT chart. It is EXIT_CURVE with the decoder as the block, so a
%   detector's curve (priors on the coded bits in, extrinsic LLRs out) is
%   measured the same way beside it.
%   EXIT_DECODER_CURVE(..., 'method', M) passes 'logmap' (default) or
%   'maxlog' to CONV_DECODE; 'terminate', false for unterminated frames.
%   [IE, IAM] = ... also gives the measured MI of the priors.
%
%   Example
%     code = conv_code(3, [7 5]);
%     IE = exit_decoder_curve(code, [0.1 0.5 0.9], 500, 20);
%     all(diff(IE) > 0) && IE(3) > 0.9   % 1: rising, near 1 at the top
%
%   See also EXIT_CURVE, CONV_DECODE, PRIOR_LLRS, LLR_MI.
  if nargin < 4
    error('latbox:exit_decoder_curve:usage', 'USAGE: [IE, IAm] = exit_decoder_curve(code, IA, k, frames, Name, Value, ...)');
  end
  method = 'logmap';
  terminate = true;
  for a = 1:2:numel(varargin)
    switch lower(varargin{a})
      case 'method'
        method = varargin{a + 1};
      case 'terminate'
        terminate = logical(varargin{a + 1});
      otherwise
        error('latbox:exit_decoder_curve:option', ...
              'exit_decoder_curve: no option ''%s'' (known: method, terminate)', varargin{a});
    end
  end
  U = randi([0 1], k, frames);
  C = conv_encode(U, code, 'terminate', terminate);
  [IE, IAm] = exit_curve(@(La) extrinsic_code_bits(La, code, method, terminate), C, IA);
end

function Le = extrinsic_code_bits(La, code, method, terminate)
  [~, Le] = conv_decode(La, code, 'output', 'extrinsic', 'method', method, 'terminate', terminate);
end
