% SPDX-License-Identifier: BSD-3-Clause
function test_study_shards()
% A study split into shards: streams of their own, files written whole, a merge that
% adds exactly and refuses what does not belong together.
  here = fileparts(mfilename('fullpath'));
  demo = fullfile(here, '..', '..', 'demo');
  addpath(demo);
  folder = tempname();
  mkdir(folder);
  cleanup = onCleanup(@() rmdir(folder, 's'));
  opts = {'n', 4, 'snr_db', [8 24], 'trials', 30, 'frame', 3, 'error_channels', 20, ...
          'seed', 11, 'png', '', 'quiet', true};
  file = @(i, n) fullfile(folder, sprintf('s%d_of_%d.mat', i, n));

  % three shards one after another in one process, each saved
  runs = cell(1, 3);
  for i = 1:3
    runs{i} = detection_study(opts{:}, 'shard', [i 3], 'save', file(i, 3));
    assert(isequal(runs{i}.shard, [i 3]) && runs{i}.shard_count == 3 && ~runs{i}.merged);
  end
  % each shard's counts do not depend on what ran before it: again in reverse order,
  % after other draws
  rand(5); randn(7);
  for i = 3:-1:1
    again = detection_study(opts{:}, 'shard', [i 3]);
    assert(same_counts(again, runs{i}), sprintf('shard %d: other counts after others', i));
  end
  % ... and different shards draw different streams
  assert(~isequal(runs{1}.errors, runs{2}.errors) && ~isequal(runs{2}.errors, runs{3}.errors), ...
         'two shards gave the same errors');

  % the merge, from the folder and from a list in any order, adds the counts exactly
  saved = cellfun(@(i) load(file(i, 3)), {1, 2, 3});
  for source = {folder, {file(3, 3), file(1, 3), file(2, 3)}}
    res = study_merge(source{1}, 'png', '', 'quiet', true);
    for f = {'errors', 'error_channels', 'vectors', 'ml_worse', 'box_capped', 'box_failed'}
      total = runs{1}.(f{1}) + runs{2}.(f{1}) + runs{3}.(f{1});
      assert(isequal(res.(f{1}), total), ['merged ' f{1} ' are not the sum']);
    end
    c = [saved.study_shard];
    c = [c.counts];
    assert(res.box_passes_cold == sum([c.passes_cold]) / sum([c.solves_cold]));
    assert(res.box_passes_warm == sum([c.passes_warm]) / sum([c.solves_warm]));
    assert(isequaln(res.ser, res.errors ./ (res.vectors * 4)), 'merged rate not errors/symbols');
    assert(res.merged && isequal(res.shard, 1:3) && res.shard_count == 3 && ...
           isempty(res.missing) && all(res.shard_seconds > 0));
    assert(isequal(fieldnames(res), fieldnames(runs{1})), 'not the result of a run');
  end

  % shard [1 1] is the run without shards, and its merge is that run
  whole = detection_study(opts{:});
  single = fullfile(folder, 'whole', 'run.mat');
  mkdir(fileparts(single));
  one = detection_study(opts{:}, 'shard', [1 1], 'save', single);
  assert(same_counts(whole, one), 'shard [1 1] is not the run without shards');
  assert(same_counts(study_merge({single}, 'png', '', 'quiet', true), whole));

  % a rerun writes the same counts, under another name or over the same file
  rerun = fullfile(folder, 'rerun', 'again.mat');
  mkdir(fileparts(rerun));
  detection_study(opts{:}, 'shard', [2 3], 'save', rerun);
  a = load(file(2, 3));
  b = load(rerun);
  assert(isequal(a.study_shard.counts, b.study_shard.counts) && ...
         isequal(a.study_shard.options, b.study_shard.options), 'a rerun wrote other counts');
  detection_study(opts{:}, 'shard', [2 3], 'save', file(2, 3));
  c = load(file(2, 3));
  assert(isequal(a.study_shard.counts, c.study_shard.counts), 'a rerun over the file differs');
  assert(isempty(dir(fullfile(folder, '*.part-*'))), 'a temporary file was left');

  % what a merge refuses
  expect_error(@() study_merge({file(1, 3), rerun, file(2, 3)}, 'quiet', true), ...
               sprintf('study_merge: shard 2 of 3 is there twice: %s and %s', rerun, file(2, 3)));
  other = fullfile(folder, 'other', 'trials.mat');
  mkdir(fileparts(other));
  detection_study(opts{:}, 'trials', 31, 'shard', [2 3], 'save', other);
  expect_error(@() study_merge({file(1, 3), other, file(3, 3)}, 'quiet', true), ...
               sprintf(['study_merge: %s and %s come from different options ' ...
                        '(''trials'': 30 and 31)'], file(1, 3), other));
  detection_study(opts{:}, 'modulation', 'qam', 'shard', [2 3], 'save', other);
  expect_error(@() study_merge({file(1, 3), other}, 'quiet', true), ...
               sprintf(['study_merge: %s and %s come from different options ' ...
                        '(''M'': 4 and 16)'], file(1, 3), other));
  expect_error(@() study_merge({file(1, 3), single}, 'quiet', true), ...
               sprintf(['study_merge: %s is shard 1 of 1, %s shard 1 of 3: different ' ...
                        'shard counts'], single, file(1, 3)));
  % the missing shards are named, and a partial merge adds the others
  expect_error(@() study_merge({file(3, 3)}, 'quiet', true), ...
               ['study_merge: 2 of 3 shards missing: 1, 2 (no file for them); run them ' ...
                'again (the same shard gives the same counts), or merge what there is ' ...
                'with ''partial'', true']);
  part = study_merge({file(3, 3), file(1, 3)}, 'partial', true, 'png', '', 'quiet', true);
  assert(isequal(part.missing, 2) && isequal(part.shard, [1 3]) && part.merged);
  assert(isequal(part.vectors, runs{1}.vectors + runs{3}.vectors), 'partial merge counts');
  assert(isnan(part.shard_seconds(2)));
  % files that hold no shard, or cannot be read, or are of another study
  plain = fullfile(folder, 'plain.mat');
  x = 1;
  save('-v7', plain, 'x');
  expect_error(@() study_merge({plain}), ...
               sprintf('study_merge: %s holds no shard (no variable study_shard)', plain));
  broken = fullfile(folder, 'other', 'broken.mat');
  write_bytes(broken, uint8(1:200));
  expect_error_start(@() study_merge({broken}), ...
                     sprintf('study_merge: cannot read %s: ', broken));
  expect_error_start(@() study_merge(fileparts(broken)), ...
                     sprintf('study_merge: cannot read %s: ', broken));
  study_shard = a.study_shard;
  study_shard.study = 'soft_study';
  foreign = fullfile(folder, 'other', 'foreign.mat');
  save('-v7', foreign, 'study_shard');
  expect_error(@() study_merge({file(1, 3), foreign}), ...
               sprintf('study_merge: %s is a shard of soft_study, %s of detection_study', ...
                       foreign, file(1, 3)));
  expect_error(@() study_merge({file(1, 3)}, 'study', 'soft_study'), ...
               sprintf('study_merge: %s is a shard of detection_study, not of soft_study', ...
                       file(1, 3)));
  expect_error(@() study_merge(fullfile(folder, 'rerun', 'none')), ...
               sprintf(['study_merge: %s is not a folder (give a folder or a cell array ' ...
                        'of files)'], fullfile(folder, 'rerun', 'none')));
  expect_error(@() study_merge(fullfile(folder, 'rerun')), ...  % again.mat: shard 2 of 3
               'study_merge: 2 of 3 shards missing: 1, 3 (no file for them); run them again (the same shard gives the same counts), or merge what there is with ''partial'', true');
  % a half-written file (a shard killed while saving) is never read: the folder merge
  % passes over temporary names and over MAT files without a shard (plain.mat)
  write_bytes([file(2, 3) '.part-host-123'], uint8(1:50));
  res = study_merge(folder, 'png', '', 'quiet', true);
  assert(isequal(res.vectors, runs{1}.vectors + runs{2}.vectors + runs{3}.vectors));
  % ... and a file that cannot be written leaves nothing under its name
  nowhere = fullfile(folder, 'no such folder', 'x.mat');
  expect_error_start(@() study_save(nowhere, 'detection_study', struct(), [1 1], ...
                                    struct('e', 1), struct()), ...
                     sprintf('study_save: cannot write %s: ', nowhere));
  assert(~exist(nowhere, 'file'));

  % the merged result can itself be saved, and it reads back as returned
  merged_file = fullfile(folder, 'merged.mat');
  res = study_merge(folder, 'png', '', 'quiet', true, 'save', merged_file);
  back = load(merged_file);
  assert(isequaln(back.study_result, res), 'the saved merged result differs');

  check_streams();
  check_command(opts, folder);
  check_help_examples(demo);
