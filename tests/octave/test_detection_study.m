% SPDX-License-Identifier: BSD-3-Clause
function test_detection_study()
% A short run of the demo study with a fixed seed: what must hold statistically.
  here = fileparts(mfilename('fullpath'));
  addpath(fullfile(here, '..', '..', 'demo'));
  png = [tempname() '.png'];
  res = detection_study('n', 6, 'snr_db', [8 28], 'trials', 60, 'frame', 4, ...
                        'seed', 5, 'png', png, 'quiet', true);
  % the exact search is never farther from y than any other detector's point in the box
  assert(res.ml_worse == 0, 'ML point farther than another point');
  % ... and so its error rate is the lowest at high SNR, where distance decides
  assert(res.ser(2, 3) <= min(res.ser(2, [1 2 4])), 'ML not best at high SNR');
  % reduction-aided decision feedback beats plain decision feedback at high SNR
  assert(res.ser(2, 2) < res.ser(2, 1), 'LR-DF does not beat DF at high SNR');
  assert(all(res.ser(:) >= 0 & res.ser(:) <= 1));
  assert(res.box_passes_warm <= res.box_passes_cold, 'warm starts take more passes');
  info = dir(png);
  assert(numel(info) == 1 && info.bytes > 1000, 'no plot written');
  delete(png);
  check_counts(res, 100, 60, 4);

  % the stopping rule: at low SNR every detector stops soon after errors on 100
  % channels, far below the cap
  res = detection_study('n', 4, 'snr_db', [0 6], 'trials', 5000, 'frame', 3, ...
                        'seed', 2, 'png', '', 'quiet', true);
  check_counts(res, 100, 5000, 3);
  assert(all(res.error_channels(:) >= 100), 'stopped before errors on 100 channels');
  assert(all(res.vectors(:) < 5000 * 3 / 4), 'did not stop at the error count');
  assert(res.ml_worse == 0, 'ML point farther than another point');

  % a cap small enough that the exact search finds no error at 30 dB: it is not run at
  % 40 dB, and the others go on where they still make errors
  res = detection_study('n', 4, 'snr_db', [30 40], 'trials', 50, 'frame', 2, ...
                        'error_channels', 20, 'seed', 3, 'png', '', 'quiet', true);
  check_counts(res, 20, 50, 2);
  assert(res.errors(1, 3) == 0 && res.vectors(2, 3) == 0 && isnan(res.ser(2, 3)), ...
         'ML run after a point without errors');
  assert(res.vectors(2, 1) > 0, 'DF stopped although it made errors');

  % without noise every detector recovers every symbol: the channel model, the integer
  % form, LR-DF's mapping back, the warm starts and the real-valued form of QAM agree
  for modulation = {'pam', 'qam'}
    res = detection_study('modulation', modulation{1}, 'n', 3, 'snr_db', 300, ...
                          'trials', 40, 'frame', 5, 'seed', 6, 'png', '', 'quiet', true);
    assert(all(res.errors == 0) && all(res.vectors == 200), ...
           [modulation{1} ': errors without noise']);
    assert(res.box_capped == 0 && res.box_failed == 0 && res.ml_worse == 0);
  end

  % complex 16-QAM in its real-valued form: the same properties on 2n real dimensions
  png = [tempname() '.png'];
  res = detection_study('modulation', 'qam', 'n', 3, 'snr_db', [6 34], 'trials', 150, ...
                        'frame', 4, 'seed', 4, 'png', png, 'quiet', true);
  assert(strcmp(res.modulation, 'qam') && res.n == 3);
  check_counts(res, 100, 150, 4);
  assert(res.ml_worse == 0, 'QAM: ML point farther than another point');
  assert(res.ser(1, 3) <= min(res.ser(1, [1 2])), 'QAM: ML not better than DF at low SNR');
  assert(res.ser(2, 3) <= min(res.ser(2, [1 2 4])), 'QAM: ML not best at high SNR');
  assert(res.ser(2, 2) < res.ser(2, 1), 'QAM: LR-DF does not beat DF at high SNR');
  assert(res.box_passes_warm <= res.box_passes_cold, 'QAM: warm starts take more passes');
  info = dir(png);
  assert(numel(info) == 1 && info.bytes > 1000, 'QAM: no plot written');
  delete(png);
end

function check_counts(res, error_channels, trials, frame)
% The counts of a run obey its stopping rule: every point ends with errors on
% error_channels channels or at the cap, in whole channels, and a detector is skipped
% only after a point where it made no error within the cap.
  cap = trials * frame;
  for d = 1:4
    for si = 1:numel(res.snr_db)
      v = res.vectors(si, d);
      e = res.errors(si, d);
      c = res.error_channels(si, d);
      if v == 0
        assert(si > 1 && any(res.errors(1:si - 1, d) == 0 & ...
                             res.vectors(1:si - 1, d) == cap), 'detector skipped early');
        continue;
      end
      assert(mod(v, frame) == 0 && v <= cap, 'vectors not in whole channels within the cap');
      assert(c >= error_channels || v == cap, 'stopped before the error count and the cap');
      assert(c <= e && e <= res.n * v && c <= v / frame, 'more errors than symbols');
      assert((c == 0) == (e == 0), 'errors without a channel in error');
      assert(abs(res.ser(si, d) - e / (res.n * v)) <= 1e-15, 'error rate not errors/symbols');
    end
  end
end
