% SPDX-License-Identifier: BSD-3-Clause
function test_soft_study()
% The soft study: its mutual information and bit errors against cases computed apart
% from it, and its shards (streams of their own, exact merges, refusals).
  here = fileparts(mfilename('fullpath'));
  demo = fullfile(here, '..', '..', 'demo');
  addpath(demo);
  check_high_snr();
  check_against_recomputation();
  check_shards();
  check_help_example(demo);
  expect_error(@() soft_study('trials', 3), 'soft_study: unknown option ''trials''');
  expect_error(@() soft_study('shard', [3 2]), ...
               'soft_study: a shard is [i n], part i of n, with integers 1 <= i <= n');
end

function check_high_snr()
% At 70 dB every max-log LLR is far beyond the clip and has the sent bit's sign: no bit
% error, and the MI is exactly 16 * (1 - log2(1 + exp(-clip))) (up to the 2^-20 bit
% rounding per frame). clip 1 puts the figure far from 16, clip 20 just below it.
  for clip = [1 20]
    res = soft_study('snr_db', 70, 'channels', 40, 'frame', 4, 'batch', 64, ...
                     'clip', clip, 'png', '', 'quiet', true);
    expected = 16 * (1 - log2(1 + exp(-clip)));
    frames = ceil(40 / 16);
    for d = 1:4                              % MAXLOG, APP, KBEST, KBEST-C
      assert(res.bit_errors(d) == 0 && res.bits(d) == 16 * 160, 'errors at 70 dB');
      assert(abs(res.mi(d) - expected) <= frames * 2^-21 / 160 + 1e-12, ...
             sprintf('clip %g: MI %.9f, not %.9f', clip, res.mi(d), expected));
    end
    assert(all(res.nodes(1:4) > 0) && all(res.nodes(5:6) == 0));
    assert(isequaln(res.nodes_per_vector(5:6), [NaN NaN]));
    assert(all(res.gmi(:) >= res.mi(:)), 'the GMI is below the MI');
  end
  res = soft_study('snr_db', 70, 'channels', 20, 'png', '', 'quiet', true);
  assert(all(res.ber(1, 1:4) == 0) && all(abs(res.mi(1, 1:4) - 16) < 1e-6), ...
         'the tree methods are not error-free at 70 dB');
end

