% SPDX-License-Identifier: BSD-3-Clause
function res = idd_study(varargin)
%IDD_STUDY Coded error rates of iterative detection and decoding, and its EXIT chart.
%   RES = IDD_STUDY() sends frames of a rate-1/2 convolutional code over 4 x 4 complex
%   channels H with i.i.d. CN(0,1) entries, a new channel for every vector (fast
%   Rayleigh fading), 16-QAM symbols with LTE's Gray labels (study_lte_16qam) and white
%   complex Gaussian noise, and receives them iteratively: a detector (mimo_detect)
%   and the decoder (conv_decode, 'logmap') exchange extrinsic LLRs through the frame's
%   interleaver (exit_trajectory), 0 to 'iterations' times.
%
%   Frame: 'info_bits' random bits (1994), encoded by conv_code(7, [133 171])
%   (terminated: 6 tail bits), 2 * (info_bits + 6) code bits (4000), interleaved by a
%   random permutation drawn for each frame, 16 bits a vector (antenna 1's label first,
%   b0 first), 250 vectors.
%
%   Detectors (each with 'clip' 20 and 'output' 'extrinsic'; a-priori LLRs from the
%   decoder from the first iteration on):
%     MAXLOG    exact max-log LLRs by one tree search ('maxlog')
%     APP       exact log-MAP LLRs ('app', 'tol' 1e-9)
%     KBEST     the K-best search ('kbest', 'K' 16, 'fill' 'flip')
%     MMSE-PIC  soft interference cancellation, an MMSE filter per stream ('mmse-pic';
%               without priors it is 'mmse')
%     EP        expectation propagation ('ep', 10 iterations, damping 0.9)
%   All five receive the same frames (the same bits, interleavers, channels and noise).
%
%   SNR: the mean received signal energy per receive antenna over the noise variance
%   per receive antenna, Nt*Es/N0 (as in the other studies); the code carries
%   info_bits / 250 (7.98) info bits per channel use, Eb/N0 = SNR - 10 log10(7.98 / 4)
%   = SNR - 3.0 dB per receive antenna.
%
%   Error rates: after i iterations (i = 0 .. 'iterations': i = 0 is one pass of the
%   detector and the decoder), the decoder's info-bit decisions (LLR < 0 as the bit 1):
%   BER (bit errors over info bits) and FER (frames with an error over frames). An SNR
%   point of a detector runs frames until it has 'errors' frame errors after the most
%   iterations, or 'frames' frames (APP: 'app_frames'); after a point of 'frames'
%   frames without any frame error at any iteration count the detector skips the
%   higher SNRs (not run: NaN).
%   The SNR at FER 1e-2 (interpolated linearly in log10(FER) between the two points
%   around it; the upper point itself where it had no frame error, an upper bound; NaN
%   when no two points enclose it) per detector and iteration count, and the IDD gain:
%   that SNR with 0 iterations minus that with 'iterations'.
%
%   EXIT chart at 'exit_snr_db' (10 dB), on 'exit_frames' frames of their own:
%     the detector's curve: its extrinsic MI I_E against the a-priori MI I_A of
%       consistent Gaussian priors on the coded bits (exit_curve, prior_llrs) for I_A in
%       'exit_ia', on the frames' channels and noise; I_E at I_A = 0 is the detector's
%       bitwise MI per coded bit (soft_study's MI / 16 at the same SNR);
%     the decoder's curve: the MI of its extrinsic code-bit LLRs against the a-priori MI
%       of its input (exit_decoder_curve), drawn with the axes swapped;
%     the trajectory: the MI of the LLRs that a real IDD run (the same frames,
%       'iterations' iterations) exchanged (exit_trajectory), a staircase between the
%       two curves.
%   MI is estimated as in llr_mi: 1 - mean log2(1 + exp(-(1 - 2b) L)), in bits per bit.
%
%   Exact counts: errors, frames and bits are integers; every MI enters as the loss
%   sum (1 - I) * bits rounded to a multiple of 2^-20 bit and counted in those units,
%   so shards add exactly in any order and a merge equals the serial run of the same
%   shards bit for bit (the rounding moves an MI by at most 2^-21 bit over the bits of
%   one measurement).
%
%   Options (name, value pairs):
%     'snr_db'      SNRs in dB (8:1:15)
%     'frames'      most frames per SNR point and detector, in each shard (40)
%     'errors'      frame errors (after the most iterations) that end a point (10)
%     'app_frames'  most frames per SNR point of APP, in each shard (2): its tree search
%                   visits many leaves at these SNRs, and with priors more (milliseconds
%                   a vector); the other detectors' frames include these
%     'iterations'  the most IDD iterations (3)
%     'info_bits'   info bits per frame (1994; info_bits + 6 a multiple of 8)
%     'clip'        the LLR clip of every detector (20)
%     'K'           the list length of KBEST (16)
%     'exit_snr_db' the SNR of the EXIT chart (10; [] for none)
%     'exit_ia'     the a-priori MIs of the detectors' curves ([0:0.1:0.9 0.95 0.99])
%     'exit_dec_ia' the a-priori MIs of the decoder's curve (0:0.02:0.98: it is cheap, and
%                   steep near the code's threshold)
%     'exit_frames' frames of the EXIT chart, per shard (1)
%     'seed'        random seed (1)
%     'png'         plot file ('idd_study.png', '' for none)
%     'quiet'       no printing (false)
%   Shards as in detection_study: 'shard', [i n] runs part i of n on a random stream
%   of its own (study_stream), each shard with its own budget; 'save', file writes its
%   counts (study_save); study_merge(files) adds them exactly and returns, prints and
%   plots this result.
%
%   RES has fields snr_db, iterations (0:iterations), detectors, ber and fer (SNRs x 5 x
%   (iterations+1)), bit_errors and frame_errors (the same size), frames and bits (SNRs
%   x 5), snr_at_fer (5 x (iterations+1), dB), gain (5 x 1, dB), seconds (1 x 5: each
%   detector's passes with their decoder passes), exit_snr_db, exit_ia, exit_ie_det (5 x
%   numel(exit_ia)), exit_dec_ia and exit_ie_dec (1 x numel(exit_dec_ia)), exit_traj_det
%   and exit_traj_dec (5 x (iterations+1): IEDET and IEDEC of exit_trajectory), exit_gap_det and
%   exit_gap_dec (5 x 1: the trajectory's largest signed distance from the detector's and
%   the decoder's curve, read between the curves' points linearly), the loss counts behind
%   them, setup_seconds, wall_seconds, png and the shard fields (as detection_study's).
%
%   Example (two shards merged; the same counts as running them one after the other):
%     f = {[tempname() '.mat'], [tempname() '.mat']};
%     for i = 1:2
%       idd_study('snr_db', 14, 'frames', 2, 'info_bits', 250, 'exit_snr_db', [], ...
%                 'shard', [i 2], 'save', f{i}, 'png', '', 'quiet', true);
%     end
%     res = study_merge(f, 'png', '', 'quiet', true);
%     disp(res.frames)                     % 4 frames for each detector
%     delete(f{:});
%
%   See also soft_study, exit_trajectory, exit_curve, mimo_detect, conv_decode.
  opt = struct('snr_db', 8:1:15, 'frames', 40, 'errors', 10, 'iterations', 3, ...
               'app_frames', 2, 'info_bits', 1994, 'clip', 20, 'K', 16, 'exit_snr_db', 10, ...
               'exit_ia', [0:0.1:0.9 0.95 0.99], 'exit_dec_ia', 0:0.02:0.98, 'exit_frames', 1, ...
               'seed', 1, ...
               'png', 'idd_study.png', 'quiet', false, 'shard', [], 'save', '', 'merged', []);
  [opt, merge] = study_start(opt, varargin, 'idd_study');
  if ~isempty(merge)
    res = finish(merge.counts, merge.timings, opt, merge.shards);
    return;
  end
  if mod(opt.info_bits + 6, 8) ~= 0 || opt.info_bits < 2
    error('idd_study: info_bits + 6 must be a multiple of 8 (16 code bits a vector)');
  end
  study_stream(opt.seed, opt.shard);
  s = setup(opt);
  D = numel(s.methods);
  S_n = numel(opt.snr_db);
  I1 = opt.iterations + 1;
  A = numel(opt.exit_ia);
  c.bit_errors = zeros(S_n, D, I1);
  c.frame_errors = zeros(S_n, D, I1);
  c.frames = zeros(S_n, D);
  c.bits = zeros(S_n, D);
  c.exit_det_loss = zeros(D, A);
  c.exit_dec_loss = zeros(1, numel(opt.exit_dec_ia));
  c.exit_traj_det_loss = zeros(D, I1);
  c.exit_traj_dec_loss = zeros(D, I1);
  c.exit_bits = 0;                           % code bits of each detector curve point
  c.exit_dec_bits = 0;
  t.seconds = zeros(1, D);
  t.setup_seconds = 0;
  wall = tic;

  skip = false(1, D);
  for si = 1:S_n
    N0 = 4 / 10^(opt.snr_db(si) / 10);       % Nt * Es / SNR, Es = 1
    for f = 1:opt.frames
      active = find(~skip & min(c.frame_errors(si, :, :), [], 3) < opt.errors & ...
                    c.frames(si, :) < s.cap);
      if isempty(active)
        break;
      end
      tic_setup = tic;
      fr = draw_frame(s, N0);
      t.setup_seconds = t.setup_seconds + toc(tic_setup);
      for d = active
        tic_d = tic;
        [~, ~, Lu] = run_frame(s, fr, N0, d, opt);
        t.seconds(d) = t.seconds(d) + toc(tic_d);
        wrong = sum((Lu < 0) ~= fr.u, 1);    % 1 x I1
        c.bit_errors(si, d, :) = c.bit_errors(si, d, :) + reshape(wrong, 1, 1, I1);
        c.frame_errors(si, d, :) = c.frame_errors(si, d, :) + reshape(wrong > 0, 1, 1, I1);
        c.frames(si, d) = c.frames(si, d) + 1;
        c.bits(si, d) = c.bits(si, d) + opt.info_bits;
      end
    end
    skip = skip | (c.frames(si, :) >= opt.frames & all(c.frame_errors(si, :, :) == 0, 3));
  end

  if ~isempty(opt.exit_snr_db)
    N0 = 4 / 10^(opt.exit_snr_db / 10);
    for f = 1:opt.exit_frames
      tic_setup = tic;
      fr = draw_frame(s, N0);
      noise = randn(s.nc, A);                % the priors' normal values, shared by all
      t.setup_seconds = t.setup_seconds + toc(tic_setup);
      b = reshape(fr.c(fr.perm), 16, s.V);
      for d = 1:D
        IE = exit_curve(@(La) detect(s, fr, N0, d, opt, La), b, opt.exit_ia, noise);
        c.exit_det_loss(d, :) = c.exit_det_loss(d, :) + loss_units(IE, s.nc);
        [IEdet, IEdec] = run_frame(s, fr, N0, d, opt);
        c.exit_traj_det_loss(d, :) = c.exit_traj_det_loss(d, :) + loss_units(IEdet, s.nc);
        c.exit_traj_dec_loss(d, :) = c.exit_traj_dec_loss(d, :) + loss_units(IEdec, s.nc);
      end
      c.exit_bits = c.exit_bits + s.nc;
    end
    IE = exit_decoder_curve(s.code, opt.exit_dec_ia, opt.info_bits, opt.exit_frames);
    c.exit_dec_loss = loss_units(IE, s.nc * opt.exit_frames);
    c.exit_dec_bits = s.nc * opt.exit_frames;
  end

  t.wall_seconds = toc(wall);
  made_by = rmfield(opt, {'png', 'quiet', 'shard', 'save', 'merged'});
  if ~isempty(opt.save)
    study_save(opt.save, 'idd_study', made_by, opt.shard, c, t);
  end
  shards = struct('shards', opt.shard, 'count', opt.shard(2), 'merged', false, ...
                  'missing', [], 'seconds', t.wall_seconds);
  res = finish(c, t, opt, shards);
end

function s = setup(opt)
% What every frame shares: the code, the constellation and the detectors.
  s.code = conv_code(7, [133 171]);
  [s.const, s.labels] = study_lte_16qam();
  s.nc = 2 * (opt.info_bits + 6);            % code bits a frame
  s.V = s.nc / 16;                           % vectors a frame
  s.methods = {{'maxlog'}, {'app'}, {'kbest', 'K', opt.K}, {'mmse-pic'}, {'ep'}};
  s.cap = [opt.frames, min(opt.frames, opt.app_frames), opt.frames, opt.frames, opt.frames];
end

function fr = draw_frame(s, N0)
% One frame's draws, in this order: info bits, interleaver, channels (real, then
% imaginary parts), noise (real, imaginary).
  fr.u = double(rand(s.nc / 2 - 6, 1) < 0.5);
  fr.c = conv_encode(fr.u, s.code);
  [~, fr.perm] = sort(rand(s.nc, 1));
  bits = reshape(fr.c(fr.perm), 16, s.V);    % 4 bits per antenna, antenna 1 first
  sent = zeros(4, s.V);
  for a = 1:4
    sent(a, :) = [8 4 2 1] * bits(4 * a - 3:4 * a, :) + 1;
  end
  fr.H = complex(randn(4, 4, s.V), randn(4, 4, s.V)) / sqrt(2);
  fr.Y = study_page_times(fr.H, s.const(sent), 1:s.V) + ...
         sqrt(N0 / 2) * complex(randn(4, s.V), randn(4, s.V));
end

function Le = detect(s, fr, N0, d, opt, La)
% Detector d's extrinsic LLRs of the frame's 16 x V bits given the priors La.
  m = s.methods{d};
  Le = mimo_detect(fr.Y, fr.H, N0, s.const, s.labels, m{1}, m{2:end}, 'clip', opt.clip, ...
                   'prior', reshape(La, 16, s.V), 'output', 'extrinsic');
end

function [IEdet, IEdec, Lu] = run_frame(s, fr, N0, d, opt)
% The IDD run of detector d on the frame: 0 .. iterations iterations.
  decode = @(L) conv_decode(L, s.code, 'output', 'extrinsic');
  [IEdet, IEdec, Lu] = exit_trajectory(@(La) detect(s, fr, N0, d, opt, La), decode, fr.c, ...
                                       fr.perm, opt.iterations);
end

function u = loss_units(IE, bits)
% The loss sum (1 - I) * bits of an MI I over bits bits, in units of 2^-20 bit.
  u = round((1 - IE) * bits * 2^20);
end

function res = finish(c, t, opt, shards)
% The result, the table and the plot from the counts of a run, a shard or a merge.
  res.snr_db = opt.snr_db(:);
  res.iterations = 0:opt.iterations;
  res.detectors = {'MAXLOG', 'APP', sprintf('KBEST (K=%d)', opt.K), 'MMSE-PIC', 'EP'};
  D = numel(res.detectors);
  frames = repmat(c.frames, [1 1 numel(res.iterations)]);
  res.ber = c.bit_errors ./ repmat(c.bits, [1 1 numel(res.iterations)]);
  res.fer = c.frame_errors ./ frames;
  res.bit_errors = c.bit_errors;
  res.frame_errors = c.frame_errors;
  res.frames = c.frames;
  res.bits = c.bits;
  res.snr_at_fer = NaN(D, numel(res.iterations));
  for d = 1:D
    for i = 1:numel(res.iterations)
      res.snr_at_fer(d, i) = snr_at(res.snr_db, res.fer(:, d, i), 1e-2);
    end
  end
  res.gain = res.snr_at_fer(:, 1) - res.snr_at_fer(:, end);
  res.exit_snr_db = opt.exit_snr_db;
  res.exit_ia = opt.exit_ia;
  res.exit_dec_ia = opt.exit_dec_ia;
  res.exit_bits = c.exit_bits;
  res.exit_det_loss = c.exit_det_loss;
  res.exit_dec_loss = c.exit_dec_loss;
  res.exit_traj_det_loss = c.exit_traj_det_loss;
  res.exit_traj_dec_loss = c.exit_traj_dec_loss;
  res.exit_ie_det = 1 - c.exit_det_loss / 2^20 / c.exit_bits;
  res.exit_ie_dec = 1 - c.exit_dec_loss / 2^20 / c.exit_dec_bits;
  res.exit_traj_det = 1 - c.exit_traj_det_loss / 2^20 / c.exit_bits;
  res.exit_traj_dec = 1 - c.exit_traj_dec_loss / 2^20 / c.exit_bits;
  [res.exit_gap_det, res.exit_gap_dec] = trajectory_gaps(res);
  res.seconds = t.seconds;
  res.setup_seconds = t.setup_seconds;
  res.wall_seconds = t.wall_seconds;
  res = study_shard_fields(res, shards);
  label = sprintf(['4 x 4 16-QAM (LTE Gray), fast Rayleigh fading, rate-1/2 K=7 (133,171), ' ...
                   '%d info bits'], ...
                  opt.info_bits);
  if ~opt.quiet
    print_report(res, opt, label);
  end
  res = study_write_plot(res, opt, @() plot_figures(res, label));
end

function [gd, gc] = trajectory_gaps(res)
% How far each pass of the measured trajectories lies from the curves, per detector (the
% largest over its passes, signed: > 0 above the curve): the detector's output against
% its curve at the a-priori MI it got (the decoder's output of the pass before; 0 in the
% first pass), and the decoder's output against its curve at the detector's output.
% The curves are read between their points by linear interpolation.
  D = size(res.exit_traj_det, 1);
  gd = NaN(D, 1);
  gc = NaN(D, 1);
  if isempty(res.exit_snr_db) || res.exit_bits == 0
    return;
  end
  for d = 1:D
    ia = [0, res.exit_traj_dec(d, 1:end - 1)];
    e = res.exit_traj_det(d, :) - interp1(res.exit_ia, res.exit_ie_det(d, :), ia, 'linear', ...
                                          'extrap');
    [~, k] = max(abs(e));
    gd(d) = e(k);
    e = res.exit_traj_dec(d, :) - interp1(res.exit_dec_ia, res.exit_ie_dec, ...
                                           res.exit_traj_det(d, :), 'linear', 'extrap');
    [~, k] = max(abs(e));
    gc(d) = e(k);
  end
end

function x = snr_at(snr, fer, target)
% The SNR where the FER curve crosses target, linear in log10(FER) between the first
% two neighbouring run points that enclose it (NaN when none do).
  x = NaN;
  for k = 1:numel(snr) - 1
    a = fer(k); b = fer(k + 1);
    if ~isnan(a) && ~isnan(b) && a >= target && b < target
      if b == 0                              % no error at the upper point: its bound
        x = snr(k + 1);
      else
        x = snr(k) + (log10(a) - log10(target)) / (log10(a) - log10(b)) * (snr(k + 1) - snr(k));
      end
      return;
    end
  end
end

function print_report(res, opt, label)
  D = numel(res.detectors);
  I1 = numel(res.iterations);
  fprintf('Iterative detection and decoding: %s\n', label);
  study_print_scope(res, sprintf('up to %d frames, until %d frame errors', opt.frames, ...
                                 opt.errors), ...
                    sprintf('up to %d frames; %d frame errors', opt.frames, opt.errors));
  for part = 1:2
    if part == 1
      fprintf('Frame error rate after i iterations\n');
    else
      fprintf('Bit error rate after i iterations\n');
    end
    fprintf('%8s', 'SNR dB');
    for d = 1:D
      fprintf('  %-*s', 9 * I1, res.detectors{d});
    end
    fprintf('\n%8s', '');
    heads = [{sprintf('i=%d', res.iterations(1))}, ...
             arrayfun(@(i) sprintf('%d', i), res.iterations(2:end), 'UniformOutput', false)];
    for d = 1:D
      fprintf('  ');
      fprintf('%9s', heads{:});
    end
    fprintf('\n');
    for si = 1:numel(res.snr_db)
      fprintf('%8g', res.snr_db(si));
      for d = 1:D
        fprintf('  ');
        for i = 1:I1
          if part == 1
            fprintf('%9s', rate_text(res.fer(si, d, i), res.frame_errors(si, d, i)));
          else
            fprintf('%9s', rate_text(res.ber(si, d, i), res.bit_errors(si, d, i)));
          end
        end
      end
      fprintf('\n');
    end
    fprintf('\n');
  end
  fprintf('frames per point: ');
  fprintf('%s %s; ', res.detectors{1}, mat2str(res.frames(:, 1)'));
  fprintf('(the others alike or fewer)\n');
  fprintf('0: no error; -: not run\n\n');
  fprintf('%-16s', 'SNR at FER 1e-2');
  heads = arrayfun(@(i) sprintf('i=%d', i), res.iterations, 'UniformOutput', false);
  fprintf('%9s', heads{:});
  fprintf('%12s %10s\n', 'IDD gain', 'seconds');
  for d = 1:D
    fprintf('%-16s', res.detectors{d});
    fprintf('%9.2f', res.snr_at_fer(d, :));
    fprintf('%9.2f dB %10.2f\n', res.gain(d), res.seconds(d));
  end
  if ~isempty(res.exit_snr_db) && res.exit_bits > 0
    fprintf('\nEXIT chart at %g dB (%d code bits a point)\n', res.exit_snr_db, res.exit_bits);
    fprintf('%-16s', 'I_A');
    fprintf('%7.2f', res.exit_ia);
    fprintf('\n');
    for d = 1:D
      fprintf('%-16s', res.detectors{d});
      fprintf('%7.3f', res.exit_ie_det(d, :));
      fprintf('\n');
    end
    fprintf('decoder (I_A: I_E)');
    shown = 1:5:numel(res.exit_dec_ia);
    fprintf(' %.2f: %.3f', [res.exit_dec_ia(shown); res.exit_ie_dec(shown)]);
    fprintf('\n');
    fprintf(['trajectory (detector I_E, decoder I_E) per pass, and its largest distance ' ...
             'from the detector''s and the decoder''s curves:\n']);
    for d = 1:D
      fprintf('%-16s', res.detectors{d});
      fprintf('  (%.3f, %.3f)', [res.exit_traj_det(d, :); res.exit_traj_dec(d, :)]);
      fprintf('   %+.3f %+.3f\n', res.exit_gap_det(d), res.exit_gap_dec(d));
    end
  end
  study_print_times(res, '');
end

function text = rate_text(rate, errors)
  if isnan(rate)
    text = '-';
  elseif errors == 0
    text = '0';
  else
    text = sprintf('%.2e', rate);
  end
end

function h = plot_figures(res, title_text)
% FER against SNR (solid: no iteration, dashed: the most iterations), and the EXIT chart.
  h = study_figure('position', [100 100 1000 440]);
  D = numel(res.detectors);
  markers = {'o', 's', 'd', 'v', '^'};
  colors = lines(D);
  subplot(1, 2, 1);
  for d = 1:D
    for i = [1 numel(res.iterations)]
      fer = res.fer(:, d, i);
      shown = res.frame_errors(:, d, i) > 0;
      style = '-';
      if i > 1, style = '--'; end
      if any(shown)
        semilogy(res.snr_db(shown), fer(shown), [style markers{d}], 'color', colors(d, :), ...
                 'linewidth', 1.5);
      else
        semilogy(NaN, NaN, [style markers{d}], 'color', colors(d, :));
      end
      hold on;
    end
  end
  hold off;
  grid on;
  xlabel('SNR (dB)');
  ylabel(sprintf('FER (solid: 0 iterations, dashed: %d)', res.iterations(end)));
  names = [res.detectors; repmat({''}, 1, D)];
  legend(names(:), 'location', 'southwest');
  title(title_text);
  subplot(1, 2, 2);
  if ~isempty(res.exit_snr_db) && res.exit_bits > 0
    for d = 1:D
      plot(res.exit_ia, res.exit_ie_det(d, :), ['-' markers{d}], 'color', colors(d, :), ...
           'linewidth', 1.5);
      hold on;
    end
    plot(res.exit_ie_dec, res.exit_dec_ia, 'k-', 'linewidth', 2);
    for d = 1:D                              % the staircase of each detector's run
      x = [0 res.exit_traj_dec(d, :)];
      y = res.exit_traj_det(d, :);
      sx = reshape([x(1:end - 1); x(2:end)], 1, []);
      sy = reshape([y; y], 1, []);
      plot(sx, sy, '--', 'color', colors(d, :), 'linewidth', 1, 'handlevisibility', 'off');
    end
    hold off;
    grid on;
    axis([0 1 0 1]);
    xlabel('I_A of the detector = I_E of the decoder');
    ylabel('I_E of the detector = I_A of the decoder');
    legend([res.detectors, {'decoder (inverted)'}], 'location', 'southeast');
    title(sprintf('EXIT chart at %g dB; dashed: the trajectories of real runs', ...
                  res.exit_snr_db));
  end
end