end

function check_streams()
% study_stream: the same shard the same stream, whatever was drawn before; [1 1] the
% stream of a run without shards; the shard is checked.
  study_stream(9, [3 5]);
  a = [rand(1, 4), randn(1, 4)];
  rand(1, 3);
  study_stream(9, [3 5]);
  assert(isequal(a, [rand(1, 4), randn(1, 4)]), 'the same shard, another stream');
  study_stream(9, [2 5]);
  assert(~isequal(a, [rand(1, 4), randn(1, 4)]), 'two shards, one stream');
  study_stream(9, [3 6]);
  assert(~isequal(a, [rand(1, 4), randn(1, 4)]), 'two shard counts, one stream');
  study_stream(9, [1 1]);
  b = rand(1, 4);
  rng(9);
  assert(isequal(b, rand(1, 4)), 'shard [1 1] is not the seed''s stream');
  for bad = {[0 2], [3 2], [1.5 2], [1 2 3], [NaN 2]}
    expect_error(@() study_stream(1, bad{1}), ...
                 'study_stream: a shard is [i n], part i of n, with integers 1 <= i <= n');
  end
  for bad = {-1, 2^32, 1.5}
    expect_error(@() study_stream(bad{1}, [1 2]), ...
                 'study_stream: the seed must be an integer in [0, 2^32 - 1]');
  end
  expect_error(@() detection_study('shard', [2 1]), ...
               'detection_study: a shard is [i n], part i of n, with integers 1 <= i <= n');
