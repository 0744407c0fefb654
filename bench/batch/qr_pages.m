% SPDX-License-Identifier: BSD-3-Clause
function args = qr_pages(n, P)
% The arguments of quorvin_batch on P pages: the QR factors of P random n-by-n Gaussian
% matrices and delta 0.75 (bench_batch and bench_threads alike).
  Q = zeros(n, n, P); R = zeros(n, n, P);
  for p = 1:P
    [Q(:, :, p), R(:, :, p)] = qr(randn(n));
  end
  args = {Q, R, 0.75};
end
