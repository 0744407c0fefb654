% SPDX-License-Identifier: BSD-3-Clause
function sigma = exit_jinv(I)
%EXIT_JINV The inverse of the J function.
%   SIGMA = EXIT_JINV(I) is the sigma >= 0 with EXIT_J(SIGMA) = I, element by
%   element, for I in [0, 1]: bisection on sigma until the bracket is a few
%   ulps wide, each step one quadrature of EXIT_J (not a curve fit).
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
    print_usage();
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
  if I == 0
    s = 0;
    return;
  end
  if I == 1
    s = Inf;
    return;
  end
  lo = 0; hi = 64;  % exit_j(64) is 1
  for it = 1:200
    mid = (lo + hi) / 2;
    if mid <= lo || mid >= hi
      break;  % the bracket is two adjacent doubles
    end
    if exit_j(mid) < I
      lo = mid;
    else
      hi = mid;
    end
  end
  s = (lo + hi) / 2;
end
