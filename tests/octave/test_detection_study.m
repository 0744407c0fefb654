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
end
