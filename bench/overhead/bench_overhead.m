% SPDX-License-Identifier: BSD-3-Clause
function bench_overhead()
% Call overhead from Octave: zarrow on n = 4 against a MEX file that does nothing.
% Prints a markdown table: median and spread (min-max) of 9 runs of 20000 calls.
  n = 4; calls = 20000; runs = 9;
  R = triu(randn(n)) + 3 * eye(n); y = randn(n, 1);
  t_empty = zeros(runs, 1); t_zarrow = zeros(runs, 1); t_tessaly = zeros(runs, 1);
  for r = 1:runs
    tic; for k = 1:calls, empty_mex(y, R); end; t_empty(r) = toc / calls;
    tic; for k = 1:calls, s = zarrow(y, R); end; t_zarrow(r) = toc / calls;
    tic; for k = 1:calls, s = tessaly(y, R, 3); end; t_tessaly(r) = toc / calls;
  end
  printf('| call | median (us) | min-max (us) | ratio to empty |\n|---|---|---|---|\n');
  row('empty MEX (y,R)', t_empty, median(t_empty));
  row('zarrow(y,R), n = 4', t_zarrow, median(t_empty));
  row('tessaly(y,R,3), n = 4', t_tessaly, median(t_empty));
end

function row(name, t, base)
  printf('| %s | %.3f | %.3f-%.3f | %.2f |\n', name, 1e6 * median(t), 1e6 * min(t), ...
         1e6 * max(t), median(t) / base);
end
