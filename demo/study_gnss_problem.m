% SPDX-License-Identifier: BSD-3-Clause
function [ahat, Q, truth] = study_gnss_problem(constellations, satellites, frequencies, opts)
% [ahat, Q, truth] = study_gnss_problem(C, S, F, opts): one simulated single-epoch
% double-difference model, as tests/ambiguity_problems.h builds it: C constellations
% (each with its highest satellite as reference), S satellites in all (at least 2 per
% constellation and 4 double differences), F frequencies (L1, L2, L5), code and phase
% double differences with undifferenced sigmas opts.code_sigma (0.3 m) and
% opts.phase_sigma (0.003 m), random geometry (elevations 10..90 degrees). Q is the
% ambiguity block (cycles^2) of the least-squares covariance of [baseline; ambiguities];
% ahat is drawn from N(truth, Q), truth uniform integers in +-1e6.
  if nargin < 4, opts = struct(); end
  code = field_or(opts, 'code_sigma', 0.3);
  phase = field_or(opts, 'phase_sigma', 0.003);
  lambda = [0.19029367 0.24421021 0.25482805];
  C = constellations; F = frequencies;
  S = max(satellites, max(2 * C, C + 4));
  per = 2 * ones(1, C);
  for s = 2 * C + 1:S
    c = randi(C); per(c) = per(c) + 1;
  end
  G = []; W = [];                       % DD geometry and the weight of one frequency
  for c = 1:C
    el = (10 + 80 * sqrt(rand(per(c), 1))) * pi / 180;
    az = 2 * pi * rand(per(c), 1);
    u = [cos(el) .* sin(az), cos(el) .* cos(az), sin(el)];
    [~, ref] = max(el);
    others = setdiff(1:per(c), ref);
    G = [G; -(u(others, :) - u(ref, :))];
    p = numel(others);
    W = blkdiag(W, (eye(p) - ones(p) / (p + 1)) / 2);
  end
  nd = size(G, 1); n = nd * F;
  N = zeros(3 + n);
  for f = 1:F
    Wc = W / code^2; Wp = W / phase^2;
    N(1:3, 1:3) = N(1:3, 1:3) + G' * Wc * G + G' * Wp * G;
    idx = 3 + (f - 1) * nd + (1:nd);
    N(1:3, idx) = N(1:3, idx) + G' * Wp * lambda(f);
    N(idx, 1:3) = N(idx, 1:3) + lambda(f) * Wp * G;
    N(idx, idx) = N(idx, idx) + lambda(f)^2 * Wp;
  end
  Qx = inv(N);
  Q = Qx(4:end, 4:end);
  Q = (Q + Q') / 2;
  truth = randi([-1e6 1e6], n, 1);
  ahat = truth + chol(Q, 'lower') * randn(n, 1);
end

function v = field_or(s, name, default)
  if isfield(s, name), v = s.(name); else, v = default; end
end
