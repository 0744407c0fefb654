% SPDX-License-Identifier: BSD-3-Clause
function shard = study_check_shard(shard, caller)
%STUDY_CHECK_SHARD Checks a shard [I N] (part I of N) and returns it as a double row.
%   SHARD = STUDY_CHECK_SHARD(SHARD, CALLER) raises 'CALLER: ...' unless SHARD is two
%   integers with 1 <= I <= N. An empty SHARD is the whole run, [1 1].
%
%   See also study_stream, study_save, study_merge.
  if isempty(shard)
    shard = [1 1];
  end
  ok = isnumeric(shard) && isreal(shard) && numel(shard) == 2 && all(isfinite(shard(:)));
  ok = ok && all(shard(:) == fix(shard(:))) && shard(1) >= 1 && shard(1) <= shard(2);
  if ~ok
    error('%s: a shard is [i n], part i of n, with integers 1 <= i <= n', caller);
  end
  shard = double(reshape(shard, 1, 2));
end
