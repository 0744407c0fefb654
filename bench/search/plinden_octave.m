% SPDX-License-Identifier: BSD-3-Clause
function [symb, info, nodes] = plinden_octave(y, R, radius, lb, ub)
% The depth-first zig-zag search written in plain Octave code, as a user would write
% it without latbox: the baseline for the benchmark. Same visiting order, no skips.
  n = columns(R);
  pdist = zeros(n, 1); isum = zeros(n, 1); step = zeros(n, 1); cand = zeros(n, 1);
  symb = zeros(n, 1); info = -1; nodes = 0;
  k = n;
  [cand(k), step(k)] = start_level(y(k), isum(k), R(k, k));
  while true
    nodes = nodes + 1;
    e = (y(k) - isum(k)) - cand(k) * R(k, k);
    d = pdist(k) + e * e;
    leave = false;
    if d > radius
      leave = true;
    elseif cand(k) < lb || cand(k) > ub
      cand(k) = cand(k) + step(k);
      if step(k) > 0, step(k) = -step(k) - 1; else, step(k) = -step(k) + 1; end
    elseif k > 1
      isum(k - 1) = R(k - 1, k:n) * cand(k:n);
      pdist(k - 1) = d;
      k = k - 1;
      [cand(k), step(k)] = start_level(y(k), isum(k), R(k, k));
    else
      radius = d; symb = cand; info = 1;
      leave = true;
    end
    if leave
      if k == n, break; end
      k = k + 1;
      cand(k) = cand(k) + step(k);
      if step(k) > 0, step(k) = -step(k) - 1; else, step(k) = -step(k) + 1; end
    end
  end
end

function [c, st] = start_level(yk, isumk, rkk)
  c = floor((yk - isumk) / rkk + 0.5);
  e = (yk - isumk) - c * rkk;
  if e <= 0, st = -1; else, st = 1; end
end
