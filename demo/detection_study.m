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
%     BOX    the box relaxation (kelvane), rounded to the alphabet; the first vector
%            on each channel is solved cold, the others warm-started from morrit of
%            that first solution.
%   Every detector works on frames: one batch call (tessaly_batch, quorvin_batch and
%   zarrow_batch, plinden_batch, kelvane_batch and morrit_batch) per frame of up to
%   'batch' vectors over many channels, each channel carrying 'frame' vectors (block
%   fading). At each SNR a detector goes on until it has made symbol errors on
%   'error_channels' channels (so at least that many symbol errors) or has seen
%   'trials' channels. Errors on one channel come together (a bad channel spoils
%   most of its vectors), so the channels, not the symbols, are the independent
%   samples: 100 symbol errors from three bad channels would say little. Frames grow
%   from 32 channels as long as some detector needs more; a detector that makes no
%   error within the cap is not run at the higher SNRs. The study prints the symbol
%   error rate of each detector at each SNR, each detector's wall time and vectors
%   per second, and plots the error rates (only the points with errors).
%
%   With 'modulation' 'qam', n complex antennas carry M-QAM symbols (sqrt(M)-PAM on
%   the real and on the imaginary part) over a complex channel with i.i.d. CN(0,1)
%   entries; the detectors work on the real-valued form of 2n dimensions,
%   [real(y); imag(y)] = [real(H) -imag(H); imag(H) real(H)] * [real(s); imag(s)] + ...,
%   and a symbol error is a complex symbol with either part wrong.
%
%   SNR: the mean received signal energy per receive antenna over the noise variance
%   per receive antenna, n*Es/N0 (Es the mean symbol energy: (M^2-1)/3 for M-PAM,
%   2*(M-1)/3 for M-QAM; N0 split equally over the real and imaginary part for QAM).
%
%   Only the R factor of H = Q*R enters the detectors: Q'*y = R*s + Q'*w, and Q'*w
%   is white Gaussian noise of the same variance as w, so the study draws H, keeps R
%   and draws Q'*y as R*s plus fresh noise.
%
%   Options (name, value pairs):
%     'n'               antennas (8; 4 with 'qam')
%     'M'               alphabet size (4; 16 with 'qam')
%     'modulation'      'pam' or 'qam' ('pam')
%     'snr_db'          SNRs in dB (0:4:40)
%     'error_channels'  channels with symbol errors that end a point (100)
%     'trials'          most channels per point (32768)
%     'frame'           vectors per channel (8)
%     'batch'           most vectors per batch call (16384)
%     'seed'            random seed (1)
%     'png'             plot file ('detection_study.png', '' for none)
%     'quiet'           no printing (false)
%
%   RES has fields snr_db, ser (SNRs x 4, columns DF, LR-DF, ML, BOX; NaN where a
%   detector saw no vector), errors, error_channels and vectors (SNRs x 4: symbol
%   errors, channels with symbol errors, vectors detected), detectors, n,
%   modulation, ml_worse (count of vectors where the ML point was farther than
%   another detector's point in the box: always 0),
%   seconds and vectors_per_second (1 x 4, over all SNRs; ML includes the DF point
%   that sets its radius), setup_seconds (drawing channels, symbols and noise),
%   check_seconds, wall_seconds, box_passes_cold and box_passes_warm (mean kelvane
%   passes), box_capped and box_failed (kelvane_batch status -1 and -2), png, and
%   shard ([i n] of a run; for a merge the indices of the shards merged), shard_count
%   (n), merged (true for a merge), missing (the shards a partial merge lacks) and
%   shard_seconds (each shard's wall time; NaN for a missing one).
%
%   Shards: a study splits into runs of their own that add up.
%     'shard'           [i n]: run part i of n ([1 1], the whole run, by default)
%     'save'            write the shard's raw counts and options to this MAT file
%                       (study_save: atomically, readable by Octave and MATLAB)
%     'merged'          (for study_merge) the added counts of the shards to report
%   Shard i of n draws from a random stream of its own (study_stream(seed, [i n])):
%   the same seed, shard and options give the same counts whatever else runs, and two
%   shards never share a stream; shard [1 1] is the run without shards. Every shard
%   applies the stopping rule above to its own counts: at each SNR it stops at errors on
%   'error_channels' channels or at 'trials' channels of its own, and retires a detector
%   that made no error within its own cap. n shards thus see up to n times the channels
%   of one run, a shard's cost does not depend on n, and a point of the merged result
%   has errors on at least n * error_channels channels unless a shard reached its cap.
%   study_merge(files) adds the counts of the shard files exactly and returns, prints and
%   plots this result for them (seconds and wall_seconds summed over the shards).
%
%   Example (two shards merged; the same counts as running them one after the other):
%     f = {[tempname() '.mat'], [tempname() '.mat']};
%     for i = 1:2
%       detection_study('n', 4, 'snr_db', [10 20], 'trials', 50, 'shard', [i 2], ...
%                       'save', f{i}, 'png', '', 'quiet', true);
%     end
%     res = study_merge(f, 'png', '', 'quiet', true);
%     disp(res.vectors)
%     delete(f{:});
  opt = struct('n', [], 'M', [], 'modulation', 'pam', 'snr_db', 0:4:40, ...
               'error_channels', 100, 'trials', 32768, 'frame', 8, 'batch', 16384, ...
               'seed', 1, 'png', 'detection_study.png', 'quiet', false, 'shard', [], ...
               'save', '', 'merged', []);
  [opt, merge] = study_start(opt, varargin, 'detection_study');
  if ~isempty(merge)     % a merge: the options that made the counts come from the shards
    res = finish(merge.counts, merge.timings, opt, merge.shards);
    return;
  end
  qam = strcmpi(opt.modulation, 'qam');
  if isempty(opt.n), opt.n = 8 - 4 * qam; end
  if isempty(opt.M), opt.M = 4 + 12 * qam; end
  n = opt.n; M = opt.M;
  if qam
    levels = round(sqrt(M));                 % sqrt(M)-PAM per real dimension
    N = 2 * n;
    es = 2 * (M - 1) / 3;
  else
    levels = M;
    N = n;
    es = (M^2 - 1) / 3;
  end
  if levels < 2 || mod(levels, 2) ~= 0 || (qam && levels^2 ~= M)
    error('detection_study: M must be even (PAM) or the square of an even number (QAM)');
  end
  u = levels - 1;                            % symbols -u, ..., -1, 1, ..., u
  V = opt.frame;
  max_channels = max(1, floor(opt.batch / V));
  opt.n = n; opt.M = M; opt.modulation = lower(opt.modulation);
  study_stream(opt.seed, opt.shard);

  S_n = numel(opt.snr_db);
  errors = zeros(S_n, 4);
  error_channels = zeros(S_n, 4);
  vectors = zeros(S_n, 4);
  seconds = zeros(1, 4);
  setup_seconds = 0; check_seconds = 0;
  passes_cold = 0; solves_cold = 0; passes_warm = 0; solves_warm = 0;
  box_capped = 0; box_failed = 0; ml_worse = 0;
  retired = false(1, 4);                     % no error within the cap at a lower SNR
  wall = tic;

  for si = 1:S_n
    N0 = n * es / 10^(opt.snr_db(si) / 10);
    sigma = sqrt(N0 / (1 + qam));            % per real dimension
    P = min([32, max_channels, opt.trials]);
    active = ~retired;
    while any(active)
      K = P * V;
      t = tic;
      R = qr_pages(draw_channels(n, P, qam));
      s = 2 * floor(levels * rand(N, K)) - u;
      page = ceil((1:K) / V);                % the channel of each vector
      y = study_page_times(R, s, page) + sigma * randn(N, K);
      % integer form: s = 2*a - u with a in {0, ..., u}: (y + u*R*1)/2 = R*a + w/2
      row_sums = reshape(sum(R, 2), N, P);
      yi = (y + u * row_sums(:, page)) / 2;
      setup_seconds = setup_seconds + toc(t);
      S = cell(1, 4);                         % each detector's symbols

      if active(1) || active(3)
        t = tic;
        S{1} = tessaly_batch(y, R, u);
        dt = toc(t);
        seconds([1 3]) = seconds([1 3]) + dt * active([1 3]);
      end

      if active(2)
        t = tic;
        S{2} = detect_lr_df(yi, R, u, page);
        seconds(2) = seconds(2) + toc(t);
      end

      if active(3)
        t = tic;
        S{3} = detect_ml(yi, R, u, page, S{1});
        seconds(3) = seconds(3) + toc(t);
      end

      if active(4)
        t = tic;
        [S{4}, passes, status, was_warm] = detect_box(y, R, u, V);
        seconds(4) = seconds(4) + toc(t);
        ok = status == 1;
        passes_cold = passes_cold + sum(passes(ok & ~was_warm));
        solves_cold = solves_cold + sum(ok & ~was_warm);
        passes_warm = passes_warm + sum(passes(ok & was_warm));
        solves_warm = solves_warm + sum(ok & was_warm);
        box_capped = box_capped + sum(status == -1);
        box_failed = box_failed + sum(status == -2);
      end

      t = tic;
      for d = find(active)
        wrong = S{d} ~= s;
        if qam
          wrong = wrong(1:n, :) | wrong(n + 1:N, :);   % either part of a complex symbol
        end
        per_vector = sum(wrong, 1);
        errors(si, d) = errors(si, d) + sum(per_vector);
        per_channel = sum(reshape(per_vector, V, P), 1);
        error_channels(si, d) = error_channels(si, d) + sum(per_channel > 0);
        vectors(si, d) = vectors(si, d) + K;
      end
      if active(3)
        % the exact search is never farther than another detector's point in the box
        worse = false(1, K);
        for d = find([true, active(2), false, active(4)])
          k = find(any(S{d} ~= S{3}, 1));    % where the points differ
          d_ml = sum((y(:, k) - study_page_times(R, S{3}(:, k), page(k))) .^ 2, 1);
          d_other = sum((y(:, k) - study_page_times(R, S{d}(:, k), page(k))) .^ 2, 1);
          worse(k) = worse(k) | d_ml > d_other * (1 + 1e-12) + 1e-12;
        end
        ml_worse = ml_worse + sum(worse);
      end
      check_seconds = check_seconds + toc(t);

      [active, P] = next_frame(active, error_channels(si, :), vectors(si, :) / V, ...
                               opt.error_channels, opt.trials, P, max_channels);
    end
    % error rates only fall with the SNR: a detector without errors stops here
    retired = retired | (errors(si, :) == 0 & vectors(si, :) >= opt.trials * V);
  end

  counts = struct('errors', errors, 'error_channels', error_channels, 'vectors', vectors, ...
                  'ml_worse', ml_worse, 'passes_cold', passes_cold, ...
                  'solves_cold', solves_cold, 'passes_warm', passes_warm, ...
                  'solves_warm', solves_warm, 'box_capped', box_capped, ...
                  'box_failed', box_failed);
  timings = struct('seconds', seconds, 'setup_seconds', setup_seconds, ...
                   'check_seconds', check_seconds, 'wall_seconds', toc(wall));
  made_by = rmfield(opt, {'png', 'quiet', 'shard', 'save', 'merged'});
  if ~isempty(opt.save)
    study_save(opt.save, 'detection_study', made_by, opt.shard, counts, timings);
  end
  shards = struct('shards', opt.shard, 'count', opt.shard(2), 'merged', false, ...
                  'missing', [], 'seconds', timings.wall_seconds);
  res = finish(counts, timings, opt, shards);
end

function res = finish(c, t, opt, shards)
% The result, the table and the plot from the counts c and the timings t of a run, a
% shard or a merge of shards.
  n = opt.n;
  qam = strcmpi(opt.modulation, 'qam');
  if qam
    label = sprintf('%d-QAM, %d x %d complex', opt.M, n, n);
  else
    label = sprintf('%d-PAM, %d x %d real', opt.M, n, n);
  end
  res.snr_db = opt.snr_db(:);
  res.ser = c.errors ./ (c.vectors * n);
  res.errors = c.errors;
  res.error_channels = c.error_channels;
  res.vectors = c.vectors;
  res.detectors = {'DF (tessaly)', 'LR-DF (quorvin+zarrow)', 'ML (plinden)', ...
                   'BOX (kelvane)'};
  res.n = n;
  res.modulation = lower(opt.modulation);
  res.ml_worse = c.ml_worse;
  res.seconds = t.seconds;
  res.vectors_per_second = sum(c.vectors, 1) ./ t.seconds;
  res.setup_seconds = t.setup_seconds;
  res.check_seconds = t.check_seconds;
  res.wall_seconds = t.wall_seconds;
  res.box_passes_cold = c.passes_cold / max(c.solves_cold, 1);
  res.box_passes_warm = c.passes_warm / max(c.solves_warm, 1);
  res.box_capped = c.box_capped;
  res.box_failed = c.box_failed;
  res = study_shard_fields(res, shards);

  V = opt.frame;
  if ~opt.quiet
    print_report(res, opt, label, V);
  end
  res = study_write_plot(res, opt, ...
                         @() plot_rates(res, sprintf('%s, %d vectors per channel', label, V)));
end

function S = detect_lr_df(yi, R, u, page)
% Reduction-aided decision feedback on the integer form R*a ~ yi, a in {0, ..., u}:
% zarrow on the reduced problem (Qo*Ro = R*Uo), a = Uo*z clamped to the alphabet.
  N = size(R, 1);
  P = size(R, 3);
  [Qo, Ro, Uo] = quorvin_batch(repmat(eye(N), [1, 1, P]), R, 0.75);
  z = zarrow_batch(study_page_times(permute(Qo, [2 1 3]), yi, page), Ro);
  S = 2 * min(max(study_page_times(Uo, z, page), 0), u) - u;
end

function S = detect_ml(yi, R, u, page, S_df)
% The closest point in the box of the integer form, searched within the distance of
% the decision-feedback point (with a margin for rounding).
  a_df = (S_df + u) / 2;
  radius = sum((yi - study_page_times(R, a_df, page)) .^ 2, 1);
  [a_ml, info] = plinden_batch(yi, R, radius * (1 + 1e-9) + 1e-300, 0, u);
  missed = info ~= 1;                        % only if rounding hid the DF point itself
  a_ml(:, missed) = a_df(:, missed);
  S = 2 * a_ml - u;
end

function [S, passes, status, was_warm] = detect_box(y, R, u, V)
% The box relaxation rounded to the nearest odd symbol in [-u, u]. The first vector
% on each channel is solved cold, the channel's other vectors warm-started from the
% index set of that solution (cold where it did not converge). passes, status and
% was_warm: kelvane_batch's figures for the cold columns, then for the others.
  [N, K] = size(y);
  P = K / V;
  first = 1:V:K;
  [x1, passes, status] = kelvane_batch(y(:, first), R, u, zeros(N + 2, 1), 0);
  x = zeros(N, K);
  x(:, first) = x1;
  was_warm = false(1, P);
  if V > 1
    rest = reshape(1:K, V, P);
    rest = reshape(rest(2:V, :), 1, []);
    owner = ceil((1:numel(rest)) / (V - 1));
    starts = morrit_batch(x1, u);
    warm = status(owner) == 1;
    [x(:, rest), passes2, status2] = kelvane_batch(y(:, rest), R, u, starts(:, owner), ...
                                                   double(warm));
    passes = [passes, passes2];
    status = [status, status2];
    was_warm = [was_warm, warm];
  end
  S = min(max(2 * floor(x / 2) + 1, -u), u);
end

function [active, P] = next_frame(active, bad, channels, min_bad, cap, P, max_channels)
% Which detectors go on at this SNR (bad: channels with errors so far out of channels),
% and the channels of the next frame: enough for the detector that needs most (by its
% rate of bad channels so far, with a 20% margin), at most twice the last frame,
% max_channels, and what the cap leaves.
  active = active & bad < min_bad & channels < cap;
  need = 0;
  for d = find(active)
    left = cap - channels(d);
    if bad(d) > 0
      left = min(left, ceil(1.2 * (min_bad - bad(d)) * channels(d) / bad(d)));
    end
    need = max(need, left);
  end
  P = max(1, min([need, 2 * P, max_channels]));
end

function H = draw_channels(n, P, qam)
% P channel pages: real n-by-n N(0,1), or the real-valued form (2n-by-2n) of a complex
% n-by-n channel with CN(0,1) entries.
  if ~qam
    H = randn(n, n, P);
    return;
  end
  Hr = randn(n, n, P) / sqrt(2);
  Hi = randn(n, n, P) / sqrt(2);
  H = [Hr, -Hi; Hi, Hr];
end

function R = qr_pages(H)
% The R factor (positive diagonal, zeros below it) of every page of H, by modified
% Gram-Schmidt run on all pages at once.
  [m, n, P] = size(H);
  R = zeros(n, n, P);
  Q = zeros(m, P, n);
  for j = 1:n
    v = reshape(H(:, j, :), m, P);
    for i = 1:j - 1
      r = sum(Q(:, :, i) .* v, 1);
      R(i, j, :) = reshape(r, 1, 1, P);
      v = v - Q(:, :, i) .* r;
    end
    r = sqrt(sum(v .^ 2, 1));
    R(j, j, :) = reshape(r, 1, 1, P);
    Q(:, :, j) = v ./ r;
  end
end

function print_report(res, opt, label, V)
  fprintf('Symbol error rate, %s, %d vectors per channel (block fading)\n', label, V);
  merged = res.merged;
  rule = sprintf('symbol errors on at least %d channels, or %d channels (%d vectors)', ...
                 opt.error_channels, opt.trials, opt.trials * V);
  study_print_scope(res, rule, rule);
  if merged                                  % the merged points' error-channel goal
    opt.error_channels = opt.error_channels * numel(res.shard);
  end
  fprintf('%8s', 'SNR dB');
  fprintf('  %22s', res.detectors{:});
  fprintf('\n');
  for si = 1:numel(res.snr_db)
    fprintf('%8g', res.snr_db(si));
    for d = 1:4
      e = res.errors(si, d);
      if res.vectors(si, d) == 0
        cell_text = '-';
      elseif e == 0
        cell_text = '0';
      elseif res.error_channels(si, d) < opt.error_channels
        cell_text = sprintf('%.2e (%d)', res.ser(si, d), e);
      else
        cell_text = sprintf('%.2e', res.ser(si, d));
      end
      fprintf('  %22s', cell_text);
    end
    fprintf('\n');
  end
  fprintf(['(k): k symbol errors, on fewer than %d channels within the cap; 0: none; ' ...
           '-: not run\n(no error within the cap at a lower SNR)\n'], opt.error_channels);

  fprintf('\n%-24s %10s %12s %12s\n', 'Detector', 'seconds', 'vectors', 'vectors/s');
  for d = 1:4
    fprintf('%-24s %10.2f %12d %12.0f\n', res.detectors{d}, res.seconds(d), ...
            sum(res.vectors(:, d)), res.vectors_per_second(d));
  end
  fprintf('(ML includes the DF point that sets its radius; BOX the morrit_batch calls)\n');
  study_print_times(res, sprintf('checks %.2f s, ', res.check_seconds));
  fprintf('\nkelvane passes: %.2f cold (first vector on a channel), %.2f warm-started', ...
          res.box_passes_cold, res.box_passes_warm);
  fprintf(' from morrit of that solution\n');
  if res.box_capped + res.box_failed > 0
    fprintf('kelvane_batch: %d columns at the pass cap, %d failed (status -2)\n', ...
            res.box_capped, res.box_failed);
  end
  fprintf('ML point farther than another detector''s point: %d times (must be 0)\n', ...
          res.ml_worse);
end

function h = plot_rates(res, title_text)
% Error rates on a log scale, each detector at the SNRs where it counted errors.
  h = study_figure();
  study_log_rates(res.snr_db, res.ser, res.errors);
  grid on;
  xlabel('SNR (dB)');
  ylabel('symbol error rate');
  title(title_text);
  legend(res.detectors, 'location', 'southwest');
end
