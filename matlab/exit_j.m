% SPDX-License-Identifier: BSD-3-Clause
function I = exit_j(sigma)
%EXIT_J The J function: the MI of consistent Gaussian LLRs.
%   I = EXIT_J(SIGMA) is J(sigma) = 1 - E[log2(1 + e^{-x})], x ~ N(sigma^2/2,
%   sigma^2): the mutual information between a bit and an LLR of mean
%   (1-2b)*sigma^2/2 and variance sigma^2 (latbox's sign, L = ln P(0)/P(1)),
%   element by element. It is computed by adaptive quadrature of the
%   expectation (1 - J itself, so that values near 1 keep their digits) to
%   1e-13 absolute and relative, not by a curve fit: J(1) = 0.16075,
%   J(2) = 0.48594, J(3) = 0.75998 (to 1e-10). J(0) = 0 and J(Inf) = 1;
%   beyond sigma of about 17, 1 - J falls below double precision and J is 1.
%
%   Example
%     round(exit_j([1 2 3]) * 1e5) / 1e5   % 0.16075 0.48594 0.75998
%
%   See also EXIT_JINV, PRIOR_LLRS, LLR_MI.
  if nargin ~= 1
    error('latbox:exit_j:usage', 'USAGE: I = exit_j(sigma)');
  end
  if ~isreal(sigma) || any(isnan(sigma(:))) || any(sigma(:) < 0)
    error('latbox:exit_j:sigma', 'exit_j: sigma must be real and non-negative');
  end
  I = zeros(size(sigma));
  for k = 1:numel(sigma)
    I(k) = 1 - exit_j_gap(double(sigma(k)));
  end
end

function g = exit_j_gap(s)
% 1 - J(s) = E[log2(1 + e^{-x})], x = s^2/2 + s t, t ~ N(0, 1).
  if s == 0
    g = 1;
    return;
  end
  if s == Inf
    g = 0;
    return;
  end
  mu = s^2 / 2;
  f = @(t) exp(-t.^2 / 2) / sqrt(2 * pi) .* softplus(-(mu + s * t)) / log(2);
  % the mass of the integrand lies where mu + s t is small: split there
  c = -mu / s;
  g = integral(f, -Inf, c, 'AbsTol', 1e-300, 'RelTol', 1e-13) + ...
      integral(f, c, Inf, 'AbsTol', 1e-300, 'RelTol', 1e-13);
end

function y = softplus(x)
  y = max(x, 0) + log1p(exp(-abs(x)));
end
