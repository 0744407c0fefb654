% SPDX-License-Identifier: BSD-3-Clause
function bench_soft_threads(varargin)
% Vectors per second of plinden_llr from Octave on one thread (LATBOX_NUM_THREADS=1) and
% on every CPU (LATBOX_NUM_THREADS unset), beside plinden_batch (the hard search) on the
% same frames. Frames: K vectors of Nt x Nt complex Rayleigh channels (CN(0,1) entries) in
% real form [A -B; B A], 8 vectors per channel, M-PAM on every real level, noise N0/2 per
% real entry, at the SNR per receive antenna (Nt*Es/N0) where the hard decision's bit
% error rate is about 1e-2; R and Q'*y from qr with a positive diagonal. The runs of the
% two thread settings alternate; medians. Ends with an error when the results differ
% between the thread counts.
%
% Options (name, value): 'runs' (5), 'scale' (1: multiplies every K), 'seed' (1).
  opt = struct('runs', 5, 'scale', 1, 'seed', 1);
  for k = 1:2:numel(varargin)
    opt.(varargin{k}) = varargin{k + 1};
  end
  randn('state', opt.seed); rand('state', opt.seed);
  % name, Nt, M, SNR (dB), K for each clip, clips
  cases = {'4x4 16-QAM', 4, 4, 19, [8000 8000 2000], [8 20 Inf]
           '4x4 64-QAM', 4, 8, 26, [4000 2000 200], [8 20 Inf]
           '8x8 16-QAM', 8, 4, 17, [2000 400 40], [8 20 Inf]};
  printf('%d CPUs. Vectors per second (median of %d runs); in brackets the speed-up of every CPU over one thread.\n\n', ...
         nproc(), opt.runs);
  printf('| problem | SNR (dB) | search | K | one thread | every CPU | nodes per vector |\n');
  printf('|---|---|---|---|---|---|---|\n');
  bad = {};
  for c = 1:rows(cases)
    [name, nt, M, snr, Ks, clips] = cases{c, :};
    Kmax = 8 * ceil(max(Ks) * opt.scale / 8);
    [Y, R, N0] = frame(nt, M, snr, Kmax);
    n = 2 * nt;
    % the hard search on the integer form: s = 2a - (M-1), a in [0, M-1]
    Yi = zeros(size(Y));
    for p = 1:size(R, 3)
      cols = (p - 1) * 8 + (1:8);
      Yi(:, cols) = Y(:, cols) + (M - 1) * R(:, :, p) * ones(n, 1);
    end
    K = 8 * ceil(Ks(1) * opt.scale / 8);
    [t1, tn, same] = timed(@() plinden_batch(Yi(:, 1:K), 2 * R(:, :, 1:K/8), Inf, 0, M - 1), 2, opt.runs);
    printf('| %s | %g | hard (plinden_batch) | %d | %.3g | %.3g [%.2f×] | |\n', name, snr, K, ...
           K / t1, K / tn, t1 / tn);
    if ~same, bad{end + 1} = sprintf('%s hard', name); end
    for j = 1:numel(clips)
      K = 8 * ceil(Ks(j) * opt.scale / 8);
      Yk = Y(:, 1:K); Rk = R(:, :, 1:K/8);
      [t1, tn, same, out] = timed(@() plinden_llr(Yk, Rk, M, N0, clips(j)), 3, opt.runs);
      printf('| %s | %g | soft, clip %g | %d | %.3g | %.3g [%.2f×] | %.0f |\n', name, snr, ...
             clips(j), K, K / t1, K / tn, t1 / tn, mean(out{3}));
      if ~same, bad{end + 1} = sprintf('%s clip %g', name, clips(j)); end
    end
  end
  if ~isempty(bad)
    error('bench_soft_threads: results differ between thread counts: %s', strjoin(bad, ', '));
  end
end

function [Y, R, N0] = frame(nt, M, snr, K)
  n = 2 * nt;
  Es = 2 * (M^2 - 1) / 3;
  N0 = nt * Es / 10^(snr / 10);
  P = K / 8;
  Y = zeros(n, K); R = zeros(n, n, P);
  for p = 1:P
    A = randn(nt) / sqrt(2); B = randn(nt) / sqrt(2);
    H = [A -B; B A];
    s = 2 * randi(M, n, 8) - M - 1;
    y = H * s + sqrt(N0 / 2) * randn(n, 8);
    [Q, Rp] = qr(H);
    D = diag(sign(diag(Rp)));
    R(:, :, p) = D * Rp;
    Y(:, (p - 1) * 8 + (1:8)) = D * (Q' * y);
  end
end

% Median seconds of f() (nout outputs) on one thread and on every CPU, runs alternating;
% whether the outputs agree bit for bit; the outputs.
function [t1, tn, same, on] = timed(f, nout, runs)
  t = zeros(runs, 2);
  o1 = cell(1, nout); on = cell(1, nout);
  for r = 1:runs
    setenv('LATBOX_NUM_THREADS', '1');
    tic; [o1{:}] = f(); t(r, 1) = toc;
    unsetenv('LATBOX_NUM_THREADS');
    tic; [on{:}] = f(); t(r, 2) = toc;
  end
  t1 = median(t(:, 1)); tn = median(t(:, 2));
  same = isequal(o1, on);
end
