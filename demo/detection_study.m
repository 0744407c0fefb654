% SPDX-License-Identifier: BSD-3-Clause
function res = detection_study(varargin)
%DETECTION_STUDY Symbol error rates of four latbox detectors on simulated channels.
%   RES = DETECTION_STUDY() simulates y = H*s + w for a real n-by-n channel H with
%   i.i.d. N(0,1) entries, M-PAM symbols s in {-(M-1), ..., -1, 1, ..., M-1} and
%   white Gaussian noise w, over a range of SNRs, and detects s with
%     DF     decision feedback on the QR factors with the odd-integer clamp (tessaly);
%     LR-DF  lattice-reduction-aided decision feedback: quorvin on the QR factors,
%            zarrow on the reduced problem, mapped back with Uo and clamped;
%     ML     the exact closest point in the box (plinden on the integer form of the
%            alphabet, radius from the decision-feedback point);
%     BOX    the box relaxation (kelvane), rounded to the alphabet, warm-started
%            from morrit of the previous solution on the same channel.
%   It prints the symbol error rate of each detector at each SNR and the mean time
%   per call of each function, and writes a plot of symbol error rate against SNR.
%
%   Options (name, value pairs):
%     'n'       channel size (8)            'M'       alphabet size, even (4)
%     'snr_db'  SNRs in dB (0:4:32)         'trials'  channels per SNR (300)
%     'frame'   symbol vectors per channel (block fading) (8)
%     'seed'    random seed (1)             'png'     plot file ('detection_study.png',
%                                                     '' for none)
%     'quiet'   no printing (false)
%   The SNR is the mean received signal energy per antenna over the noise variance.
%
%   RES has fields snr_db, ser (SNRs x 4, columns DF, LR-DF, ML, BOX), detectors,
%   ml_worse (count of vectors where the ML point was farther than another
%   detector's in-box point: always 0), times (mean seconds per call, struct),
%   box_passes_cold and box_passes_warm (mean kelvane passes), png.
  opt = struct('n', 8, 'M', 4, 'snr_db', 0:4:32, 'trials', 300, 'frame', 8, ...
               'seed', 1, 'png', 'detection_study.png', 'quiet', false);
  for k = 1:2:numel(varargin)
    opt.(varargin{k}) = varargin{k + 1};
  end
  n = opt.n; M = opt.M; u = M - 1;
  randn('state', opt.seed); rand('state', opt.seed);
  es = (M^2 - 1) / 3;                        % mean energy of an M-PAM symbol
  names = {'DF (tessaly)', 'LR-DF (quorvin+zarrow)', 'ML (plinden)', 'BOX (kelvane)'};
  errors = zeros(numel(opt.snr_db), 4);
  counted = zeros(numel(opt.snr_db), 1);
  fns = {'tessaly', 'quorvin', 'zarrow', 'plinden', 'kelvane', 'morrit'};
  t = struct(); calls = struct();
  for f = fns, t.(f{1}) = 0; calls.(f{1}) = 0; end
  passes_cold = []; passes_warm = [];
  ml_worse = 0;
  ones_n = ones(n, 1);

  for si = 1:numel(opt.snr_db)
    sigma = sqrt(n * es / 10^(opt.snr_db(si) / 10));
    for trial = 1:opt.trials
      H = randn(n);
      [Q, R] = qr(H);
      tic; [Qo, Ro, Uo] = quorvin(Q, R, 0.75); t.quorvin = t.quorvin + toc;
      calls.quorvin = calls.quorvin + 1;
      index_set = zeros(n + 2, 1);
      warm = 0;
      for f = 1:opt.frame
        s = 2 * randi([0, u], n, 1) - u;
        y = H * s + sigma * randn(n, 1);
        yt = Q' * y;
        % integer form: s = 2*a - u with a in {0, ..., u}; (y + u*H*1)/2 = H*a + w/2
        yi = (yt + u * R * ones_n) / 2;

        tic; s_df = tessaly(yt, R, u); t.tessaly = t.tessaly + toc;
        calls.tessaly = calls.tessaly + 1;

        yr = Qo' * ((y + u * H * ones_n) / 2);
        tic; z = zarrow(yr, Ro); t.zarrow = t.zarrow + toc; calls.zarrow = calls.zarrow + 1;
        a_lr = min(max(Uo * z, 0), u);
        s_lr = 2 * a_lr - u;

        a_df = (s_df + u) / 2;
        radius = sum((yi - R * a_df) .^ 2);
        tic; [a_ml, info] = plinden(yi, R, radius * (1 + 1e-9) + 1e-300, 0, u);
        t.plinden = t.plinden + toc; calls.plinden = calls.plinden + 1;
        if info ~= 1
          a_ml = a_df;                       % only if rounding hid the DF point itself
        end
        s_ml = 2 * a_ml - u;

        tic; [x, ~, passes, status] = kelvane(yt, R, u, index_set, warm);
        t.kelvane = t.kelvane + toc; calls.kelvane = calls.kelvane + 1;
        if warm, passes_warm(end + 1) = passes; else, passes_cold(end + 1) = passes; end
        tic; index_set = morrit(x, u); t.morrit = t.morrit + toc;
        calls.morrit = calls.morrit + 1;
        warm = double(status == 1);          % the next vector on this channel starts here
        s_box = min(max(2 * floor(x / 2) + 1, -u), u);   % nearest odd, clamped

        S = [s_df, s_lr, s_ml, s_box];
        errors(si, :) = errors(si, :) + sum(S ~= s, 1);
        counted(si) = counted(si) + n;
        d = sum((yt - R * S) .^ 2, 1);
        ml_worse = ml_worse + any(d(3) > d * (1 + 1e-12) + 1e-12);
      end
    end
  end

  res.snr_db = opt.snr_db(:);
  res.ser = errors ./ counted;
  res.detectors = names;
  res.ml_worse = ml_worse;
  for f = fns, res.times.(f{1}) = t.(f{1}) / max(calls.(f{1}), 1); end
  res.box_passes_cold = mean(passes_cold);
  res.box_passes_warm = mean(passes_warm);
  res.png = '';

  if ~opt.quiet
    fprintf('Symbol error rate, n = %d, %d-PAM, %d channels x %d vectors per SNR\n', ...
           n, M, opt.trials, opt.frame);
    fprintf('%8s', 'SNR dB');
    fprintf('  %22s', names{:});
    fprintf('\n');
    for si = 1:numel(opt.snr_db)
      fprintf('%8g', opt.snr_db(si));
      fprintf('  %22.5f', res.ser(si, :));
      fprintf('\n');
    end
    fprintf('\nMean time per call (microseconds, including the Octave call overhead)\n');
    for f = fns
      fprintf('  %-8s %9.2f   (%d calls)\n', f{1}, 1e6 * res.times.(f{1}), calls.(f{1}));
    end
    fprintf('\nkelvane passes: %.2f cold, %.2f warm-started from morrit of the previous solution\n', ...
           res.box_passes_cold, res.box_passes_warm);
    fprintf('ML point farther than another detector''s point: %d times (must be 0)\n', ml_worse);
  end

  if ~isempty(opt.png)
    if exist('OCTAVE_VERSION', 'builtin')
      w = warning('off', 'all');             % gnuplot's notes about interactive windows
      graphics_toolkit('gnuplot');
      warning(w);
    end
    h = figure('visible', 'off');
    ser = max(res.ser, 1e-6);               % show zero error rates at the plot's floor
    semilogy(res.snr_db, ser, '-o', 'linewidth', 1.5);
    grid on;
    xlabel('SNR (dB)'); ylabel('symbol error rate (0 shown as 10^{-6})');
    title(sprintf('n = %d, %d-PAM, %d channels x %d vectors per SNR', n, M, opt.trials, opt.frame));
    legend(names, 'location', 'southwest');
    print(h, opt.png, '-dpng', '-r90');
    close(h);
    res.png = opt.png;
    if ~opt.quiet
      fprintf('plot written to %s\n', absolute_path(opt.png));
    end
  end
end

function p = absolute_path(p)
% The file name p as an absolute path (p names an existing file).
  if exist('OCTAVE_VERSION', 'builtin')
    p = make_absolute_filename(p);
  else
    [~, info] = fileattrib(p);
    p = info.Name;
  end
end
