% SPDX-License-Identifier: BSD-3-Clause
function bench_batch(varargin)
% The batch forms against loops of single calls, from Octave. For each function, n and
% channel layout, the time per vector (per page for quorvin) of
%   (a) a loop of single calls, as a script would write it;
%   (b) the batch call with one thread (LATBOX_NUM_THREADS=1);
%   (c) the batch call with every CPU (LATBOX_NUM_THREADS unset);
%   (d) the host-free routine alone in a C++ loop over the same columns, on one thread
%       (batch_routine_loop, a benchmark MEX file that times its loop only; the second of
%       two passes, so that the outputs it writes are already in memory);
%   (e) a MEX call that only creates outputs of the same size and returns them: what
%       Octave itself spends on a call and its outputs, the part of (b) that no
%       gateway can take away.
% (b) to (e) are measured in turns within each run, so that the machine's other load
% weighs on all of them alike; medians of the runs (or lower quartiles, see 'statistic').
% Every result of (a) and (d) is checked against the batch call's, bit for bit. Ends with
% an error when one differs.
%
% Problems: R from qr of randn channels; Y = Q'*(H*s + w) at 20 dB with s from 4-PAM
% ({-3,-1,1,3}); the integer form (s + 3)/2 in {0..3} for zarrow and plinden (box [0,3],
% radius the decision-feedback point's distance per column); kelvane with u = 3, cold, and
% warm from morrit of the previous vector's solution on the same channel.
%
% Options (name, value): 'n' ([4 8 16]), 'K' (1e4), 'pages' (1e3, quorvin), 'runs' (7: the
% least; a short call gets up to 'max_runs', 41), 'single_runs' (3), 'seed' (1),
% 'statistic' ('median', or 'lower quartile' on a machine that other work keeps busy).
  opt = struct('n', [4 8 16], 'K', 1e4, 'pages', 1e3, 'runs', 7, 'max_runs', 41, ...
               'single_runs', 3, 'seed', 1, 'statistic', 'median');
  for k = 1:2:numel(varargin)
    opt.(varargin{k}) = varargin{k + 1};
  end
  randn('state', opt.seed); rand('state', opt.seed);
  u = 3; K = opt.K;
  fns = {'zarrow', 'tessaly', 'plinden', 'kelvane cold', 'kelvane warm', 'morrit', 'quorvin'};
  rows = {};
  bad = {};
  for n = opt.n
    for per = [K, 8]                               % columns per channel
      f = batch_frame(n, K, K / per, u);
      for name = fns
        fn = name{1};
        if strcmp(fn, 'morrit') && per ~= K, continue; end   % no channel to vary
        if exist(batch_name(fn)) ~= 3
          if per == K && n == opt.n(1), bad{end + 1} = sprintf('%s: no MEX file', batch_name(fn)); end
          continue;
        end
        if strcmp(fn, 'quorvin')
          if per ~= K, continue; end
          args = qr_pages(n, opt.pages);
          label = sprintf('%d pages', opt.pages);
        else
          args = batch_inputs(fn, f, u);
          if strcmp(fn, 'morrit')
            label = 'none';
          elseif per == K
            label = '1';
          else
            label = sprintf('1 per 8 columns (%d)', K / per);
          end
        end
        [r, problem] = measure(fn, args, opt);
        r.n = n; r.layout = label;
        rows{end + 1} = r;
        if ~isempty(problem), bad{end + 1} = sprintf('%s, n = %d, %s: %s', fn, n, label, problem); end
      end
    end
  end
  print_tables(fns, rows, opt);
  print_targets(rows);
  if ~isempty(bad)
    printf('\n**Results that differ from the batch call:**\n\n');
    printf('- %s\n', bad{:});
    error('bench_batch: %d results differ from the batch call', numel(bad));
  end
end

function name = batch_name(fn)
  name = [strtok(fn), '_batch'];
end

% The same call on the first K1 columns (pages for quorvin), block layout kept: K1 is a
% multiple of the columns per channel.
function small = first_columns(fn, args, K1)
  small = args;
  if strcmp(fn, 'quorvin')
    small{1} = args{1}(:, :, 1:K1); small{2} = args{2}(:, :, 1:K1);
    return;
  end
  K = size(args{1}, 2);
  small{1} = args{1}(:, 1:K1);
  if strcmp(fn, 'morrit'), return; end
  P = size(args{2}, 3);
  if P > 1, small{2} = args{2}(:, :, 1:K1 / (K / P)); end
  if strcmp(fn, 'plinden'), small{3} = args{3}(1:K1); end
  if strcmp(fn, 'kelvane warm'), small{4} = args{4}(:, 1:K1); small{5} = args{5}(1:K1); end
end

function t = call_batch(fn, args, calls)
  out = cell(1, batch_outputs(fn));
  name = batch_name(fn);
  tic;
  for i = 1:calls
    [out{:}] = feval(name, args{:});
  end
  t = toc / calls;
end

% (a)-(d) for one problem; problem is '' when every result agrees with the batch call.
function [r, problem] = measure(fn, args, opt)
  problem = '';
  units = size(args{1}, 2 + strcmp(fn, 'quorvin'));   % columns, or pages
  out = cell(1, batch_outputs(fn));
  unsetenv('LATBOX_NUM_THREADS');
  tic; [out{:}] = feval(batch_name(fn), args{:}); t0 = toc;
  % short calls get more runs (about 0.2 s of batch calls each), the median being steadier
  runs = max(opt.runs, min(opt.max_runs, floor(0.2 / t0)));
  % (a)
  ta = zeros(opt.single_runs, 1);
  for i = 1:opt.single_runs
    tic; single = single_loop(fn, args); ta(i) = toc / units;
  end
  if ~same(single, out{1}, fn, out), problem = 'the loop of single calls'; end
  % (b), (c), (d) in turns
  tb = zeros(runs, 1); tc = tb; td = tb; te = tb;
  code = double(strtok(fn));
  for i = 1:runs
    setenv('LATBOX_NUM_THREADS', '1');
    tb(i) = call_batch(fn, args, 1) / units;
    unsetenv('LATBOX_NUM_THREADS');
    tc(i) = call_batch(fn, args, 1) / units;
    [t, d1, d2] = batch_routine_loop(code, 2, args{:});
    td(i) = t(2) / units;
    tic; [t, e1, e2] = batch_routine_loop(code, 0, args{:}); te(i) = toc / units;
  end
  if strcmp(fn, 'quorvin')
    [m, n, P] = size(args{1});
    d = reshape(d1, [], P);
    ok = isequal(d(1:m * n, :), reshape(out{1}, [], P)) && ...
         isequal(d(m * n + 1:m * n + n * n, :), reshape(out{2}, [], P)) && ...
         isequal(d(m * n + n * n + 1:end, :), reshape(out{3}, [], P));
  elseif strcmp(fn, 'plinden')
    found = d2 == 1;
    ok = isequal(d2, out{2}) && isequal(d1(:, found), out{1}(:, found));
  else
    ok = isequaln(d1, out{1});
  end
  if ~ok && isempty(problem), problem = 'the routine loop'; end
  % scaling at a tenth of the size: K = 1000 columns (100 pages for quorvin)
  small = first_columns(fn, args, units / 10);
  calls = max(1, min(10, ceil(0.01 / (median(tb) * units / 10))));   % about 10 ms a sample
  tb1 = zeros(runs, 1); tc1 = tb1;
  for i = 1:runs
    setenv('LATBOX_NUM_THREADS', '1');
    tb1(i) = call_batch(fn, small, calls);
    unsetenv('LATBOX_NUM_THREADS');
    tc1(i) = call_batch(fn, small, calls);
  end
  m = statistic(opt);
  r = struct('fn', fn, 'a', m(ta), 'b', m(tb), 'c', m(tc), 'd', m(td), 'e', m(te), ...
             'b_spread', [min(tb), max(tb)], 'scale', m(tb) / m(tc), ...
             'scale_small', m(tb1) / m(tc1), 'units', units);
end

% The statistic of the runs: the median, or on a busy machine the lower quartile (the
% runs that other processes delayed least).
function m = statistic(opt)
  if strcmp(opt.statistic, 'lower quartile')
    m = @(t) quantile(t(:), 0.25);
  else
    m = @median;
  end
end

% Whether the loop's result equals the batch call's (plinden: the found columns and info).
function ok = same(single, batch_first, fn, out)
  if strcmp(fn, 'plinden')
    found = single.info == 1;
    ok = isequal(single.info, out{2}) && isequal(single.S(:, found), batch_first(:, found));
  elseif strcmp(fn, 'quorvin')
    ok = isequal(single.Q, out{1}) && isequal(single.R, out{2}) && isequal(single.U, out{3});
  else
    ok = isequaln(single, batch_first);
  end
end

% (a): the loop a script would write, one function per loop so that no dispatch is timed.
function S = single_loop(fn, args)
  switch fn
    case 'zarrow', S = loop_zarrow(args{:});
    case 'tessaly', S = loop_tessaly(args{:});
    case 'plinden', S = loop_plinden(args{:});
    case {'kelvane cold', 'kelvane warm'}, S = loop_kelvane(args{:});
    case 'morrit', S = loop_morrit(args{:});
    case 'quorvin', S = loop_quorvin(args{:});
  end
end

function S = loop_zarrow(Y, R)
  [n, K] = size(Y); P = size(R, 3); c = K / P;
  S = zeros(n, K);
  for p = 1:P
    Rp = R(:, :, p);
    for k = (p - 1) * c + 1 : p * c
      S(:, k) = zarrow(Y(:, k), Rp);
    end
  end
end

function S = loop_tessaly(Y, R, u)
  [n, K] = size(Y); P = size(R, 3); c = K / P;
  S = zeros(n, K);
  for p = 1:P
    Rp = R(:, :, p);
    for k = (p - 1) * c + 1 : p * c
      S(:, k) = tessaly(Y(:, k), Rp, u);
    end
  end
end

function out = loop_plinden(Y, R, radius, lb, ub)
  [n, K] = size(Y); P = size(R, 3); c = K / P;
  out.S = zeros(n, K); out.info = zeros(1, K);
  for p = 1:P
    Rp = R(:, :, p);
    for k = (p - 1) * c + 1 : p * c
      [out.S(:, k), out.info(k)] = plinden(Y(:, k), Rp, radius(k), lb, ub);
    end
  end
end

function X = loop_kelvane(Y, R, u, I, use)
  [n, K] = size(Y); P = size(R, 3); c = K / P;
  X = zeros(n, K);
  if size(I, 2) == 1, I = repmat(I, 1, K); end
  if numel(use) == 1, use = repmat(use, 1, K); end
  for p = 1:P
    Rp = R(:, :, p);
    for k = (p - 1) * c + 1 : p * c
      X(:, k) = kelvane(Y(:, k), Rp, u, I(:, k), use(k));
    end
  end
end

function I = loop_morrit(X, bound)
  [n, K] = size(X);
  I = zeros(n + 2, K);
  for k = 1:K
    I(:, k) = morrit(X(:, k), bound);
  end
end

function out = loop_quorvin(Q, R, delta)
  out.Q = Q; out.R = R; out.U = zeros(size(R));
  for p = 1:size(Q, 3)
    [q, r, uo] = quorvin(Q(:, :, p), R(:, :, p), delta);
    out.Q(:, :, p) = q; out.R(:, :, p) = r; out.U(:, :, p) = uo;
  end
end

function s = ns(t)
  if t * 1e9 < 100
    s = sprintf('%.1f', t * 1e9);
  else
    s = sprintf('%.0f', t * 1e9);
  end
end

function print_tables(fns, rows, opt)
  printf('Time per vector (per page for quorvin) in nanoseconds: %s of %d to %d runs ', ...
         opt.statistic, opt.runs, opt.max_runs);
  printf('((a): %d runs). K = %d columns (quorvin: %d pages of n-by-n);\n', ...
         opt.single_runs, opt.K, opt.pages);
  printf('the last two columns: (b)/(c), the speed-up of all threads over one, at K = %d and K = %d\n', ...
         opt.K, opt.K / 10);
  printf('(quorvin: %d and %d pages).\n', opt.pages, opt.pages / 10);
  for name = fns
    fn = name{1};
    printf('\n**%s**\n\n', fn);
    printf('| n | channels | (a) single calls | (b) batch, 1 thread [min-max] | (c) batch, all threads | (d) routine alone | (e) outputs alone | (b)/(d) | (a)/(b) | (c) speed-up | at a tenth |\n');
    printf('|---|---|---|---|---|---|---|---|---|---|---|\n');
    for i = 1:numel(rows)
      r = rows{i};
      if ~strcmp(r.fn, fn), continue; end
      printf('| %d | %s | %s | %s [%s-%s] | %s | %s | %s | %.2f | %.1f | %.2f | %.2f |\n', r.n, r.layout, ...
             ns(r.a), ns(r.b), ns(r.b_spread(1)), ns(r.b_spread(2)), ns(r.c), ns(r.d), ns(r.e), ...
             r.b / r.d, r.a / r.b, r.scale, r.scale_small);
    end
  end
end

% The targets at n = 8, on the layout that meets each least.
function print_targets(rows)
  printf('\nTargets at n = 8 (the worse of the two channel layouts):\n\n');
  printf('| function | (b)/(d) <= 1.3 | (a)/(b) | (c)/(b) >= 1.8, K = 10^4 | K = 10^3 |\n');
  printf('|---|---|---|---|---|\n');
  names = {};
  for i = 1:numel(rows)
    if rows{i}.n == 8 && ~any(strcmp(names, rows{i}.fn)), names{end + 1} = rows{i}.fn; end
  end
  for name = names
    fn = name{1};
    sel = cellfun(@(r) r.n == 8 && strcmp(r.fn, fn), rows);
    rs = [rows{sel}];
    overhead = max([rs.b] ./ [rs.d]);
    ratio = min([rs.a] ./ [rs.b]);
    goal = 20;
    if any(strcmp(strtok(fn), {'plinden', 'kelvane'})), goal = 5; end
    if strcmp(fn, 'quorvin'), goal = NaN; end
    scale = min([rs.scale]); scale_small = min([rs.scale_small]);
    printf('| %s | %.2f %s | %.1f %s | %.2f %s | %.2f %s |\n', fn, overhead, verdict(overhead <= 1.3), ...
           ratio, goal_text(ratio, goal), scale, verdict(scale >= 1.8), ...
           scale_small, verdict(scale_small >= 1.8));
  end
end

function s = verdict(ok)
  if ok, s = 'met'; else, s = '**missed**'; end
end

function s = goal_text(ratio, goal)
  if isnan(goal)
    s = '(no target)';
  else
    s = sprintf('(>= %g) %s', goal, verdict(ratio >= goal));
  end
end
