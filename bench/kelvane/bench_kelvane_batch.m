% SPDX-License-Identifier: BSD-3-Clause
function bench_kelvane_batch()
% kelvane_batch against a loop of single kelvane calls, and on one thread against two and
% the default: K columns y = R*x0 (x0 uniform in [-2, 2], u = 1, cold start) on one channel
% R from the QR of a Gaussian matrix (the 'well' family of bench_octave.m), n = 8, 32, 128.
% Every batch result is checked bit for bit against the loop of single calls. Prints time
% per column, median [min] of the runs, taken in turns.
  printf('| n | K | (a) single calls | (b) batch, 1 thread | (c) 2 threads | (d) default | (a)/(b) | (b)/(c) | (b)/(d) |\n');
  printf('|---|---|---|---|---|---|---|---|---|\n');
  bad = {};
  for n = [8 32 128]
    K = 10000 * (n == 8) + 2000 * (n == 32) + 200 * (n == 128);
    randn('seed', 77 + n); rand('seed', 77 + n);
    [~, R] = qr(randn(n)); R = triu(R);
    Y = R * (4 * rand(n, K) - 2);
    I = zeros(n + 2, 1);
    single = zeros(n, K);
    runs = 7;
    ta = zeros(runs, 1); tb = ta; tc = ta; td = ta;
    for r = 1:runs
      tic;
      for k = 1:K
        single(:, k) = kelvane(Y(:, k), R, 1, I, 0);
      end
      ta(r) = toc / K;
      setenv('LATBOX_NUM_THREADS', '1');
      tic; X1 = kelvane_batch(Y, R, 1, I, 0); tb(r) = toc / K;
      setenv('LATBOX_NUM_THREADS', '2');
      tic; X2 = kelvane_batch(Y, R, 1, I, 0); tc(r) = toc / K;
      unsetenv('LATBOX_NUM_THREADS');
      tic; X3 = kelvane_batch(Y, R, 1, I, 0); td(r) = toc / K;
      if ~isequal(X1, single) || ~isequal(X2, single) || ~isequal(X3, single)
        bad{end + 1} = sprintf('n = %d', n);
      end
    end
    m = @(t) sprintf('%.2f us [%.2f]', 1e6 * median(t), 1e6 * min(t));
    printf('| %d | %d | %s | %s | %s | %s | %.1f | %.2f | %.2f |\n', n, K, m(ta), m(tb), ...
           m(tc), m(td), median(ta) / median(tb), median(tb) / median(tc), median(tb) / median(td));
  end
  if isempty(bad)
    printf('every batch result equals the loop of single calls bit for bit\n');
  else
    printf('batch results that differ from the single calls: %s\n', strjoin(unique(bad), ', '));
    error('kelvane_batch differs from kelvane');
  end
end
