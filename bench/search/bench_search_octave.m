% SPDX-License-Identifier: BSD-3-Clause
function bench_search_octave(problem_file)
% plinden from Octave and the plain Octave-code search on the problems that
% bench_search wrote (the same lattices as the fplll comparison).
  fid = fopen(problem_file, 'r');
  rows = {};
  while true
    head = fgetl(fid);
    if ~ischar(head), break; end
    h = sscanf(head, '%f');
    n = h(1);
    R = reshape(sscanf(fgetl(fid), '%f'), n, n);
    y = sscanf(fgetl(fid), '%f');
    rows{end + 1} = struct('n', n, 'R', R, 'y', y, 'd', h(2));
  end
  fclose(fid);
  sizes = unique(cellfun(@(p) p.n, rows));
  printf('| n | plinden from Octave (ms) | Octave-code search (ms) | Octave-code Mnodes/s | Octave code / plinden |\n');
  printf('|---|---|---|---|---|\n');
  for n = sizes(:)'
    ps = rows(cellfun(@(p) p.n == n, rows));
    t_mex = zeros(numel(ps), 1); t_oct = NaN(numel(ps), 1); rate = NaN(numel(ps), 1);
    for k = 1:numel(ps)
      p = ps{k};
      reps = 0; tic;
      do
        [s, info] = plinden(p.y, p.R, Inf, -1e9, 1e9);
        reps++;
      until toc > 0.01
      t_mex(k) = toc / reps;
      if n <= 24                          % the Octave-code search gets slow beyond
        tic; [s2, info2, nodes] = plinden_octave(p.y, p.R, Inf, -1e9, 1e9); t_oct(k) = toc;
        rate(k) = nodes / t_oct(k);
        assert(isequal(s, s2) && info == info2, 'the two searches disagree');
      end
    end
    printf('| %d | %.4f | %.3f | %.3f | %.0f |\n', n, 1e3 * median(t_mex), 1e3 * median(t_oct), ...
           median(rate) / 1e6, median(t_oct) / median(t_mex));
  end
end
