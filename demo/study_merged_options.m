% SPDX-License-Identifier: BSD-3-Clause
function [opt, shards] = study_merged_options(opt)
%STUDY_MERGED_OPTIONS The options and shard record of a merged study.
%   [OPT, SHARDS] = STUDY_MERGED_OPTIONS(OPT), for a study called with the option
%   'merged' (the record study_merge passes): OPT becomes the options that made the
%   shards' counts, but for 'png' and 'quiet', which stay as given; SHARDS describes the
%   shards merged (their numbers, count, the missing ones and their times).
%
%   Example:
%     m = struct('options', struct('seed', 3, 'png', '', 'quiet', false), 'shards', [1 2], ...
%                'shard_count', 2, 'missing', [], 'shard_seconds', [1 1]);
%     opt = study_merged_options(struct('merged', m, 'png', 'a.png', 'quiet', true));
%     opt.seed                               % 3
%
%   See also study_merge, study_options.
  m = opt.merged;
  shown = struct('png', opt.png, 'quiet', opt.quiet);
  opt = m.options;
  opt.png = shown.png;
  opt.quiet = shown.quiet;
  shards = struct('shards', m.shards, 'count', m.shard_count, 'merged', true, ...
                  'missing', m.missing, 'seconds', m.shard_seconds);
end