end

function check_command(opts, folder)
% The command-line form (strings only) gives the counts of the call with values.
  out = fullfile(folder, 'command');
  args = {'n=4', 'snr_db=[8 24]', 'trials=30', 'frame=3', 'error_channels=20', 'seed=11', ...
          'quiet=true', 'modulation=pam'};
  for i = 1:2
    via = study_command('shard', 'detection_study', out, num2str(i), '2', args{:});
    direct = detection_study(opts{:}, 'modulation', 'pam', 'shard', [i 2]);
    assert(same_counts(via, direct), 'the command line gave other counts');
  end
  assert(exist(fullfile(out, 'detection_study_shard_2_of_2.mat'), 'file') == 2);
  res = study_command('merge', 'detection_study', out, 'png=', 'quiet=1');
  back = load(fullfile(out, 'merged.mat'));
  assert(isequal(back.study_result.errors, res.errors) && res.merged);
  expect_error(@() study_command('merge', 'detection_study', out, 'quiet'), ...
               'study_command: options are name=value, not ''quiet''');
  expect_error(@() study_command('split', 'detection_study', out), ...
               'study_command: the action is ''shard'' or ''merge'', not ''split''');
  expect_error(@() study_command('shard', 'no_such_study', out, '1', '2'), ...
               'study_command: no study function ''no_such_study'' on the path');
end

function check_help_examples(demo)
% The Example of each study help file runs.
  for name = {'study_stream', 'study_save', 'study_merge', 'study_command', 'detection_study'}
    text = fileread(fullfile(demo, [name{1} '.m']));
    lines = strsplit(text, "\n");
    at = find(~cellfun(@isempty, regexp(lines, '^%   Example', 'once')), 1);
    assert(~isempty(at), [name{1} ': no Example']);
    code = {};
    for k = at + 1:numel(lines)
      if ~strncmp(lines{k}, '%  ', 3), break; end
      code{end + 1} = lines{k}(3:end);   %#ok<AGROW>
    end
    run_example(strjoin(code, "\n"), name{1});
  end
end

function run_example(code, name)
  try
    evalc(code);
  catch err
    error('%s Example: %s', name, err.message);
  end
end

function yes = same_counts(a, b)
  yes = isequal(a.errors, b.errors) && isequal(a.error_channels, b.error_channels) && ...
        isequal(a.vectors, b.vectors) && a.ml_worse == b.ml_worse && ...
        a.box_passes_cold == b.box_passes_cold && a.box_passes_warm == b.box_passes_warm;
end

function expect_error_start(fn, prefix)
% fn raises an error whose message starts with prefix (the rest is the host's words)
  try
    fn();
  catch err
    if ~strncmp(err.message, prefix, numel(prefix))
      error('expected an error starting "%s", got "%s"', prefix, err.message);
    end
    return;
  end
  error('expected an error starting "%s", got none', prefix);
end

function write_bytes(name, bytes)
  fid = fopen(name, 'w');
  fwrite(fid, bytes, 'uint8');
  fclose(fid);
end
