% SPDX-License-Identifier: BSD-3-Clause
function L = prior_llrs(b, IA, noise)
%PRIOR_LLRS Consistent Gaussian a-priori LLRs of a given mutual information.
%   L = PRIOR_LLRS(B, IA) gives, for bits B (0 or 1, any shape), LLRs
%   L = (1-2B)*sigma^2/2 + sigma*N, N standard normal, sigma = EXIT_JINV(IA):
%   consistent Gaussian LLRs (mean sigma^2/2 with latbox's sign, positive for
%   a 0, variance sigma^2) whose MI with B is IA, the a-priori source of
%   EXIT charts. IA = 0 gives zeros, IA = 1 gives +Inf for 0 and -Inf for 1
%   (known bits).
%   L = PRIOR_LLRS(B, IA, N) takes the standard normal values N (the size of
%   B) instead of drawing them with randn, for a study's own stream.
%
%   Example
%     b = randi([0 1], 1, 1e5);  L = prior_llrs(b, 0.7);
%     abs(llr_mi(L, b) - 0.7) < 0.01   % 1
%
%   See also EXIT_JINV, LLR_MI, EXIT_CURVE.
  if nargin < 2 || nargin > 3
    error('latbox:prior_llrs:usage', 'USAGE: L = prior_llrs(b, IA, noise)');
  end
  if any(b(:) ~= 0 & b(:) ~= 1)
    error('latbox:prior_llrs:b', 'prior_llrs: b must hold only 0 and 1');
  end
  if ~(isscalar(IA) && isreal(IA) && IA >= 0 && IA <= 1)
    error('latbox:prior_llrs:IA', 'prior_llrs: IA must be a scalar in [0, 1]');
  end
  if nargin < 3
    noise = randn(size(b));
  elseif ~isequal(size(noise), size(b))
    error('latbox:prior_llrs:noise', 'prior_llrs: N must have the size of b');
  end
  sign = 1 - 2 * double(b);
  if IA == 1
    L = sign * Inf;
    return;
  end
  sigma = exit_jinv(IA);
  L = sign * sigma^2 / 2 + sigma * noise;
end
