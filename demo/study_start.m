% SPDX-License-Identifier: BSD-3-Clause
function [opt, merge] = study_start(opt, args, study)
%STUDY_START A study's options, and the counts of a merge when study_merge calls it.
%   [OPT, MERGE] = STUDY_START(OPT, ARGS, STUDY) reads the name-value pairs ARGS into the
%   defaults OPT (study_options). For a run or a shard MERGE is [] and OPT.shard is
%   checked (study_check_shard). When study_merge calls the study with the option
%   'merged', OPT becomes the options that made the shards' counts
%   (study_merged_options) and MERGE holds their counts, timings and shard record.
%
%   Example:
%     [opt, merge] = study_start(struct('seed', 1, 'shard', [], 'merged', []), ...
%                                {'seed', 4}, 'my_study');
%     [opt.seed, isempty(merge)]             % 4 1
%
%   See also study_options, study_merged_options, study_merge.
  opt = study_options(opt, args, study);
  merge = [];
  if ~isempty(opt.merged)
    m = opt.merged;
    [opt, shards] = study_merged_options(opt);
    merge.counts = m.counts;
    merge.timings = m.timings;
    merge.shards = shards;
  else
    opt.shard = study_check_shard(opt.shard, study);
  end
end
