% SPDX-License-Identifier: BSD-3-Clause
function res = soft_study(varargin)
%SOFT_STUDY Bitwise mutual information and bit error rates of soft MIMO detectors.
%   RES = SOFT_STUDY() simulates y = H*x + w for 4 x 4 complex channels H with i.i.d.
%   CN(0,1) entries, 16-QAM symbols x with the Gray labels of LTE and white complex
%   Gaussian noise w, over a range of SNRs, and computes bit LLRs with mimo_detect:
%     MAXLOG  exact max-log LLRs by one tree search ('maxlog', 'clip' 20);
%     KBEST   the K-best breadth-first search ('kbest', 'K' 16, 'clip' 20);
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
%           fall below 0 (KBEST at low SNR: a bit without a counter-hypothesis in
%           the list gets +-clip, often with the wrong sign).
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
%     'K'         the list length of KBEST (16)
%     'seed'      random seed (1)
%     'png'       plot file ('soft_study.png', '' for none)
%     'quiet'     no printing (false)
%   Shards as in detection_study: 'shard', [i n] runs part i of n on a random stream
%   of its own (study_stream), each shard with its own budget of 'channels' per SNR;
%   'save', file writes its counts (study_save); study_merge(files) adds them exactly
%   and returns, prints and plots this result ('merged' is study_merge's option).
%
%   RES has fields snr_db, mi (SNRs x 4, bits per channel use), ber (SNRs x 4),
%   bit_errors, bits, vectors, nodes and mi_loss (SNRs x 4: the counts, mi_loss in
%   units of 2^-20 bit), detectors, seconds and vectors_per_second (1 x 4),
%   nodes_per_vector (1 x 4, over all SNRs), setup_seconds, wall_seconds, png, shard,
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
               'clip', 20, 'K', 16, 'seed', 1, 'png', 'soft_study.png', 'quiet', false, ...
               'shard', [], 'save', '', 'merged', []);
  [opt, merge] = study_start(opt, varargin, 'soft_study');
  if ~isempty(merge)     % a merge: the options that made the counts come from the shards
    res = finish(merge.counts, merge.timings, opt, merge.shards);
    return;
  end
  n = 4;                                     % transmit and receive antennas
  [const, labels] = lte_16qam();
  nb = size(labels, 2);
  V = opt.frame;
  max_channels = max(1, floor(opt.batch / V));
  methods = {{'maxlog'}, {'kbest', 'K', opt.K}, {'mmse'}, {'zf'}};
  study_stream(opt.seed, opt.shard);

  S_n = numel(opt.snr_db);
  z = zeros(S_n, 4);
  bit_errors = z; bits = z; vectors = z; nodes = z; mi_loss = z;
  seconds = zeros(1, 4);
  setup_seconds = 0;
  wall = tic;
  for si = 1:S_n
    N0 = n / 10^(opt.snr_db(si) / 10);       % Es = 1
    left = opt.channels;
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
      for d = 1:4
        t = tic;
        [llr, ~, info] = mimo_detect(Y, H, N0, const, labels, methods{d}{1}, ...
                                     'clip', opt.clip, methods{d}{2:end});
        seconds(d) = seconds(d) + toc(t);
        bit_errors(si, d) = bit_errors(si, d) + nnz((llr < 0) ~= b);
        bits(si, d) = bits(si, d) + numel(b);
        vectors(si, d) = vectors(si, d) + K;
        if ~isempty(info.nodes)
          nodes(si, d) = nodes(si, d) + sum(info.nodes);
        end
        loss = sum(log2_1p_exp(-sign_of(:) .* llr(:)));
        mi_loss(si, d) = mi_loss(si, d) + round(loss * 2^20);
      end
    end
  end

  counts = struct('bit_errors', bit_errors, 'bits', bits, 'vectors', vectors, ...
                  'nodes', nodes, 'mi_loss', mi_loss);
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

function [const, labels] = lte_16qam()
% LTE's 16-QAM: point m has the label of m - 1, b0 b1 b2 b3 (b0 first), and the value
% ((1 - 2 b0)(1 + 2 b2) + i (1 - 2 b1)(1 + 2 b3)) / sqrt(10).
  labels = zeros(16, 4);
  for m = 0:15
    labels(m + 1, :) = bitand(m, [8 4 2 1]) > 0;
  end
  re = (1 - 2 * labels(:, 1)) .* (1 + 2 * labels(:, 3));
  im = (1 - 2 * labels(:, 2)) .* (1 + 2 * labels(:, 4));
  const = complex(re, im) / sqrt(10);
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
  res.ber = c.bit_errors ./ c.bits;
  res.bit_errors = c.bit_errors;
  res.bits = c.bits;
  res.vectors = c.vectors;
  res.nodes = c.nodes;
  res.mi_loss = c.mi_loss;
  res.detectors = {'MAXLOG', sprintf('KBEST (K=%d)', opt.K), 'MMSE', 'ZF'};
  res.seconds = t.seconds;
  res.vectors_per_second = sum(c.vectors, 1) ./ t.seconds;
  res.nodes_per_vector = sum(c.nodes, 1) ./ sum(c.vectors, 1);
  res.nodes_per_vector(3:4) = NaN;           % linear filters: no search
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
  fprintf('Bitwise mutual information and bit error rate, %s (block fading)\n', label);
  study_print_scope(res, sprintf('%d channels (%d vectors); LLRs clipped to +-%g', ...
                                 opt.channels, opt.channels * opt.frame, opt.clip), ...
                    sprintf('%d channels; clip %g', opt.channels, opt.clip));
  fprintf('%8s', 'SNR dB');
  fprintf('  %21s', res.detectors{:});
  fprintf('\n%8s', '');
  heads = repmat({'MI       BER'}, 1, 4);
  fprintf('  %21s', heads{:});
  fprintf('\n');
  for si = 1:numel(res.snr_db)
    fprintf('%8g', res.snr_db(si));
    for d = 1:4
      if res.bit_errors(si, d) == 0
        ber = '0';
      else
        ber = sprintf('%.2e', res.ber(si, d));
      end
      fprintf('  %21s', sprintf('%6.3f  %9s', res.mi(si, d), ber));
    end
    fprintf('\n');
  end
  fprintf('MI: bits per channel use (16 at most); BER: uncoded, LLR < 0 as the bit 1\n');
  fprintf('\n%-16s %10s %12s %12s %12s\n', 'Detector', 'seconds', 'vectors', ...
          'vectors/s', 'nodes/vector');
  for d = 1:4
    fprintf('%-16s %10.2f %12d %12.0f %12.1f\n', res.detectors{d}, res.seconds(d), ...
            sum(res.vectors(:, d)), res.vectors_per_second(d), res.nodes_per_vector(d));
  end
  study_print_times(res, '');
end

function h = plot_figures(res, title_text)
% MI (linear) and BER (log scale, only the points with errors) against the SNR.
  h = study_figure('position', [100 100 900 420]);
  markers = {'-o', '-s', '-d', '-^'};
  subplot(1, 2, 1);
  for d = 1:4
    plot(res.snr_db, res.mi(:, d), markers{d}, 'linewidth', 1.5);
    hold on;
  end
  hold off;
  grid on;
  ylim([0 16]);
  xlabel('SNR (dB)');
  ylabel('bitwise MI (bits per channel use)');
  legend(res.detectors, 'location', 'southeast');
  title(title_text);
  subplot(1, 2, 2);
  study_log_rates(res.snr_db, res.ber, res.bit_errors);
  grid on;
  xlabel('SNR (dB)');
  ylabel('uncoded bit error rate');
  legend(res.detectors, 'location', 'southwest');
end
