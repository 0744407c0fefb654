% SPDX-License-Identifier: BSD-3-Clause
function bench_octave(workdir, full)
% Makes the benchmark problems, times kelvane (single calls, and per column of kelvane_batch
% on one thread) and Octave's qp on them, and writes the problems and both solutions to
% workdir for bench_scipy.py and report.py.
%   Families: 'well' (R from the QR of a Gaussian matrix), 'ill' and 'extreme'
%   (singular values spread from 1 to 1e-6 and 1e-8). y = R*x0 with x0 uniform in
%   [-2, 2], so about half of the unconstrained solution lies outside the box; u = 1.
%   qp takes about 40 s at n = 512: it runs on the first instance of each family only,
%   unless full is true.
  if nargin < 2, full = false; end
  sizes = [8 32 128 512];
  seeds = 1:3;
  fid = fopen(fullfile(workdir, 'octave.csv'), 'w');
  fprintf(fid, 'family,n,seed,t_kelvane,passes,t_qp,t_batch\n');
  for family = {'well', 'ill', 'extreme'}
    for n = sizes
      for seed = seeds
        [R, y] = make_problem(family{1}, n, seed);
        name = sprintf('%s_%d_%d', family{1}, n, seed);
        write_vector(fullfile(workdir, [name '_R.bin']), R(:));
        write_vector(fullfile(workdir, [name '_y.bin']), y);
        start = zeros(n + 2, 1);
        % kelvane, called as users call it
        [x, ~, passes] = kelvane(y, R, 1, start, 0);
        t_kelvane = time_kelvane(y, R, start, 0.3);
        t_batch = time_batch(y, R, start, 0.3);
        write_vector(fullfile(workdir, [name '_x_kelvane.bin']), x);
        % Octave's qp on the same problem: min 0.5 x'(R'R)x - (R'y)'x over the box
        if ~full && n == 512 && seed > 1
          t_qp = NaN; xq = NaN(n, 1);
        else
          H = R' * R; H = (H + H') / 2; q = -R' * y;
          tic; xq = qp(zeros(n, 1), H, q, [], [], -ones(n, 1), ones(n, 1)); t_qp = toc;
          if t_qp < 0.3
            t_qp = time_calls(@() qp(zeros(n, 1), H, q, [], [], -ones(n, 1), ones(n, 1)), 0.3);
          end
        end
        write_vector(fullfile(workdir, [name '_x_qp.bin']), xq);
        fprintf(fid, '%s,%d,%d,%.9g,%d,%.9g,%.9g\n', family{1}, n, seed, t_kelvane, passes, ...
                t_qp, t_batch);
        fflush(fid);
      end
    end
  end
  fclose(fid);
end

function [R, y] = make_problem(family, n, seed)
  randn('seed', 1000 * n + seed); rand('seed', 1000 * n + seed);
  if strcmp(family, 'well')
    A = randn(n);
  else
    [U, ~] = qr(randn(n)); [V, ~] = qr(randn(n));
    A = U * diag(logspace(0, -6 - 2 * strcmp(family, 'extreme'), n)) * V';
  end
  [~, R] = qr(A);
  R = triu(R);
  y = R * (4 * rand(n, 1) - 2);
end

function t = time_kelvane(y, R, start, budget)
% Seconds per call of x = kelvane(...) written out in a loop, as a user's script calls it
% (through a function handle Octave adds several microseconds per call); best batch.
  tic; x = kelvane(y, R, 1, start, 0); first = toc;
  batch = max(1, ceil(budget / 10 / max(first, 1e-7)));
  t = Inf; spent = first;
  while spent < budget
    tic;
    for i = 1:batch
      x = kelvane(y, R, 1, start, 0);
    end
    el = toc;
    t = min(t, el / batch); spent = spent + el;
  end
end

function t = time_batch(y, R, start, budget)
% Seconds per column of kelvane_batch on one thread over copies of the problem (the solver
% and the batch call's share of the host, without a call per problem); best of the calls.
  K = max(1, min(2000, round(2e5 / numel(R))));
  Y = repmat(y, 1, K);
  setenv('LATBOX_NUM_THREADS', '1');
  X = kelvane_batch(Y, R, 1, start, 0);
  if ~isequal(X(:, end), kelvane(y, R, 1, start, 0))
    error('kelvane_batch differs from kelvane');
  end
  t = Inf; spent = 0;
  while spent < budget
    tic; X = kelvane_batch(Y, R, 1, start, 0); el = toc;
    t = min(t, el / K); spent = spent + el;
  end
  unsetenv('LATBOX_NUM_THREADS');
end

function t = time_calls(f, budget)
% Seconds per call: repeat until the budget is spent (at least 3 calls), best of the
% batches of one tenth of the calls.
  tic; f(); first = toc;
  batch = max(1, ceil(budget / 10 / max(first, 1e-7)));
  best = Inf; spent = first; calls = 0;
  while spent < budget || calls < 3
    tic;
    for i = 1:batch
      f();
    end
    el = toc;
    best = min(best, el / batch);
    spent = spent + el; calls = calls + batch;
  end
  t = best;
end

function write_vector(file, v)
  fid = fopen(file, 'w');
  fwrite(fid, v, 'double');
  fclose(fid);
end
