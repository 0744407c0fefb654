% SPDX-License-Identifier: BSD-3-Clause
function test_idd_study()
% The iterative detection and decoding study: its error counts and EXIT figures against
% a receiver written out here from the same draws, its identities, and its shards.
  here = fileparts(mfilename('fullpath'));
  addpath(fullfile(here, '..', '..', 'demo'));
  check_against_recomputation();
  check_high_snr();
  check_shards();
  expect_error(@() idd_study('info_bits', 11), ...
               'idd_study: info_bits + 6 must be a multiple of 8 (16 code bits a vector)');
  expect_error(@() idd_study('trials', 3), 'idd_study: unknown option ''trials''');
end

function check_against_recomputation()
% Every count equals the one of a receiver loop written here (without exit_trajectory)
% on the study's draws: study_stream, then per frame the info bits, the interleaver's
% keys, the channels (real, imaginary) and the noise (real, imaginary); after the SNR
% points the EXIT frames (the same draws, then the priors' normal values) and the
% decoder's curve.
  k = 10; nc = 32; V = 2; iters = 2;
  ia = [0 0.5 0.9];
  opts = {'snr_db', [0 30], 'frames', 3, 'errors', 100, 'app_frames', 3, 'info_bits', k, ...
          'iterations', iters, 'exit_snr_db', 20, 'exit_ia', ia, 'exit_dec_ia', [0.2 0.6], ...
          'exit_frames', 2, ...
          'seed', 3, 'png', '', 'quiet', true};
  res = idd_study(opts{:});
  table = [1+1i; 1+3i; 3+1i; 3+3i; 1-1i; 1-3i; 3-1i; 3-3i; ...
           -1+1i; -1+3i; -3+1i; -3+3i; -1-1i; -1-3i; -3-1i; -3-3i];
  const = table / sqrt(10);
  labels = dec2bin(0:15, 4) - '0';
  code = conv_code(7, [133 171]);
  methods = {{'maxlog'}, {'app'}, {'kbest', 'K', 16}, {'mmse-pic'}, {'ep'}};
  study_stream(3, [1 1]);
  bit_errors = zeros(2, 5, iters + 1); frame_errors = bit_errors;
  for si = 1:2
    N0 = 4 / 10^([0 30](si) / 10);
    for f = 1:3
      [u, c, perm, H, Y] = frame(k, nc, V, const, code, N0);
      for d = 1:5
        detect = @(La) mimo_detect(Y, H, N0, const, labels, methods{d}{:}, 'clip', 20, ...
                                   'prior', La, 'output', 'extrinsic');
        [Lu, ~] = receiver(detect, code, c, perm, iters);
        wrong = reshape(sum((Lu < 0) ~= u, 1), 1, 1, []);
        bit_errors(si, d, :) = bit_errors(si, d, :) + wrong;
        frame_errors(si, d, :) = frame_errors(si, d, :) + (wrong > 0);
      end
    end
  end
  assert(isequal(res.bit_errors, bit_errors), 'bit errors differ from the recomputation');
  assert(isequal(res.frame_errors, frame_errors), 'frame errors differ');
  assert(isequal(res.frames, 3 * ones(2, 5)) && isequal(res.bits, 3 * k * ones(2, 5)));
  assert(all(frame_errors(1, :, 1) > 0), 'no errors at 0 dB: the case tests nothing');

  N0 = 4 / 10^(20 / 10);
  loss = zeros(5, numel(ia)); traj_det = zeros(5, iters + 1); traj_dec = traj_det;
  for f = 1:2
    [~, c, perm, H, Y] = frame(k, nc, V, const, code, N0);
    noise = randn(nc, numel(ia));
    b = reshape(c(perm), 16, V);
    for d = 1:5
      detect = @(La) mimo_detect(Y, H, N0, const, labels, methods{d}{:}, 'clip', 20, ...
                                 'prior', La, 'output', 'extrinsic');
      for j = 1:numel(ia)
        Le = detect(prior_llrs(b, ia(j), reshape(noise(:, j), 16, V)));
        loss(d, j) = loss(d, j) + units(llr_mi(Le, b), nc);
      end
      [~, mi] = receiver(detect, code, c, perm, iters);
      traj_det(d, :) = traj_det(d, :) + units(mi(1, :), nc);
      traj_dec(d, :) = traj_dec(d, :) + units(mi(2, :), nc);
    end
  end
  dec = units(exit_decoder_curve(code, [0.2 0.6], k, 2), 2 * nc);
  assert(isequal(res.exit_det_loss, loss), 'detector EXIT curves differ');
  assert(isequal(res.exit_traj_det_loss, traj_det) && isequal(res.exit_traj_dec_loss, traj_dec), ...
         'trajectories differ');
  assert(isequal(res.exit_dec_loss, dec), 'decoder curve differs');
  % I_A = 0 is the first pass of the trajectory: the detector without priors
  assert(isequal(res.exit_det_loss(:, 1), res.exit_traj_det_loss(:, 1)), 'I_E(0) is not the BMI');
  assert(all(abs(res.exit_ie_det(:, 1) - (1 - traj_det(:, 1) / 2^20 / (2 * nc))) < 1e-12));
end

function [Lu, mi] = receiver(detect, code, c, perm, iters)
% The iterative receiver written out: the decoder's info-bit LLRs after each pass (a
% column each) and the MI of the detector's and the decoder's extrinsic LLRs (rows).
  nc = numel(c);
  La = zeros(16, nc / 16);
  for i = 1:iters + 1
    Le = detect(La);
    L = zeros(nc, 1);
    L(perm) = Le(:);
    [Lu(:, i), Lc] = conv_decode(L, code, 'output', 'extrinsic');
    mi(:, i) = [llr_mi(Le, reshape(c(perm), size(Le))); llr_mi(Lc, c)];
    La = reshape(Lc(perm), size(La));
  end
