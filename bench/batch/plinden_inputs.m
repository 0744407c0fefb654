% SPDX-License-Identifier: BSD-3-Clause
function args = plinden_inputs(f, u)
% The arguments of plinden_batch on a frame of batch_frame: the integer form with the box
% [0, u] and, per column, the decision-feedback point's distance as the radius (with a
% margin for rounding).
  K = size(f.Yi, 2);
  A = (tessaly_batch(f.Yt, f.R, u) + u) / 2;   % the decision-feedback point
  radius = zeros(1, K);
  for p = 1:size(f.R, 3)
    cols = (p - 1) * f.c + 1 : p * f.c;
    radius(cols) = sum((f.Yi(:, cols) - f.R(:, :, p) * A(:, cols)) .^ 2, 1);
  end
  args = {f.Yi, f.R, radius * (1 + 1e-9) + 1e-300, 0, u};
end
