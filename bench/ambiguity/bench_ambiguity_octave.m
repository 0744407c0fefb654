% SPDX-License-Identifier: BSD-3-Clause
function bench_ambiguity_octave(problem_file)
% One call of ambiguity_fix from Octave at n = 20 against the routine's own time on the same
% problem (written by bench_ambiguity), an empty MEX call beside it when the bench-mex
% folder is on the path, and ambiguity_fix_batch on 1 and 2 threads in turns beside a plain
% two-thread compute loop (batch_profile('arithmetic', ...)) timed before and after.
  fid = fopen(problem_file); head = fscanf(fid, '%f', 2); n = head(1); routine = head(2);
  v = fscanf(fid, '%f'); fclose(fid);
  ahat = v(1:n); Q = reshape(v(n + 1:end), n, n);
  for k = 1:200, ambiguity_fix(ahat, Q); end
  % the least time per call over 500 runs of 20 calls, as bench_ambiguity times the routine
  % (on a loaded machine the least is what preemption does not inflate); the median beside it
  runs = 500; calls = 20;
  two = zeros(runs, 1); three = two; empty = two;
  have_empty = exist('empty_mex') == 3;
  for r = 1:runs
    t = tic;
    for k = 1:calls, [a, s] = ambiguity_fix(ahat, Q); end
    two(r) = toc(t) / calls;
    t = tic;
    for k = 1:calls, [a, s, info] = ambiguity_fix(ahat, Q); end
    three(r) = toc(t) / calls;
    if have_empty
      t = tic;
      for k = 1:calls, empty_mex(ahat, Q); end
      empty(r) = toc(t) / calls;
    end
  end
  printf('One call at n = %d: the least (and the median) time per call over %d runs of %d calls; the routine (C++, same problem, timed alike) %.1f us\n\n', ...
         n, runs, calls, 1e6 * routine);
  printf('| outputs | call, least (us) | call, median (us) | least - routine (us) |\n|---|---|---|---|\n');
  printf('| afix, sqnorm | %.1f | %.1f | %.1f |\n', 1e6 * min(two), 1e6 * median(two), ...
         1e6 * (min(two) - routine));
  printf('| afix, sqnorm, info (Z, D, fixed) | %.1f | %.1f | %.1f |\n', 1e6 * min(three), ...
         1e6 * median(three), 1e6 * (min(three) - routine));
  if have_empty
    printf('| an empty MEX function with the same inputs | %.1f | %.1f | |\n', 1e6 * min(empty), ...
           1e6 * median(empty));
  end
  printf('\n');

  addpath(fullfile(fileparts(mfilename('fullpath')), '..', '..', 'demo'));
  K = 2000; rand('seed', 5); randn('seed', 5);
  [a0, Q0] = study_gnss_problem(3, 12, 2);
  A = a0 + randn(numel(a0), K) .* 0.05;
  old = getenv('LATBOX_NUM_THREADS');
  plain = have_plain();
  if plain, p1 = arithmetic(5); end
  runs = 7; t = zeros(runs, 2);
  for threads = [1 2]
    setenv('LATBOX_NUM_THREADS', num2str(threads)); ambiguity_fix_batch(A(:, 1:10), Q0);
  end
  for r = 1:runs  % in turns, so that the load of the machine falls on both alike
    for threads = [1 2]
      setenv('LATBOX_NUM_THREADS', num2str(threads));
      s = tic; ambiguity_fix_batch(A, Q0); t(r, threads) = toc(s);
    end
  end
  if isempty(old), unsetenv('LATBOX_NUM_THREADS'); else, setenv('LATBOX_NUM_THREADS', old); end
  printf('ambiguity_fix_batch, K = %d epochs of n = %d, one Q; medians of %d runs in turns:\n\n', ...
         K, numel(a0), runs);
  printf('| threads | time (ms) | speed-up (median of the ratios) |\n|---|---|---|\n');
  printf('| 1 | %.1f | 1 |\n| 2 | %.1f | %.2f |\n', 1e3 * median(t(:, 1)), 1e3 * median(t(:, 2)), ...
         median(t(:, 1) ./ t(:, 2)));
  if plain
    p2 = arithmetic(5);
    printf('\nThe plain two-thread loop in the same run: speed-up %.2f before, %.2f after; the batch form reaches %.0f%% of it.\n', ...
           p1, p2, 100 * median(t(:, 1) ./ t(:, 2)) / max(p1, p2));
  else
    printf('\n(batch_profile not on the path: no plain loop beside it)\n');
  end
end

function ok = have_plain()
  ok = exist('batch_profile') == 3;
end

% The plain loop (as bench/batch): the median ratio of 1- and 2-thread times of one chain.
function ratio = arithmetic(runs)
  code = double('arithmetic');
  r = zeros(runs, 1);
  for i = 1:runs
    r(i) = batch_profile(code, 2e7, 1) / batch_profile(code, 2e7, 2);
  end
  ratio = median(r);
end