end

function [u, c, perm, H, Y] = frame(k, nc, V, const, code, N0)
  u = double(rand(k, 1) < 0.5);
  c = conv_encode(u, code);
  [~, perm] = sort(rand(nc, 1));
  bits = reshape(c(perm), 16, V);
  H = complex(randn(4, 4, V), randn(4, 4, V)) / sqrt(2);
  W = sqrt(N0 / 2) * complex(randn(4, V), randn(4, V));
  Y = zeros(4, V);
  for v = 1:V
    idx = 1 + bin2dec(char('0' + reshape(bits(:, v), 4, 4)'));   % antenna a: bits 4a-3..4a
    x = const(idx);
    y = zeros(4, 1);
    for j = 1:4                              % the study's order of the sums
      y = y + H(:, j, v) * x(j);
    end
    Y(:, v) = y + W(:, v);
  end
end

function n = units(I, bits)
  n = round((1 - I) * bits * 2^20);
end

function check_high_snr()
% At 40 dB no frame has an error after any iteration count; every detector runs its
% frames (no point stops early), and the FER curves never cross 1e-2 (NaN).
  res = idd_study('snr_db', 40, 'frames', 2, 'app_frames', 2, 'info_bits', 26, ...
                  'exit_snr_db', [], 'png', '', 'quiet', true);
  assert(isequal(res.frames, 2 * ones(1, 5)) && all(res.bit_errors(:) == 0), 'errors at 40 dB');
  assert(all(res.fer(:) == 0) && all(isnan(res.gain)), 'FER at 40 dB');
  assert(isequal(size(res.fer), [1 5 4]) && isequal(res.iterations, 0:3));
end

function check_shards()
% Two shards merged: the counts of both, added; each shard alone differs from the other
% (streams of their own).
  f = {[tempname() '.mat'], [tempname() '.mat']};
  opts = {'snr_db', [8 12], 'frames', 2, 'app_frames', 1, 'info_bits', 26, 'iterations', 1, ...
          'exit_snr_db', 10, 'exit_ia', [0 0.6], 'png', '', 'quiet', true};
  r = cell(1, 2);
  for i = 1:2
    r{i} = idd_study(opts{:}, 'shard', [i 2], 'save', f{i});
  end
  m = study_merge(f, 'png', '', 'quiet', true);
  delete(f{:});
  assert(isequal(m.bit_errors, r{1}.bit_errors + r{2}.bit_errors), 'merged bit errors');
  assert(isequal(m.frames, r{1}.frames + r{2}.frames), 'merged frames');
  assert(isequal(m.exit_det_loss, r{1}.exit_det_loss + r{2}.exit_det_loss), 'merged EXIT');
  assert(m.exit_bits == 2 * r{1}.exit_bits && m.merged, 'merged EXIT bits');
  assert(~isequal(r{1}.exit_det_loss, r{2}.exit_det_loss), 'the shards drew the same');
end
