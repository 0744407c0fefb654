% SPDX-License-Identifier: BSD-3-Clause
function f = batch_frame(n, K, P, u)
% F = BATCH_FRAME(N, K, P, U): a frame of K vectors over P channels (K/P columns each) for
% the batch benchmarks. R from qr of randn channels H; Yt = Q'*(H*s + w) at 20 dB with s
% from the (U+1)-PAM alphabet {-U, ..., -1, 1, ..., U}; Yi = (Yt + U*R*1)/2, the integer form
% (s + U)/2 in {0..U}. F.c is the columns per channel.
  c = K / P;
  es = ((u + 1)^2 - 1) / 3;                        % mean energy of the (u+1)-PAM symbols
  sigma = sqrt(n * es / 10^(20 / 10));
  f.R = zeros(n, n, P); f.Yt = zeros(n, K); f.Yi = zeros(n, K);
  s = 2 * randi([0, u], n, K) - u;
  for p = 1:P
    H = randn(n);
    [Q, R] = qr(H);
    cols = (p - 1) * c + 1 : p * c;
    f.R(:, :, p) = R;
    f.Yt(:, cols) = Q' * (H * s(:, cols) + sigma * randn(n, c));
    % integer form: s = 2*a - u with a in {0, ..., u}
    f.Yi(:, cols) = (f.Yt(:, cols) + u * R * ones(n, 1)) / 2;
  end
  f.c = c;
end
