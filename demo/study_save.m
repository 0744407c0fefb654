% SPDX-License-Identifier: BSD-3-Clause
function study_save(file, study, options, shard, counts, timings)
%STUDY_SAVE Writes one shard's raw counts, and the options that produced them, atomically.
%   STUDY_SAVE(FILE, STUDY, OPTIONS, [I N], COUNTS, TIMINGS) writes the variable
%   study_shard to the MAT file FILE (MAT v7: Octave writes it with -v7, MATLAB reads it,
%   and the other way round), a struct with the fields
%     format    'latbox study shard 1'
%     study     the name of the study function (STUDY, e.g. 'detection_study'), which
%               study_merge calls to turn the added counts into the study's result
%     options   OPTIONS: every option that decides the counts (shards merge only when
%               these are equal)
%     shard     [I N]
%     counts    COUNTS: a struct of numeric arrays of integers (errors, vectors, ...),
%               which study_merge adds exactly
%     timings   TIMINGS: a struct of numeric arrays of seconds, which study_merge adds too
%   STUDY_SAVE(FILE, RESULT) writes the struct RESULT as the variable study_result (the
%   result of a merge).
%
%   The file is written under a temporary name beside FILE (FILE.part-<host>-<pid>, which
%   no merge reads), read back and compared, and only then renamed to FILE, replacing an
%   earlier FILE in one step. A write that fails or is killed leaves no FILE (or the
%   earlier one) and at most its temporary file.
%
%   Example:
%     file = [tempname() '.mat'];
%     study_save(file, 'detection_study', struct('seed', 1), [2 4], ...
%                struct('errors', [3 0]), struct('wall_seconds', 0.5));
%     s = load(file); s.study_shard.shard  % [2 4]
%     delete(file);
%
%   See also study_merge, study_stream, detection_study.
  if ~ischar(file) || isempty(file)
    error('study_save: the file name must be a non-empty string');
  end
  if nargin == 2
    name = 'study_result';
    value = study;
  else
    name = 'study_shard';
    value = struct('format', 'latbox study shard 1', 'study', study, 'options', options, ...
                   'shard', study_check_shard(shard, 'study_save'), 'counts', counts, ...
                   'timings', timings);
  end
  octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  if octave
    tag = sprintf('%s-%d', gethostname(), getpid());
  else
    tag = sprintf('%s-%d', getenv('HOSTNAME'), feature('getpid'));
  end
  part = sprintf('%s.part-%s', file, tag);
  saved.(name) = value;
  try
    save(part, '-struct', 'saved', '-v7');
    back = load(part, '-mat', name);   % -mat: the temporary name is not *.mat
    if ~isequaln(back.(name), value)      % NaN (a rate of no vectors) reads back as NaN
      error('study_save: %s does not read back as written', part);
    end
  catch err
    remove_file(part);
    error('study_save: cannot write %s: %s', file, err.message);
  end
  if octave
    [status, msg] = rename(part, file);
    ok = status == 0;
  else
    [ok, msg] = movefile(part, file, 'f');
  end
  if ~ok
    remove_file(part);
    error('study_save: cannot rename %s to %s: %s', part, file, msg);
  end
end

function remove_file(name)
  if exist(name, 'file')
    delete(name);
  end
end
