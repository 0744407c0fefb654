% SPDX-License-Identifier: BSD-3-Clause
function sigma = exit_jinv(I)
%EXIT_JINV The inverse of the J function.
%   SIGMA = EXIT_JINV(I) is the sigma >= 0 with EXIT_J(SIGMA) = I, element by
%   element, for I in [0, 1]: a bracket from a grid of J (sigma in steps of
%   0.25 up to 20, computed once per session), then a root search in it (the
%   Illinois form of regula falsi) until the bracket is a few ulps wide or
%   J(sigma) is I exactly, each step one quadrature of EXIT_J (not a curve
%   fit): some 40 ms an element.
%   exit_jinv(exit_j(s)) = s within 1e-9 for s in [0.01, 10]. J flattens
%   towards 1: beyond sigma of about 11 its slope is so small that the
%   rounding of J moves sigma by more than 1e-9, and beyond about 17 J is 1
%   in double precision; there exit_jinv gives a sigma whose J equals I
%   within a few ulps. exit_jinv(0) = 0 and exit_jinv(1) = Inf (MI 1: known
%   bits, as PRIOR_LLRS gives for IA = 1).
%
%   Example
%     s = exit_jinv(exit_j(2.5));
%     abs(s - 2.5) < 1e-9   % 1
%
%   See also EXIT_J, PRIOR_LLRS.
  if nargin ~= 1
    error('latbox:exit_jinv:usage', 'USAGE: sigma = exit_jinv(I)');
  end
  if ~isreal(I) || any(isnan(I(:))) || any(I(:) < 0) || any(I(:) > 1)
    error('latbox:exit_jinv:I', 'exit_jinv: I must be real, in [0, 1]');
  end
  sigma = zeros(size(I));
  for k = 1:numel(I)
    sigma(k) = invert(double(I(k)));
  end
end

function s = invert(I)
% Illinois (regula falsi that halves the weight of an end kept twice) on J(s) - I in a
% bracket of a grid over [0, 20] and 64 (J(64) is 1), down to a few ulps or an exact hit.
  if I == 0
    s = 0;
    return;
  end
  if I == 1
    s = Inf;
    return;
  end
  % the bracket from a grid of J (computed once per session), then the root search in it
  persistent grid values
  if isempty(grid)
    grid = [0:0.25:20, 64];
    values = exit_j(grid);
  end
  k = find(values < I, 1, 'last');
  lo = grid(k); hi = grid(k + 1); flo = values(k) - I; fhi = values(k + 1) - I; side = 0;
  if fhi == 0
    s = hi;
    return;
  end
  s = (lo + hi) / 2;
  for it = 1:300
    s = (lo * fhi - hi * flo) / (fhi - flo);
    if ~(s > lo && s < hi) || it > 100
      s = (lo + hi) / 2;  % a bisection step where the secant stalls
    end
    if s <= lo || s >= hi
      break;  % the bracket is two adjacent doubles
    end
    f = exit_j(s) - I;
    if f == 0
      return;
    elseif f < 0
      lo = s; flo = f;
      if side == -1, fhi = fhi / 2; end
      side = -1;
    else
      hi = s; fhi = f;
      if side == 1, flo = flo / 2; end
      side = 1;
    end
    if hi - lo <= 4 * eps(hi)
      break;
    end
  end
  s = (lo + hi) / 2;
end
