% SPDX-License-Identifier: BSD-3-Clause
function res = soft_study(varargin)
%SOFT_STUDY Bitwise mutual information and bit error rates of soft MIMO detectors.
%   RES = SOFT_STUDY() simulates y = H*x + w for 4 x 4 complex channels H with i.i.d.
%   CN(0,1) entries, 16-QAM symbols x with the Gray labels of LTE and white complex
%   Gaussian noise w, over a range of SNRs, and computes bit LLRs with mimo_detect:
%     MAXLOG  exact max-log LLRs by one tree search ('maxlog', 'clip' 20);
%     APP     exact log-MAP LLRs ('app', 'clip' 20, 'tol' 1e-9): the reference the
%             others are read against; it runs on the first 'app_channels' channels of
%             each point only (at low SNR it visits most of the tree);
%     KBEST   the K-best breadth-first search ('kbest', 'K' 16, 'clip' 20), each bit
%             without a counter-hypothesis in the list given a real one ('fill' 'flip');
%     KBEST-C the same with such bits at +-clip ('fill' 'clip'), as K-best was before;
%     MMSE    the unbiased linear MMSE filter and per-stream max-log ('mmse');
%     ZF      the zero-forcing filter and per-stream max-log ('zf').
%   The channels fade in blocks: one channel carries 'frame' vectors, and every
%   detector gets one mimo_detect call per frame of up to 'batch' vectors over many
%   channels. Each SNR point runs 'channels' channels (a fixed budget: the mutual
%   information is a mean over all vectors, so it needs no error count to stop at).
%
%   Constellation (built here): the 16-QAM of LTE (3GPP TS 36.211, 16QAM modulation
%   mapping), for the label b0 b1 b2 b3: real part (1 - 2*b0) * (1 + 2*b2), imaginary
%   part (1 - 2*b1) * (1 + 2*b3), over sqrt(10) (mean energy Es = 1). b0 and b2 are a Gray
%   label of the real part, b1 and b3 of the imaginary part; mimo_detect runs it on its
%   real-valued search. Point m is the label of m - 1 (b0 the most significant bit).
%
%   SNR: the mean received signal energy per receive antenna over the noise variance
%   per receive antenna, Nt*Es/N0 (as in detection_study).
%
%   Figures, per SNR and detector, from the LLRs L (mimo_detect's convention:
%   L = ln P(b=0)/P(b=1), positive means 0) and the sent bits b:
%     MI    the bitwise mutual information in bits per channel use (one 4 x 4 vector):
%           I = sum over the 16 bits of (1 - E[log2(1 + exp(-(1 - 2b) L))]), the mean
%           over all vectors sent (the rate a bit-interleaved code can reach with
%           these LLRs; 16 at most). log2(1 + exp(x)) is computed as x/log(2) for
%           x > 30 and as log1p(exp(x))/log(2) otherwise (no overflow, no loss of
%           digits for large negative x). The formula scores LLRs as they are:
%           overconfident LLRs cost more than they bring, so a detector's MI can
%           fall below 0 (KBEST-C at low SNR: a bit without a counter-hypothesis in
%           the list gets +-clip, often with the wrong sign).
%     GMI   the generalised MI, max over s > 0 of the MI of s*L, and the fitted s: the
%           loss is counted for s on the grid 2.^(-5:0.5:1) (as mi_loss, exactly), and
%           the maximum is refined by a parabola through the best grid point and its
%           neighbours in log2(s) (s = 1 is on the grid, so GMI >= MI). s < 1 says the
%           detector's LLRs are overconfident.
%     BER   the uncoded bit error rate: L < 0 taken as the bit 1, against b.
%   and each detector's vectors per second (its mimo_detect calls only) and mean
%   nodes per vector (info.nodes: the tree methods; NaN for the linear ones).
%
%   Exact counts: bit errors, bits, vectors and nodes are integers. The mutual
%   information is accumulated as an integer too: the loss sum of every frame,
%   sum of log2(1 + exp(-(1 - 2b) L)) over its bits, is rounded to a multiple of
%   2^-20 bit and counted in those units (mi_loss), so the counts of shards add
%   exactly in any order and a merge equals the serial run of the same shards bit
%   for bit. The rounding moves MI by at most 2^-21 bit per frame over the frame's
%   vectors (below 1e-9 bit per channel use at the default sizes); the counts stay
%   exact in doubles up to 2^33 bits of loss per point.
%
%   Options (name, value pairs):
%     'snr_db'    SNRs in dB (0:4:28)
%     'channels'  channels per SNR point, in each shard (2000)
%     'frame'     vectors per channel (8)
%     'batch'     most vectors per mimo_detect call (16384)
%     'clip'      the LLR clip of every detector (20)
%     'K'         the list length of KBEST and KBEST-C (16)
%     'app_channels'  channels per SNR point (in each shard) that APP runs on (100)
%     'seed'      random seed (1)
%     'png'       plot file ('soft_study.png', '' for none)
%     'quiet'     no printing (false)
%   Shards as in detection_study: 'shard', [i n] runs part i of n on a random stream
%   of its own (study_stream), each shard with its own budget of 'channels' per SNR;
%   'save', file writes its counts (study_save); study_merge(files) adds them exactly
%   and returns, prints and plots this result ('merged' is study_merge's option).
%
%   RES has fields snr_db, mi (SNRs x 6, bits per channel use), gmi and gmi_s (SNRs x
%   6), ber (SNRs x 6), bit_errors, bits, vectors, nodes and mi_loss (SNRs x 6: the
%   counts, mi_loss in units of 2^-20 bit), mi_loss_s (SNRs x 6 x 13, the loss of s*L
%   for s = gmi_grid), gmi_grid, detectors, seconds and vectors_per_second (1 x 6),
%   nodes_per_vector (1 x 6, over all SNRs), setup_seconds, wall_seconds, png, shard,
%   shard_count, merged, missing and shard_seconds (as detection_study's).
%
%   Example (two shards merged; the same counts as running them one after the other):
%     f = {[tempname() '.mat'], [tempname() '.mat']};
%     for i = 1:2
%       soft_study('snr_db', [10 20], 'channels', 20, 'shard', [i 2], ...
%                  'save', f{i}, 'png', '', 'quiet', true);
%     end
%     res = study_merge(f, 'png', '', 'quiet', true);
%     disp(res.mi)
%     delete(f{:});
  opt = struct('snr_db', 0:4:28, 'channels', 2000, 'frame', 8, 'batch', 16384, ...
               'clip', 20, 'K', 16, 'app_channels', 100, 'seed', 1, 'png', 'soft_study.png', ...
               'quiet', false, ...
               'shard', [], 'save', '', 'merged', []);
  [opt, merge] = study_start(opt, varargin, 'soft_study');
  if ~isempty(merge)     % a merge: the options that made the counts come from the shards
    res = finish(merge.counts, merge.timings, opt, merge.shards);
    return;
  end
  n = 4;                                     % transmit and receive antennas
  [const, labels] = study_lte_16qam();
  nb = size(labels, 2);
  V = opt.frame;
  max_channels = max(1, floor(opt.batch / V));
  methods = {{'maxlog'}, {'app'}, {'kbest', 'K', opt.K}, {'kbest', 'K', opt.K, 'fill', 'clip'}, ...
             {'mmse'}, {'zf'}};
  D = numel(methods);
  grid = gmi_grid();
  study_stream(opt.seed, opt.shard);

  S_n = numel(opt.snr_db);
  z = zeros(S_n, D);
  bit_errors = z; bits = z; vectors = z; nodes = z; mi_loss = z;
  mi_loss_s = zeros(S_n, D, numel(grid));
  seconds = zeros(1, D);
  setup_seconds = 0;
  wall = tic;
  for si = 1:S_n
    N0 = n / 10^(opt.snr_db(si) / 10);       % Es = 1
    left = opt.channels;
    app_left = min(opt.app_channels, opt.channels);
    while left > 0
      P = min(left, max_channels);
      left = left - P;
      K = P * V;
      t = tic;
      H = complex(randn(n, n, P), randn(n, n, P)) / sqrt(2);
      sent = floor(16 * rand(n, K)) + 1;     % indices into const
      page = ceil((1:K) / V);
      Y = study_page_times(H, const(sent), page) + ...
          sqrt(N0 / 2) * complex(randn(n, K), randn(n, K));
      % the sent bits in LLR's order: antenna 1's label first
      b = reshape(labels(sent(:), :)', n * nb, K);
      sign_of = 1 - 2 * b;                   % +1 for a sent 0, -1 for a sent 1
      setup_seconds = setup_seconds + toc(t);
      for d = 1:D
        cols = 1:K;
        if strcmp(methods{d}{1}, 'app')     % the first app_left channels only
          cols = 1:min(P, app_left) * V;
          app_left = app_left - numel(cols) / V;
          if isempty(cols), continue; end
        end
        t = tic;
        [llr, ~, info] = mimo_detect(Y(:, cols), H(:, :, 1:numel(cols) / V), N0, const, ...
                                     labels, methods{d}{1}, 'clip', opt.clip, methods{d}{2:end});
        seconds(d) = seconds(d) + toc(t);
        bd = b(:, cols);
        bit_errors(si, d) = bit_errors(si, d) + nnz((llr < 0) ~= bd);
        bits(si, d) = bits(si, d) + numel(bd);
        vectors(si, d) = vectors(si, d) + numel(cols);
        if ~isempty(info.nodes)
          nodes(si, d) = nodes(si, d) + sum(info.nodes);
        end
        x = -sign_of(:, cols)(:) .* llr(:);
        mi_loss(si, d) = mi_loss(si, d) + round(sum(log2_1p_exp(x)) * 2^20);
        for j = 1:numel(grid)
          mi_loss_s(si, d, j) = mi_loss_s(si, d, j) + round(sum(log2_1p_exp(grid(j) * x)) * 2^20);
        end
      end
    end
  end

  counts = struct('bit_errors', bit_errors, 'bits', bits, 'vectors', vectors, ...
                  'nodes', nodes, 'mi_loss', mi_loss, 'mi_loss_s', mi_loss_s);
  timings = struct('seconds', seconds, 'setup_seconds', setup_seconds, ...
                   'wall_seconds', toc(wall));
  made_by = rmfield(opt, {'png', 'quiet', 'shard', 'save', 'merged'});
  if ~isempty(opt.save)
    study_save(opt.save, 'soft_study', made_by, opt.shard, counts, timings);
  end
  shards = struct('shards', opt.shard, 'count', opt.shard(2), 'merged', false, ...
                  'missing', [], 'seconds', timings.wall_seconds);
  res = finish(counts, timings, opt, shards);
end

function s = gmi_grid()
% The scales s of the generalised MI: 2^-5 .. 2, in steps of sqrt(2) (1 among them).
  s = 2 .^ (-5:0.5:1);
end

function [gmi, s] = gmi_fit(mi_s, grid)
% The largest MI over the grid, refined by the parabola in log2(s) through the best point
% and its two neighbours (no refinement at an end of the grid or where the parabola is not
% concave); s is where it lies.
  [gmi, j] = max(mi_s);
  s = grid(j);
  if j > 1 && j < numel(mi_s)
    a = mi_s(j - 1); m = mi_s(j); c = mi_s(j + 1);
    curv = a - 2 * m + c;
    if curv < 0
      h = 0.5 * (a - c) / curv;              % offset in grid steps, |h| <= 1/2
      gmi = max(gmi, m - 0.25 * (a - c) * h);
      s = 2 ^ (log2(grid(j)) + 0.5 * h);
    end
  end
end

function v = log2_1p_exp(x)
% log2(1 + exp(x)) without overflow: x/log(2) above 30 (where log1p(exp(x)) equals x
% to within exp(-30)), log1p(exp(x))/log(2) elsewhere.
  v = log1p(exp(min(x, 30))) / log(2);
  big = x > 30;
  v(big) = x(big) / log(2);
end

function res = finish(c, t, opt, shards)
% The result, the table and the plot from the counts c and the timings t of a run, a
% shard or a merge of shards.
  res.snr_db = opt.snr_db(:);
  nb = c.bits ./ max(c.vectors, 1);          % bits per vector (16)
  res.mi = nb - c.mi_loss / 2^20 ./ c.vectors;
  res.gmi_grid = gmi_grid();
  res.mi_loss_s = c.mi_loss_s;
  [S_n, D] = size(c.mi_loss);
  res.gmi = NaN(S_n, D);
  res.gmi_s = NaN(S_n, D);
  for si = 1:S_n
    for d = 1:D
      if c.vectors(si, d) > 0
        mi_s = nb(si, d) - squeeze(c.mi_loss_s(si, d, :))' / 2^20 / c.vectors(si, d);
        [res.gmi(si, d), res.gmi_s(si, d)] = gmi_fit(mi_s, res.gmi_grid);
      end
    end
  end
  res.ber = c.bit_errors ./ c.bits;
  res.bit_errors = c.bit_errors;
  res.bits = c.bits;
  res.vectors = c.vectors;
  res.nodes = c.nodes;
  res.mi_loss = c.mi_loss;
  res.detectors = {'MAXLOG', 'APP', sprintf('KBEST (K=%d)', opt.K), ...
                   sprintf('KBEST-C (K=%d)', opt.K), 'MMSE', 'ZF'};
  res.seconds = t.seconds;
  res.vectors_per_second = sum(c.vectors, 1) ./ t.seconds;
  res.nodes_per_vector = sum(c.nodes, 1) ./ sum(c.vectors, 1);
  res.nodes_per_vector(5:6) = NaN;           % linear filters: no search
  res.setup_seconds = t.setup_seconds;
  res.wall_seconds = t.wall_seconds;
  res = study_shard_fields(res, shards);
  label = sprintf('16-QAM (LTE Gray), 4 x 4 complex, %d vectors per channel', opt.frame);
  if ~opt.quiet
    print_report(res, opt, label);
  end
  res = study_write_plot(res, opt, @() plot_figures(res, label));
end

function print_report(res, opt, label)
  D = numel(res.detectors);
  fprintf('Bitwise mutual information and bit error rate, %s (block fading)\n', label);
  study_print_scope(res, sprintf('%d channels (%d vectors); LLRs clipped to +-%g', ...
                                 opt.channels, opt.channels * opt.frame, opt.clip), ...
                    sprintf('%d channels; clip %g', opt.channels, opt.clip));
  fprintf('(APP on %d channels of each point)\n', min(opt.app_channels, opt.channels));
  for part = 1:2
    fprintf('%8s', 'SNR dB');
    fprintf('  %21s', res.detectors{:});
    fprintf('\n%8s', '');
    heads = repmat({ifelse_text(part == 1, 'MI       BER', 'GMI         s')}, 1, D);
    fprintf('  %21s', heads{:});
    fprintf('\n');
    for si = 1:numel(res.snr_db)
      fprintf('%8g', res.snr_db(si));
      for d = 1:D
        if part == 2
          cell_text = sprintf('%6.3f  %9.3f', res.gmi(si, d), res.gmi_s(si, d));
        elseif res.bit_errors(si, d) == 0
          cell_text = sprintf('%6.3f  %9s', res.mi(si, d), '0');
        else
          cell_text = sprintf('%6.3f  %9.2e', res.mi(si, d), res.ber(si, d));
        end
        fprintf('  %21s', cell_text);
      end
      fprintf('\n');
    end
    if part == 1
      fprintf('MI: bits per channel use (16 at most); BER: uncoded, LLR < 0 as the bit 1\n\n');
    else
      fprintf('GMI: max over s of the MI of s*L; s: the fitted scale (< 1: overconfident LLRs)\n');
    end
  end
  fprintf('\n%-16s %10s %12s %12s %12s\n', 'Detector', 'seconds', 'vectors', ...
          'vectors/s', 'nodes/vector');
  for d = 1:D
    fprintf('%-16s %10.2f %12d %12.0f %12.1f\n', res.detectors{d}, res.seconds(d), ...
            sum(res.vectors(:, d)), res.vectors_per_second(d), res.nodes_per_vector(d));
  end
  study_print_times(res, '');
end

function t = ifelse_text(c, a, b)
  if c, t = a; else, t = b; end
end

function h = plot_figures(res, title_text)
% MI (solid) and GMI (dashed), both linear, and BER (log scale, only the points with
% errors) against the SNR.
  h = study_figure('position', [100 100 1000 440]);
  D = numel(res.detectors);
  markers = {'o', 's', 'd', 'v', '^', 'x'};
  colors = lines(D);
  subplot(1, 2, 1);
  for d = 1:D
    plot(res.snr_db, res.mi(:, d), ['-' markers{d}], 'color', colors(d, :), 'linewidth', 1.5);
    hold on;
  end
  for d = 1:D
    plot(res.snr_db, res.gmi(:, d), ['--' markers{d}], 'color', colors(d, :), ...
         'handlevisibility', 'off');
  end
  hold off;
  grid on;
  ylim([0 16]);
  xlabel('SNR (dB)');
  ylabel('MI (solid) and GMI (dashed), bits per channel use');
  legend(res.detectors, 'location', 'southeast');
  title(title_text);
  subplot(1, 2, 2);
  study_log_rates(res.snr_db, res.ber, res.bit_errors);
  grid on;
  xlabel('SNR (dB)');
  ylabel('uncoded bit error rate');
  legend(res.detectors, 'location', 'southwest');
end
