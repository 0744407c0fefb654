% SPDX-License-Identifier: BSD-3-Clause
function study_print_scope(res, whole, each)
%STUDY_PRINT_SCOPE Prints what each point of a study's table stands for.
%   STUDY_PRINT_SCOPE(RES, WHOLE, EACH) prints 'each point: WHOLE' for a run without
%   shards, 'shard I of N; each point, in each shard: EACH' for one shard, and 'K of N
%   shards merged; each point, in each shard: EACH' for a merge (with the missing shards
%   of a partial merge on a line of their own). RES holds the shard record
%   (study_shard_fields).
%
%   Example:
%     s = struct('shards', [1 3], 'count', 3, 'merged', true, 'missing', 2, 'seconds', [1 0 1]);
%     study_print_scope(study_shard_fields(struct(), s), '100 channels', '100 channels')
%
%   See also study_shard_fields, detection_study, soft_study.
  if res.shard_count == 1 && ~res.merged
    fprintf('each point: %s\n', whole);
  elseif ~res.merged
    fprintf('shard %d of %d; each point, in each shard: %s\n', res.shard(1), ...
            res.shard_count, each);
  else
    fprintf('%d of %d shards merged; each point, in each shard: %s\n', ...
            numel(res.shard), res.shard_count, each);
    if ~isempty(res.missing)
      fprintf('(partial: shards %s missing)\n', sprintf('%d ', res.missing));
    end
  end
end