function check_against_recomputation()
% The study's figures equal the ones computed here from the same draws, with the
% constellation written out from LTE's table and log2(1 + exp(x)) by another identity,
% max(x, 0)/log(2) + log2(1 + exp(-|x|)) (clip 60: wrong LLRs beyond 30 occur). The
% draws: study_stream, then per frame the channels (real, then imaginary parts), the
% symbol indices and the noise (real, imaginary).
  opts = {'snr_db', [2 14], 'channels', 7, 'frame', 3, 'batch', 12, 'seed', 5, ...
          'clip', 60, 'png', '', 'quiet', true};
  res = soft_study(opts{:});
  % LTE 16-QAM, label b0 b1 b2 b3 of m - 1 -> point m (times sqrt(10))
  table = [1+1i; 1+3i; 3+1i; 3+3i; 1-1i; 1-3i; 3-1i; 3-3i; ...
           -1+1i; -1+3i; -3+1i; -3+3i; -1-1i; -1-3i; -3-1i; -3-3i];
  const = table / sqrt(10);
  labels = dec2bin(0:15, 4) - '0';
  methods = {{'maxlog'}, {'app'}, {'kbest', 'K', 16}, {'kbest', 'K', 16, 'fill', 'clip'}, ...
             {'mmse'}, {'zf'}};
  study_stream(5, [1 1]);
  loss = zeros(2, 6); errors = zeros(2, 6); nodes = zeros(2, 6); count = zeros(2, 6);
  grid = 2 .^ (-5:0.5:1); loss_s = zeros(2, 6, numel(grid));
  for si = 1:2
    N0 = 4 / 10^([2 14](si) / 10);
    for P = [4 3]                            % 7 channels: frames of 4 and 3 (batch 12)
      K = 3 * P;
      H = complex(randn(4, 4, P), randn(4, 4, P)) / sqrt(2);
      sent = floor(16 * rand(4, K)) + 1;
      W = sqrt(N0 / 2) * complex(randn(4, K), randn(4, K));
      Y = zeros(4, K);
      b = zeros(16, K);
      for k = 1:K
        Y(:, k) = H(:, :, ceil(k / 3)) * const(sent(:, k)) + W(:, k);
        b(:, k) = reshape(labels(sent(:, k), :)', 16, 1);
      end
      for d = 1:6
        [llr, ~, info] = mimo_detect(Y, H, N0, const, labels, methods{d}{:}, 'clip', 60);
        x = -(1 - 2 * b) .* llr;
        loss(si, d) = loss(si, d) + sum(max(x(:), 0) / log(2) + log2(1 + exp(-abs(x(:)))));
        for j = 1:numel(grid)
          y = grid(j) * x(:);
          loss_s(si, d, j) = loss_s(si, d, j) + sum(max(y, 0) / log(2) + log2(1 + exp(-abs(y))));
        end
        errors(si, d) = errors(si, d) + sum(sum((llr < 0) ~= b));
        nodes(si, d) = nodes(si, d) + sum(info.nodes);
        count(si, d) = count(si, d) + K;
      end
    end
  end
  assert(isequal(res.vectors, count) && isequal(res.bits, 16 * count));
  assert(isequal(res.bit_errors, errors), 'bit errors differ');
  assert(isequal(res.nodes, nodes), 'nodes differ');
  mi = 16 - loss ./ count;
  assert(max(abs(res.mi(:) - mi(:))) < 1e-6, 'MI differs from the recomputation');
  mi_s = 16 - loss_s ./ count;               % the GMI is at least the best grid point
  assert(max(abs(res.mi_loss_s(:) / 2^20 - loss_s(:))) < 1e-4, 'the loss of s*L differs');
  assert(all(all(res.gmi >= max(mi_s, [], 3) - 1e-6)) && all(res.gmi(:) >= res.mi(:)));
  assert(any(res.bit_errors(1, :) > 0) && all(res.mi(1, :) < 14), ...
         'the 2 dB point looks clean');
end

function check_shards()
  folder = tempname();
  mkdir(folder);
  cleanup = onCleanup(@() rmdir(folder, 's'));
  opts = {'snr_db', [4 16], 'channels', 9, 'frame', 2, 'batch', 8, 'seed', 3, ...
          'png', '', 'quiet', true};
  file = @(i) fullfile(folder, sprintf('soft%d.mat', i));
  fields = {'bit_errors', 'bits', 'vectors', 'nodes', 'mi_loss', 'mi_loss_s'};
  runs = cell(1, 3);
  for i = 1:3
    runs{i} = soft_study(opts{:}, 'shard', [i 3], 'save', file(i));
  end
  assert(~isequal(runs{1}.mi_loss, runs{2}.mi_loss), 'two shards gave the same sums');
  % a shard rerun, after other draws, gives the same counts, and writes them
  rand(3); randn(4);
  again = soft_study(opts{:}, 'shard', [2 3], 'save', file(2));
  for f = fields
    assert(isequal(again.(f{1}), runs{2}.(f{1})), ['a rerun changed ' f{1}]);
  end
  % the merge of the files in any order is the serial run of the same shards
  for source = {folder, {file(3), file(1), file(2)}}
    res = study_merge(source{1}, 'png', '', 'quiet', true);
    for f = fields
      total = runs{1}.(f{1}) + runs{2}.(f{1}) + runs{3}.(f{1});
      assert(isequal(res.(f{1}), total), ['merged ' f{1} ' are not the sum']);
    end
    assert(isequal(res.mi, 16 - res.mi_loss / 2^20 ./ res.vectors));
    assert(isequal(res.ber, res.bit_errors ./ res.bits));
    assert(res.merged && isequal(res.shard, 1:3) && isequal(fieldnames(res), ...
                                                             fieldnames(runs{1})));
  end
  % the merged result, NaN nodes per vector of the linear filters included, saves and
  % reads back as returned
  merged_file = fullfile(folder, 'merged', 'result.mat');
  mkdir(fileparts(merged_file));
  res = study_merge(folder, 'png', '', 'quiet', true, 'save', merged_file);
  back = load(merged_file);
  assert(isequaln(back.study_result, res) && any(isnan(res.nodes_per_vector)));
  % shard [1 1] is the run without shards
  whole = soft_study(opts{:});
  one = soft_study(opts{:}, 'shard', [1 1]);
  assert(isequal(whole.mi_loss, one.mi_loss) && isequal(whole.bit_errors, one.bit_errors));
  % a soft-study file does not merge with a detection-study file, nor other options
  other = fullfile(folder, 'other');
  mkdir(other);
  detection_study('n', 4, 'snr_db', 20, 'trials', 5, 'shard', [2 3], 'png', '', ...
                  'quiet', true, 'save', fullfile(other, 'det.mat'));
  det = fullfile(other, 'det.mat');
  expect_error(@() study_merge({file(1), det, file(3)}, 'quiet', true), ...
               sprintf('study_merge: %s is a shard of detection_study, %s of soft_study', ...
                       det, file(1)));
  soft_study(opts{:}, 'clip', 10, 'shard', [2 3], 'save', fullfile(other, 'clip.mat'));
  expect_error(@() study_merge({file(1), fullfile(other, 'clip.mat'), file(3)}, ...
                               'quiet', true), ...
               sprintf(['study_merge: %s and %s come from different options ' ...
                        '(''clip'': 20 and 10)'], file(1), fullfile(other, 'clip.mat')));
  % the command-line form runs it too
  out = fullfile(folder, 'command');
  via = study_command('shard', 'soft_study', out, '2', '3', 'snr_db=[4 16]', ...
                      'channels=9', 'frame=2', 'batch=8', 'seed=3', 'quiet=true');
  assert(isequal(via.mi_loss, runs{2}.mi_loss), 'the command line gave other sums');
end

function check_help_example(demo)
  text = fileread(fullfile(demo, 'soft_study.m'));
  lines = strsplit(text, "\n");
  at = find(strncmp(lines, '%   Example', 11), 1);
  code = {};
  for k = at + 1:numel(lines)
    if ~strncmp(lines{k}, '%     ', 6)
      break;
    end
    code{end + 1} = lines{k}(7:end);        %#ok<AGROW>
  end
  assert(numel(code) > 3, 'no example in soft_study');
  evalc(strjoin(code, "\n"));
end
