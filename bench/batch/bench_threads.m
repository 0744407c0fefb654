% SPDX-License-Identifier: BSD-3-Clause
function bench_threads(varargin)
% What threads give the batch forms, beside what they give a plain compute loop. For each
% form, n and K (one channel per 8 columns; quorvin on K/10 pages):
%   - the time per vector on 1 and on 2 threads (LATBOX_NUM_THREADS), in turns, and the
%     speed-up;
%   - the serial part of a one-thread call: the time of the whole call from Octave less
%     the time its columns ran in parallel parts (batch_profile, a benchmark MEX file with
%     the same gateways that times those parts), split into Octave's own part (the call and
%     its handling of the outputs: the whole call less the time in the gateway) and the
%     gateway's outside the parallel parts (reading and checking inputs, creating outputs);
%   - Amdahl's projection from that fraction f for 8, 16 and 64 cores: 1/(f + (1-f)/p).
% The plain loop (batch_profile('arithmetic', ...): a multiply-add chain split between new
% threads) is timed on 1 and 2 threads in the same run, before and after the forms.
% Options (name, value): 'n' ([8 16]), 'K' ([1e3 1e4 1e5]), 'runs' (7), 'seed' (1),
% 'fns' (every form).
  opt = struct('n', [8 16], 'K', [1e3 1e4 1e5], 'runs', 7, 'seed', 1, ...
               'fns', {{'zarrow', 'tessaly', 'plinden', 'morrit', 'quorvin', 'kelvane'}});
  for k = 1:2:numel(varargin)
    opt.(varargin{k}) = varargin{k + 1};
  end
  randn('state', opt.seed); rand('state', opt.seed);
  old = getenv('LATBOX_NUM_THREADS');
  restore = onCleanup(@() restore_threads(old));
  plain = arithmetic(opt.runs);
  rows = {};
  bad = {};
  for n = opt.n
    for K = opt.K
      f = batch_frame(n, K, K / 8, 3);
      for name = opt.fns
        fn = name{1};
        if strcmp(fn, 'quorvin')
          args = qr_pages(n, K / 10);
        else
          args = batch_inputs(fn, f, 3);
        end
        [r, ok] = measure(fn, args, opt);
        r.n = n; r.K = K;
        rows{end + 1} = r;
        if ~ok, bad{end + 1} = sprintf('%s, n = %d, K = %d', fn, n, K); end
      end
    end
  end
  plain2 = arithmetic(opt.runs);
  print_table(rows, plain, plain2, opt);
  if ~isempty(bad)
    printf('\n**batch_profile differs from the batch call:** %s\n', strjoin(bad, '; '));
    error('bench_threads: %d results differ', numel(bad));
  end
end

function restore_threads(value)
  if isempty(value), unsetenv('LATBOX_NUM_THREADS'); else, setenv('LATBOX_NUM_THREADS', value); end
end

% The plain loop: medians of 1- and 2-thread times of the same 2*10^7-step chain.
function p = arithmetic(runs)
  code = double('arithmetic');
  t1 = zeros(runs, 1); t2 = t1;
  for i = 1:runs
    t1(i) = batch_profile(code, 2e7, 1);
    t2(i) = batch_profile(code, 2e7, 2);
  end
  p = struct('t1', median(t1), 't2', median(t2), 'ratio', median(t1 ./ t2));
end

% Seconds per call of `calls` calls of the batch form.
function t = timed(fn, args, calls)
  out = cell(1, batch_outputs(fn));
  name = [fn, '_batch'];
  tic;
  for i = 1:calls
    [out{:}] = feval(name, args{:});
  end
  t = toc / calls;
end

function [r, ok] = measure(fn, args, opt)
  units = size(args{1}, 2 + strcmp(fn, 'quorvin'));   % vectors, or pages
  name = [fn, '_batch'];
  out = cell(1, batch_outputs(fn));
  setenv('LATBOX_NUM_THREADS', '1');
  [out{:}] = feval(name, args{:});
  t0 = timed(fn, args, 1);
  calls = max(1, min(50, ceil(0.005 / t0)));          % about 5 ms a sample
  t1 = zeros(opt.runs, 1); t2 = t1; total = t1; inside = t1; parallel = t1;
  prof = cell(1, numel(out));
  code = double(name);
  for i = 1:opt.runs
    setenv('LATBOX_NUM_THREADS', '1');
    t1(i) = timed(fn, args, calls);
    setenv('LATBOX_NUM_THREADS', '2');
    t2(i) = timed(fn, args, calls);
    setenv('LATBOX_NUM_THREADS', '1');
    tic; [t, prof{:}] = batch_profile(code, args{:}); total(i) = toc;
    inside(i) = t(1); parallel(i) = t(2);
  end
  ok = isequaln(prof, out);
  serial = median((total - parallel) ./ total);
  r = struct('fn', fn, 'units', units, 't1', median(t1) / units, 't2', median(t2) / units, ...
             'speedup', median(t1 ./ t2), 'serial', serial, ...
             'octave', median((total - inside) ./ total), ...
             'gateway', median((inside - parallel) ./ total));
end

function s = ns(t)
  if t * 1e9 < 100, s = sprintf('%.1f', t * 1e9); else, s = sprintf('%.0f', t * 1e9); end
end

function print_table(rows, plain, plain2, opt)
  printf('Plain compute loop (2*10^7 dependent multiply-adds, new threads): 1 thread %.1f ms, ', ...
         plain.t1 * 1e3);
  printf('2 threads %.1f ms: %.2fx; after the forms: %.2fx.\n\n', plain.t2 * 1e3, plain.ratio, ...
         plain2.ratio);
  printf('Batch forms, one channel per 8 columns (quorvin: K/10 pages), median of %d runs; ', opt.runs);
  printf('time per vector (page) in ns; serial: share of a one-thread call outside its parallel ');
  printf('parts (Octave''s call and outputs + the gateway''s own); Amdahl: speed-up that share ');
  printf('allows on 8, 16, 64 cores.\n\n');
  printf('| form | n | K | 1 thread | 2 threads | speed-up | serial | Octave + gateway | Amdahl 8 / 16 / 64 |\n');
  printf('|---|---|---|---|---|---|---|---|---|\n');
  for i = 1:numel(rows)
    r = rows{i};
    f = r.serial;
    amdahl = 1 ./ (f + (1 - f) ./ [8 16 64]);
    printf('| %s | %d | %d | %s | %s | %.2f | %.2f %% | %.2f + %.2f %% | %.1f / %.1f / %.1f |\n', ...
           r.fn, r.n, r.K, ns(r.t1), ns(r.t2), r.speedup, 100 * f, 100 * r.octave, ...
           100 * r.gateway, amdahl);
  end
end
