% SPDX-License-Identifier: BSD-3-Clause
function bench_mimo_itpp(file, varargin)
% IT++'s complex full-enumeration max-log (ND_UQAM, 4x4 16-QAM) against latbox from Octave,
% on the problems bench_soft --qam-out writes (file: its qam_problems.txt, with IT++'s
% points and labels, complex channels, received vectors, N0, IT++'s LLRs and its time per
% vector). Compares with
%   (a) plinden_llr on the real form (levels: imaginary then real part of every antenna, in
%       units of IT++'s point spacing): IT++'s label of a part's value is the Gray code of
%       its index from the most positive, plinden_llr's from the most negative, so the two
%       differ in the first bit of every part, whose LLR changes sign;
%   (b) mimo_detect(Y, H, N0, const, bits, 'maxlog', 'clip', Inf) with IT++'s points and
%       labels, when mimo_detect is on the path (and 'clip', 8 against IT++'s LLRs clipped).
% Prints the largest difference (IT++'s LLRs are in steps of 2^-12) and the time per
% vector: IT++'s processor time (init_soft_demodulator + demodulate_soft_bits, from
% bench_soft) against the wall time of one latbox call per SNR on its vectors (one channel
% per vector, the call overhead included; median of 'runs' (21) calls).
  opt = struct('runs', 21);
  for k = 1:2:numel(varargin)
    opt.(varargin{k}) = varargin{k + 1};
  end
  [C, bits, probs] = read_problems(file);
  nt = size(probs(1).H, 2);
  m = columns(bits);
  c = max(abs(real(C))) / (sqrt(numel(C)) - 1);   % points are c*(odd + i*odd)
  N0s = unique([probs.N0]);
  printf('| method | SNR (dB) | vectors | max abs LLR | latbox - IT++ (max (in 2^-12)) | IT++ | latbox | IT++ / latbox |\n');
  printf('|---|---|---|---|---|---|---|---|\n');
  has_mimo = exist('mimo_detect') == 2 || exist('mimo_detect') == 3;
  bad = {};
  for N0 = fliplr(N0s(:)')                        % the lowest SNR first
    sel = probs([probs.N0] == N0);
    K = numel(sel);
    Lref = [sel.L];
    t_itpp = mean([sel.seconds]);
    snr = 10 * log10(nt * mean(abs(C).^2) / N0);   % per receive antenna
    % (a) the real form for plinden_llr
    n = 2 * nt;
    Y = zeros(n, K); R = zeros(n, n, K);
    for k = 1:K
      H = sel(k).H;
      Hr = zeros(n, n);
      Hr(:, 1:2:n) = c * [-imag(H); real(H)];     % imaginary parts
      Hr(:, 2:2:n) = c * [real(H); imag(H)];      % real parts
      [Q, Rk] = qr(Hr);
      D = diag(sign(diag(Rk)));
      R(:, :, k) = D * Rk;
      Y(:, k) = D * (Q' * [real(sel(k).y); imag(sel(k).y)]);
    end
    flip = ones(nt * m, 1);
    flip(1:m/2:end) = -1;                          % the first bit of every part
    for clip = [Inf 8]
      f = @() plinden_llr(Y, R, 4, N0, clip);
      [L, t] = timed(f, opt.runs);
      L = L .* flip;
      ref = sign(Lref) .* min(abs(Lref), clip);
      d = max(abs(L(:) - ref(:)));
      printf('| plinden_llr (real form), clip %g | %.1f | %d | %.0f | %.1e (%.2f) | %.2f ms | %.2f µs | %.0f× |\n', ...
             clip, snr, K, max(abs(L(:))), d, d * 4096, 1e3 * t_itpp, 1e6 * t / K, t_itpp * K / t);
      if d > 2 / 4096, bad{end + 1} = sprintf('plinden_llr clip %g, %.1f dB', clip, snr); end
    end
    if has_mimo
      Hc = cat(3, sel.H); Yc = [sel.y];
      for clip = [Inf 8]
        f = @() mimo_detect(Yc, Hc, N0, C, bits, 'maxlog', 'clip', clip);
        [L, t] = timed(f, opt.runs);
        ref = sign(Lref) .* min(abs(Lref), clip);
        d = max(abs(L(:) - ref(:)));
        printf('| mimo_detect maxlog, clip %g | %.1f | %d | %.0f | %.1e (%.2f) | %.2f ms | %.2f µs | %.0f× |\n', ...
               clip, snr, K, max(abs(L(:))), d, d * 4096, 1e3 * t_itpp, 1e6 * t / K, t_itpp * K / t);
        if d > 2 / 4096, bad{end + 1} = sprintf('mimo_detect clip %g, %.1f dB', clip, snr); end
      end
    end
  end
  if ~has_mimo
    printf('\nmimo_detect is not built: its rows are missing.\n');
  end
  if ~isempty(bad)
    error('bench_mimo_itpp: LLRs differ from IT++''s by more than two of its steps: %s', ...
          strjoin(bad, '; '));
  end
end

function [C, bits, probs] = read_problems(file)
  v = load_numbers(file);
  K = v(1); nt = v(2); M = v(3); m = log2(M);
  p = 4;
  C = zeros(M, 1); bits = zeros(M, m);
  for j = 1:M
    C(j) = v(p) + 1i * v(p + 1);
    bits(j, :) = v(p + 2:p + 1 + m);
    p = p + 2 + m;
  end
  probs = struct('N0', {}, 'seconds', {}, 'H', {}, 'y', {}, 'L', {});
  for k = 1:K
    probs(k).N0 = v(p); probs(k).seconds = v(p + 1); p = p + 2;
    h = v(p:p + 2 * nt * nt - 1); p = p + 2 * nt * nt;
    probs(k).H = reshape(h(1:2:end) + 1i * h(2:2:end), nt, nt);
    y = v(p:p + 2 * nt - 1); p = p + 2 * nt;
    probs(k).y = y(1:2:end) + 1i * y(2:2:end);
    probs(k).L = v(p:p + nt * m - 1); p = p + nt * m;
  end
end

function v = load_numbers(file)
  fid = fopen(file, 'r');
  if fid < 0, error('bench_mimo_itpp: cannot read %s', file); end
  v = fscanf(fid, '%f');
  fclose(fid);
end

% The first output of f() and the median seconds of runs calls.
function [out, t] = timed(f, runs)
  s = zeros(runs, 1);
  for r = 1:runs
    tic; out = f(); s(r) = toc;
  end
  t = median(s);
end
