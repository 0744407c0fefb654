% SPDX-License-Identifier: BSD-3-Clause
function study_stream(seed, shard)
%STUDY_STREAM Sets the random stream of one shard of a study.
%   STUDY_STREAM(SEED, [I N]) makes the global stream of rand and randn the stream of
%   shard I of N for the seed SEED (an integer in [0, 2^32 - 1]). The same seed, shard
%   and shard count always give the same stream, whatever ran before in the session; two
%   different shards of the same seed never share a stream.
%     [1 1]   (one shard: a whole run) the stream every study used before it could be
%             split: rng(SEED), or rand('state', SEED) and randn('state', SEED) where
%             there is no rng. A run without shards and shard [1 1] are the same run.
%     N > 1   Octave: the Mersenne twisters of rand and randn, each initialised from the
%             key [SEED I N] (init_by_array: a different key gives a different state of
%             19 937 bits, and so a stream that does not overlap another within any
%             study's length). MATLAB: stream I of the N independent streams of the
%             combined multiple recursive generator ('mrg32k3a', which guarantees that
%             its streams do not overlap), made the global stream.
%   The numbers differ between Octave and MATLAB (their generators and their normal
%   transforms differ); within one of them they are reproducible.
%
%   Example:
%     study_stream(7, [2 4]); a = rand(1, 3);
%     rand(1, 5); study_stream(7, [2 4]); b = rand(1, 3);
%     isequal(a, b)                       % true: the same shard, the same stream
%
%   See also study_save, study_merge, detection_study.
  study_check_shard(shard, 'study_stream');
  if ~(isscalar(seed) && isreal(seed) && seed >= 0 && seed < 2^32 && seed == fix(seed))
    error('study_stream: the seed must be an integer in [0, 2^32 - 1]');
  end
  seed = double(seed);
  i = double(shard(1));
  n = double(shard(2));
  octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  if n == 1
    if exist('rng', 'file') || exist('rng', 'builtin')
      rng(seed);
    else
      randn('state', seed); rand('state', seed);
    end
  elseif octave
    key = [seed; i; n];
    randn('state', key); rand('state', key);
  else
    stream = RandStream('mrg32k3a', 'Seed', seed, 'NumStreams', n, 'StreamIndices', i);
    RandStream.setGlobalStream(stream);
  end
end
