% SPDX-License-Identifier: BSD-3-Clause
function res = study_shard_fields(res, shards)
%STUDY_SHARD_FIELDS A study's result with the record of the shards behind it.
%   RES = STUDY_SHARD_FIELDS(RES, SHARDS) sets RES.shard, shard_count, merged, missing
%   and shard_seconds from SHARDS (the record of a run, a shard or a merge: fields
%   shards, count, merged, missing, seconds) and RES.png to '' (no plot yet).
%
%   Example:
%     s = struct('shards', 1, 'count', 1, 'merged', false, 'missing', [], 'seconds', 2);
%     res = study_shard_fields(struct(), s);
%     res.shard_count                        % 1
%
%   See also study_print_scope, study_write_plot, study_merge.
  res.png = '';
  res.shard = shards.shards;
  res.shard_count = shards.count;
  res.merged = shards.merged;
  res.missing = shards.missing;
  res.shard_seconds = shards.seconds;
end
