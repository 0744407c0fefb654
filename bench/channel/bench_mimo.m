% SPDX-License-Identifier: BSD-3-Clause
function bench_mimo(varargin)
% mimo_detect on 4x4 16-QAM (LTE's Gray labels, unit energy) over Rayleigh block fading
% (CN(0,1) entries, 8 vectors per channel page), SNR = Nt*Es/N0 per receive antenna:
% 'ml' and 'maxlog' against plinden_batch and plinden_llr on the prepared real problem
% (per page QR of the real form [A -B; B A], Q'*y and the integer map, done here in Octave
% outside the timed region), the share of mimo_detect's time spent per page, and the
% vectors per second of the other methods on one thread and on every CPU. Times are the
% best of 'runs' wall-clock runs of one call on the whole frame. Ends with an error when
% a result differs from the prepared call's.
%
% Options (name, value): 'runs' (5), 'scale' (1: multiplies every K), 'seed' (1).
  opt = struct('runs', 5, 'scale', 1, 'seed', 1);
  for k = 1:2:numel(varargin)
    opt.(varargin{k}) = varargin{k + 1};
  end
  randn('state', opt.seed); rand('state', opt.seed);
  [C, B] = qam16_lte();
  nt = 4;
  snrs = [13 19 22];
  Kexact = [2e4 4e4 8e4];  % vectors per SNR for the exact methods
  bad = {};
  printf('Exact methods on one thread (LATBOX_NUM_THREADS=1), microseconds per vector (best of %d).\n', opt.runs);
  printf('Prepared: plinden_batch (integer form, box [0,3]) or plinden_llr (4-PAM Gray) on R, Q''*y\n');
  printf('from Octave''s QR of the real form. Per-page share: mimo_detect on K vectors with one\n');
  printf('channel per vector (K pages) against 8 per channel (K/8 pages); the difference is the\n');
  printf('work of 7K/8 pages, scaled to K/8 pages over the time at 8 per channel. Overhead: the\n');
  printf('time over the prepared call''s, as a share of mimo_detect''s.\n\n');
  printf('| SNR (dB) | method | K | mimo_detect (us) | prepared (us) | ratio | per-page share | overhead | same results |\n');
  printf('|---|---|---|---|---|---|---|---|---|\n');
  for i = 1:numel(snrs)
    K = 8 * ceil(Kexact(i) * opt.scale / 8);
    f = frame(nt, snrs(i), K, 8, C, B);
    f1 = frame(nt, snrs(i), K, 1, C, B);  % one channel per vector, for the per-page share
    setenv('LATBOX_NUM_THREADS', '1');
    % 'ml' against plinden_batch
    [tm, out] = best(@() mimo_detect(f.Y, f.H, f.N0, C, B, 'ml'), 2, opt.runs);
    [tp, ref] = best(@() plinden_batch(f.Yi, f.Ri, Inf, 0, 3), 2, opt.runs);
    t1 = best(@() mimo_detect(f1.Y, f1.H, f1.N0, C, B, 'ml'), 2, opt.runs);
    same = isequal(idx_to_levels(out{2}, C), 2 * ref{1} - 3) && all(ref{2} == 1);
    if ~same, bad{end + 1} = sprintf('ml at %g dB', snrs(i)); end
    row(snrs(i), 'ml', K, tm, tp, t1, same, 'decisions equal');
    for clip = [8 20]
      [tm, out] = best(@() mimo_detect(f.Y, f.H, f.N0, C, B, 'maxlog', 'clip', clip), 2, opt.runs);
      [tp, ref] = best(@() plinden_llr(f.Yr, f.Rr, 4, f.N0, clip), 2, opt.runs);
      t1 = best(@() mimo_detect(f1.Y, f1.H, f1.N0, C, B, 'maxlog', 'clip', clip), 2, opt.runs);
      L = ref{1}(f.perm, :) .* f.sign;
      err = max(abs(out{1}(:) - L(:)));
      same = err <= 1e-9 * clip && isequal(idx_to_levels(out{2}, C), ref{2});
      if ~same, bad{end + 1} = sprintf('maxlog clip %g at %g dB', clip, snrs(i)); end
      row(snrs(i), sprintf('maxlog, clip %g', clip), K, tm, tp, t1, same, ...
          sprintf('max |dLLR| %.1e, decisions equal', err));
    end
    unsetenv('LATBOX_NUM_THREADS');
  end
  printf('\n');

  % the other methods at the middle SNR
  K = 8 * ceil(8e4 * opt.scale / 8);
  f = frame(nt, 19, K, 8, C, B);
  printf('Vectors per second at 19 dB, K = %d (8 per channel), best of %d; %d CPUs.\n\n', K, opt.runs, nproc());
  printf('| method | one thread | every CPU | every CPU / one |\n');
  printf('|---|---|---|---|\n');
  methods = {'mmse', {}; 'zf', {}; 'sic', {}; 'lr', {}; 'kbest', {'K', 16}};
  for m = 1:rows(methods)
    [name, extra] = methods{m, :};
    Km = K;
    if strcmp(name, 'kbest'), Km = 8 * ceil(1e4 * opt.scale / 8); end
    Y = f.Y(:, 1:Km); H = f.H(:, :, 1:Km/8);
    setenv('LATBOX_NUM_THREADS', '1');
    [t1, o1] = best(@() mimo_detect(Y, H, f.N0, C, B, name, extra{:}), 2, opt.runs);
    unsetenv('LATBOX_NUM_THREADS');
    [tn, on] = best(@() mimo_detect(Y, H, f.N0, C, B, name, extra{:}), 2, opt.runs);
    if ~isequal(o1, on), bad{end + 1} = sprintf('%s between thread counts', name); end
    label = name;
    if ~isempty(extra), label = sprintf('%s, K = %d', name, extra{2}); end
    printf('| %s | %.3g | %.3g | %.2f× |\n', label, Km / t1, Km / tn, t1 / tn);
  end
  if ~isempty(bad)
    error('bench_mimo: results differ: %s', strjoin(bad, ', '));
  end
end

function row(snr, name, K, tm, tp, t1, same, note)
  share = (t1 - tm) / 7 / tm;  % K/8 pages' work over the time at 8 per channel
  yes = 'no';
  if same, yes = ['yes (' note ')']; end
  printf('| %g | %s | %d | %.3g | %.3g | %.2f× | %.0f %% | %.0f %% | %s |\n', snr, name, K, ...
         1e6 * tm / K, 1e6 * tp / K, tm / tp, 100 * share, 100 * (tm - tp) / tm, yes);
end

% 16-QAM with LTE's labels: bits b0 b2 give the in-phase part, b1 b3 the quadrature part.
function [C, B] = qam16_lte()
  B = dec2bin(0:15) - '0';
  re = (1 - 2 * B(:, 1)) .* (1 + 2 * B(:, 3));
  im = (1 - 2 * B(:, 2)) .* (1 + 2 * B(:, 4));
  C = (re + 1i * im) / sqrt(10);
end

% Odd-integer levels [real parts; imaginary parts] of the decided points.
function S = idx_to_levels(idx, C)
  x = C(idx) * sqrt(10);
  S = round([real(x); imag(x)]);
end

% A frame of K vectors, per vectors per channel page, and its prepared real problems:
% Yr, Rr (QR of [A -B; B A] / sqrt(10), positive diagonal, odd-integer levels) for
% plinden_llr; Yi, Ri (levels a = (s + 3) / 2 in [0, 3]) for plinden_batch; perm and sign
% take plinden_llr's rows (levels Re x1..Re x4, Im x1..Im x4, 4-PAM Gray) to mimo_detect's
% (antenna by antenna, LTE's bits: the complements of the Gray bits).
function f = frame(nt, snr, K, per, C, B)
  P = K / per;
  n = 2 * nt;
  f.N0 = nt / 10^(snr / 10);  % Es = 1
  f.H = (randn(nt, nt, P) + 1i * randn(nt, nt, P)) / sqrt(2);
  x = C(randi(16, nt, K));
  Hx = zeros(nt, K);
  for p = 1:P
    cols = (p - 1) * per + (1:per);
    Hx(:, cols) = f.H(:, :, p) * x(:, cols);
  end
  f.Y = Hx + sqrt(f.N0 / 2) * (randn(nt, K) + 1i * randn(nt, K));
  f.Yr = zeros(n, K); f.Rr = zeros(n, n, P);
  f.Yi = zeros(n, K); f.Ri = zeros(n, n, P);
  for p = 1:P
    cols = (p - 1) * per + (1:per);
    A = real(f.H(:, :, p)); Bm = imag(f.H(:, :, p));
    [Q, R] = qr([A -Bm; Bm A] / sqrt(10));
    D = diag(sign(diag(R)));
    R = D * R;
    y = D * (Q' * [real(f.Y(:, cols)); imag(f.Y(:, cols))]);
    f.Rr(:, :, p) = R; f.Yr(:, cols) = y;
    f.Ri(:, :, p) = 2 * R; f.Yi(:, cols) = y + 3 * R * ones(n, 1);
  end
  % mimo_detect's row (t-1)*4 + [1 2 3 4] holds b0 b1 b2 b3 of antenna t
  f.perm = zeros(4 * nt, 1);
  for t = 1:nt
    f.perm((t - 1) * 4 + (1:4)) = [2 * (t - 1) + 1, 2 * (nt + t - 1) + 1, 2 * (t - 1) + 2, 2 * (nt + t - 1) + 2];
  end
  f.sign = -1;
end

% Best wall-clock seconds of f() (nout outputs) over runs; the outputs of the last run.
function [t, o] = best(f, nout, runs)
  t = Inf;
  o = cell(1, nout);
  for r = 1:runs
    tic; [o{:}] = f(); t = min(t, toc);
  end
end
