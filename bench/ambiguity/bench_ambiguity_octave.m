% SPDX-License-Identifier: BSD-3-Clause
function bench_ambiguity_octave(problem_file)
% One call of ambiguity_fix from Octave at n = 20 against the routine's own time on the same
% problem (written by bench_ambiguity), and ambiguity_fix_batch on 1 and 2 threads.
  fid = fopen(problem_file); head = fscanf(fid, '%f', 2); n = head(1); routine = head(2);
  v = fscanf(fid, '%f'); fclose(fid);
  ahat = v(1:n); Q = reshape(v(n + 1:end), n, n);
  for k = 1:200, ambiguity_fix(ahat, Q); end
  runs = zeros(1, 9); calls = 2000;
  for r = 1:9
    t = tic;
    for k = 1:calls, [a, s] = ambiguity_fix(ahat, Q); end
    runs(r) = toc(t) / calls;
  end
  printf('One call at n = %d (afix and sqnorm asked): %.1f us (median of 9 runs of %d calls); the routine %.1f us; difference %.1f us\n', ...
         n, 1e6 * median(runs), calls, 1e6 * routine, 1e6 * (median(runs) - routine));
  [~, ~, info] = ambiguity_fix(ahat, Q);
  t = tic; for k = 1:calls, [a, s, info] = ambiguity_fix(ahat, Q); end
  printf('With info as well (Z, D, fixed): %.1f us per call\n\n', 1e6 * toc(t) / calls);

  addpath(fullfile(fileparts(mfilename('fullpath')), '..', '..', 'demo'));
  K = 2000; rand('seed', 5); randn('seed', 5);
  [a0, Q0] = study_gnss_problem(3, 12, 2);
  A = a0 + randn(numel(a0), K) .* 0.05;
  printf('ambiguity_fix_batch, K = %d epochs of n = %d, one Q:\n\n| threads | time (ms) | speed-up |\n|---|---|---|\n', K, numel(a0));
  base = NaN;
  for threads = [1 2]
    setenv('LATBOX_NUM_THREADS', num2str(threads));
    ambiguity_fix_batch(A(:, 1:10), Q0);
    best = Inf;
    for r = 1:5, t = tic; ambiguity_fix_batch(A, Q0); best = min(best, toc(t)); end
    if threads == 1, base = best; end
    printf('| %d | %.1f | %.2f |\n', threads, 1e3 * best, base / best);
  end
  unsetenv('LATBOX_NUM_THREADS');
end
