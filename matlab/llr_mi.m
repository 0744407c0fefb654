% SPDX-License-Identifier: BSD-3-Clause
function [I, gmi, s] = llr_mi(L, b)
%LLR_MI Mutual information estimate of bit LLRs, in bits per bit.
%   I = LLR_MI(L, B) is 1 - mean(log2(1 + exp(-(1-2B).*L))) over every
%   element: the bitwise mutual information between the bits B (0 or 1) and
%   their LLRs L, exact for consistent LLRs (as the a-priori LLRs of
%   PRIOR_LLRS are) and an estimate otherwise. L = ln P(b=0)/P(b=1), latbox's
%   sign (positive means 0). It is computed as log2 of 1 + e^x in a form
%   that neither overflows nor loses the small terms, for any |L|: a right
%   known bit (L = +Inf for b = 0) adds 1 bit, a wrong one makes I = -Inf.
%   [I, GMI, S] = LLR_MI(L, B) also gives the generalised MI: the largest
%   value over s > 0 of the same estimate for s*L, and that s (it rescales
%   LLRs that are over- or under-confident; GMI >= I). The estimate is
%   concave in s; S is found by bisection of its derivative to 1e-12
%   relative. S = Inf (GMI 1) when every LLR has the right sign, S = 0
%   (GMI 0) when no positive scale helps.
%
%   Inputs: L and B of the same size (any shape), B of 0 and 1, L without NaN.
%
%   Example
%     b = randi([0 1], 1, 1e5);  L = prior_llrs(b, 0.5);
%     abs(llr_mi(L, b) - 0.5) < 0.01       % 1: consistent LLRs of MI 0.5
%     [I, gmi, s] = llr_mi(3 * L, b);       % over-confident by 3
%     abs(s - 1/3) < 0.05 && gmi > I        % 1
%
%   See also PRIOR_LLRS, EXIT_J, EXIT_CURVE, CONV_DECODE.
  if nargin ~= 2
    error('latbox:llr_mi:usage', 'USAGE: [I, gmi, s] = llr_mi(L, b)');
  end
  if ~isequal(size(L), size(b))
    error('latbox:llr_mi:size', 'llr_mi: L and b must have the same size');
  end
  if any(isnan(L(:)))
    error('latbox:llr_mi:L', 'llr_mi: L must not contain NaN');
  end
  if any(b(:) ~= 0 & b(:) ~= 1)
    error('latbox:llr_mi:b', 'llr_mi: b must hold only 0 and 1');
  end
  z = (1 - 2 * double(b(:))) .* double(L(:));  % positive: the right sign
  if isempty(z)
    I = NaN; gmi = NaN; s = NaN;
    return;
  end
  I = mi_of(z, 1);
  if nargout < 2
    return;
  end
  if any(z == -Inf)
    gmi = -Inf; s = NaN;
    return;
  end
  zf = z(isfinite(z));
  if isempty(zf) || all(zf > 0)
    gmi = 1; s = Inf;
    return;
  end
  if slope(zf, 1e-300) <= 0
    gmi = 0; s = 0;
    return;
  end
  lo = -300; hi = 300;  % log10 s
  if slope(zf, 10^hi) > 0
    s = 10^hi;
  else
    while hi - lo > 1e-13 * max(1, abs(hi))
      mid = (lo + hi) / 2;
      if slope(zf, 10^mid) > 0
        lo = mid;
      else
        hi = mid;
      end
    end
    s = 10^((lo + hi) / 2);
  end
  gmi = mi_of(z, s);
end

function I = mi_of(z, s)
% 1 - mean log2(1 + e^{-s z}); log(1 + e^x) = max(x, 0) + log1p(e^{-|x|}).
  x = -s * z;
  t = max(x, 0) + log1p(exp(-abs(x)));
  t(x == -Inf) = 0;
  I = 1 - mean(t) / log(2);
end

function d = slope(z, s)
% The derivative in s, up to the factor 1/log(2): mean z / (1 + e^{s z}).
  d = mean(z ./ (1 + exp(s * z)));
end
