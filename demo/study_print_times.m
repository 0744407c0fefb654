% SPDX-License-Identifier: BSD-3-Clause
function study_print_times(res, parts)
%STUDY_PRINT_TIMES Prints the line of a study's set-up and wall times.
%   STUDY_PRINT_TIMES(RES, PARTS) prints 'channels, symbols and noise S s, PARTS wall
%   time W s, <threads>' from RES.setup_seconds and RES.wall_seconds (PARTS: '' or
%   further times, each ending in ', '), and for a merge the line that says the times
%   are summed over the shards, with the longest shard's.
%
%   Example:
%     s = struct('shards', 1, 'count', 1, 'merged', false, 'missing', [], 'seconds', 2);
%     res = study_shard_fields(struct('setup_seconds', 0.5, 'wall_seconds', 2), s);
%     study_print_times(res, '')
%
%   See also study_thread_note, detection_study, soft_study.
  fprintf('channels, symbols and noise %.2f s, %swall time %.2f s, %s\n', ...
          res.setup_seconds, parts, res.wall_seconds, study_thread_note());
  if res.merged
    fprintf('(times summed over the %d shards; the longest shard took %.2f s)\n', ...
            numel(res.shard), max(res.shard_seconds(res.shard)));
  end
end
