% SPDX-License-Identifier: BSD-3-Clause
function bench_mimo_threads(varargin)
% Two threads against one for the soft-in methods of mimo_detect, beside a plain
% two-thread compute loop in the same run. 4x4 16-QAM (LTE's Gray labels, unit energy)
% over Rayleigh block fading (CN(0,1), 8 vectors per channel page) at 15 dB per receive
% antenna, K vectors per call; priors from a consistent Gaussian source (La = sA^2/2*(1-2b)
% + sA*n, sA = 2) where a method takes them. Each method is timed with
% LATBOX_NUM_THREADS=1 and =2 in turns, 'runs' times; the least wall-clock time of one call
% on each (on this shared machine another job's burst slows one of the two runs of a turn,
% two threads more than one: the least time is the machine's own). The plain loop (batch_profile('arithmetic', 2e7, threads): a multiply-add chain
% split between new threads) is timed the same way before and after the methods. Ends
% with an error when a result differs between the thread counts.
%
% Options (name, value): 'runs' (7), 'K' (1e4), 'seed' (1).
  opt = struct('runs', 7, 'K', 1e4, 'seed', 1);
  for k = 1:2:numel(varargin)
    opt.(varargin{k}) = varargin{k + 1};
  end
  randn('state', opt.seed); rand('state', opt.seed);
  old = getenv('LATBOX_NUM_THREADS');
  restore = onCleanup(@() restore_threads(old));
  [C, B] = qam16_lte();
  nt = 4;
  K = 8 * ceil(opt.K / 8);
  f = frame(nt, 15, K, C, B);
  La = prior_from(f.bits, 2);
  methods = {'app, clip 20', 'app', {'clip', 20}
             'app, clip 20, priors, extrinsic', 'app', {'clip', 20, 'prior', La, 'output', 'extrinsic'}
             'kbest K = 16, fill clip (the flip rows against it)', 'kbest', {'K', 16, 'fill', 'clip'}
             'kbest K = 16, fill flip', 'kbest', {'K', 16, 'fill', 'flip'}
             'kbest K = 16, fill flip, priors, extrinsic', 'kbest', {'K', 16, 'fill', 'flip', 'prior', La, 'output', 'extrinsic'}
             'maxlog, priors, extrinsic', 'maxlog', {'prior', La, 'output', 'extrinsic'}
             'mmse, priors', 'mmse', {'prior', La}
             'zf, priors', 'zf', {'prior', La}
             'mmse, priors, extrinsic', 'mmse', {'prior', La, 'output', 'extrinsic'}
             'mmse-pic, priors, extrinsic', 'mmse-pic', {'prior', La, 'output', 'extrinsic'}
             'mmse-pic, 3 iterations', 'mmse-pic', {'prior', La, 'iterations', 3}
             'ep, 10 iterations', 'ep', {}
             'ep, priors, extrinsic', 'ep', {'prior', La, 'output', 'extrinsic'}};
  plain = arithmetic(opt.runs);
  rows = cell(rows_of(methods), 1);
  bad = {};
  for m = 1:rows_of(methods)
    [label, name, extra] = methods{m, :};
    [t1, t2, same] = timed(@() mimo_detect(f.Y, f.H, f.N0, C, B, name, extra{:}), 3, opt.runs);
    rows{m} = sprintf('| %s | %d | %.3g | %.3g | %.2f× |', label, K, K / t1, K / t2, t1 / t2);
    if ~same, bad{end + 1} = label; end
  end
  plain2 = arithmetic(opt.runs);
  printf('Plain compute loop (2*10^7 dependent multiply-adds, new threads): two threads %.2f× one before the methods, %.2f× after.\n\n', ...
         plain.ratio, plain2.ratio);
  printf('| method | K | vectors/s, one thread | vectors/s, two threads | two / one |\n');
  printf('|---|---|---|---|---|\n');
  printf('%s\n', rows{:});
  if ~isempty(bad)
    error('bench_mimo_threads: results differ between thread counts: %s', strjoin(bad, ', '));
  end
end

function n = rows_of(c)
  n = size(c, 1);
end

function restore_threads(value)
  if isempty(value), unsetenv('LATBOX_NUM_THREADS'); else, setenv('LATBOX_NUM_THREADS', value); end
end

% The plain loop: the least 1- and 2-thread times of the same 2*10^7-step chain.
function p = arithmetic(runs)
  code = double('arithmetic');
  t1 = zeros(runs, 1); t2 = t1;
  for i = 1:runs
    t1(i) = batch_profile(code, 2e7, 1);
    t2(i) = batch_profile(code, 2e7, 2);
  end
  p = struct('t1', min(t1), 't2', min(t2), 'ratio', min(t1) / min(t2));
end

% The least seconds of f() (nout outputs) on one and on two threads, runs alternating;
% whether the outputs agree bit for bit.
function [t1, t2, same] = timed(f, nout, runs)
  t = zeros(runs, 2);
  o1 = cell(1, nout); o2 = cell(1, nout);
  same = true;
  for r = 1:runs
    setenv('LATBOX_NUM_THREADS', '1');
    tic; [o1{:}] = f(); t(r, 1) = toc;
    setenv('LATBOX_NUM_THREADS', '2');
    tic; [o2{:}] = f(); t(r, 2) = toc;
    same = same && isequaln(o1, o2);
  end
  t1 = min(t(:, 1)); t2 = min(t(:, 2));
end

% 16-QAM with LTE's labels: bits b0 b2 give the in-phase part, b1 b3 the quadrature part.
function [C, B] = qam16_lte()
  B = dec2bin(0:15) - '0';
  re = (1 - 2 * B(:, 1)) .* (1 + 2 * B(:, 3));
  im = (1 - 2 * B(:, 2)) .* (1 + 2 * B(:, 4));
  C = (re + 1i * im) / sqrt(10);
end

% A priori LLRs of the sent bits from a consistent Gaussian source of spread sA.
function La = prior_from(bits, sA)
  La = sA^2 / 2 * (1 - 2 * bits) + sA * randn(size(bits));
end

% K vectors, 8 per channel page, and the sent bits (Nt*4-by-K, LLR's order).
function f = frame(nt, snr, K, C, B)
  per = 8;
  P = K / per;
  f.N0 = nt / 10^(snr / 10);  % Es = 1
  f.H = (randn(nt, nt, P) + 1i * randn(nt, nt, P)) / sqrt(2);
  idx = randi(16, nt, K);
  x = C(idx);
  Hx = zeros(nt, K);
  for p = 1:P
    cols = (p - 1) * per + (1:per);
    Hx(:, cols) = f.H(:, :, p) * x(:, cols);
  end
  f.Y = Hx + sqrt(f.N0 / 2) * (randn(nt, K) + 1i * randn(nt, K));
  f.bits = zeros(4 * nt, K);
  for t = 1:nt
    f.bits((t - 1) * 4 + (1:4), :) = B(idx(t, :), :)';
  end
end
