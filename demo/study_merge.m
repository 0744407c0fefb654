% SPDX-License-Identifier: BSD-3-Clause
function res = study_merge(files, varargin)
%STUDY_MERGE Adds the counts of a study's shards into the result of one run.
%   RES = STUDY_MERGE(FILES) reads the shard files FILES (a cell array of file names, or
%   the name of a folder: then every *.mat file in it that holds a shard, written by
%   study_save through a study's 'save' option; other MAT files there are passed over),
%   checks that they belong together, adds their counts exactly and returns the result
%   of the study recorded in the files, as the study itself returns it: the study
%   function is called with the added counts ('merged'), prints its table and writes its
%   plot as a run of its own does.
%
%   The merge refuses, with a message naming the files,
%     - files of different studies, of different options (the first option that
%       differs is named), or of different shard counts;
%     - the same shard twice;
%     - a file it cannot read or that holds no shard.
%   When shards are missing it names them and stops, unless 'partial' is true: then it
%   merges the shards there are and the result lists the missing ones (RES.missing).
%   Counts are integers held in doubles (exact up to 2^53), so their sums do not depend
%   on the order of the files; the result equals one run of the same shards one after
%   another in one process.
%
%   Options (name, value pairs):
%     'partial'  merge although shards are missing (false)
%     'png'      plot file ('' for none; default: the study's own default)
%     'quiet'    no printing (false)
%     'save'     write RES to this MAT file (variable study_result, written atomically)
%     'study'    the study the shards must be of ('': any)
%
%   Example:
%     folder = tempname(); mkdir(folder);
%     for i = 1:3
%       detection_study('n', 4, 'snr_db', [10 20], 'trials', 40, 'shard', [i 3], ...
%                       'save', fullfile(folder, sprintf('shard%d.mat', i)), ...
%                       'png', '', 'quiet', true);
%     end
%     res = study_merge(folder, 'png', '', 'quiet', true);
%     res.vectors                          % the vectors of all three shards
%     rmdir(folder, 's');
%
%   See also study_save, study_stream, detection_study.
  opt = struct('partial', false, 'png', [], 'quiet', false, 'save', '', 'study', '');
  for k = 1:2:numel(varargin)
    if ~ischar(varargin{k}) || ~isfield(opt, varargin{k})
      error('study_merge: unknown option ''%s''', num2str(varargin{k}));
    end
    if k + 1 > numel(varargin)
      error('study_merge: option ''%s'' has no value', varargin{k});
    end
    opt.(varargin{k}) = varargin{k + 1};
  end
  files = list_files(files);
  records = cell(1, numel(files));
  for f = 1:numel(files)
    records{f} = read_record(files{f});
  end

  first = records{1};
  if ~isempty(opt.study) && ~strcmp(first.study, opt.study)
    error('study_merge: %s is a shard of %s, not of %s', files{1}, first.study, opt.study);
  end
  n = first.shard(2);
  owner = zeros(1, n);                       % the file of each shard
  for f = 1:numel(files)
    r = records{f};
    if ~strcmp(r.study, first.study)
      error('study_merge: %s is a shard of %s, %s of %s', files{f}, r.study, files{1}, ...
            first.study);
    end
    if r.shard(2) ~= n
      error('study_merge: %s is shard %d of %d, %s shard %d of %d: different shard counts', ...
            files{f}, r.shard(1), r.shard(2), files{1}, first.shard(1), n);
    end
    field = first_difference(first.options, r.options);
    if ~isempty(field)
      error('study_merge: %s and %s come from different options (''%s'': %s and %s)', ...
            files{1}, files{f}, field, describe(first.options, field), ...
            describe(r.options, field));
    end
    i = r.shard(1);
    if owner(i) ~= 0
      error('study_merge: shard %d of %d is there twice: %s and %s', i, n, ...
            files{owner(i)}, files{f});
    end
    owner(i) = f;
  end
  missing = find(owner == 0);
  if ~isempty(missing) && ~opt.partial
    error(['study_merge: %d of %d shards missing: %s (no file for them); run them ' ...
           'again (the same shard gives the same counts), or merge what there is with ' ...
           '''partial'', true'], numel(missing), n, shard_list(missing));
  end

  present = find(owner ~= 0);
  merged.study = first.study;
  merged.options = first.options;
  merged.shard_count = n;
  merged.shards = present;
  merged.missing = missing;
  merged.counts = add_fields(records(owner(present)), 'counts', files(owner(present)));
  merged.timings = add_fields(records(owner(present)), 'timings', files(owner(present)));
  shard_seconds = NaN(1, n);
  for i = present
    if isfield(records{owner(i)}.timings, 'wall_seconds')
      shard_seconds(i) = records{owner(i)}.timings.wall_seconds;
    end
  end
  merged.shard_seconds = shard_seconds;
  if ~isempty(missing) && ~opt.quiet
    fprintf('partial merge: %d of %d shards missing: %s\n', numel(missing), n, ...
            shard_list(missing));
  end

  args = {'merged', merged, 'quiet', opt.quiet};
  if ~isempty(opt.png) || ischar(opt.png)
    args = [args, {'png', opt.png}];
  end
  res = feval(first.study, args{:});
  if ~isempty(opt.save)
    study_save(opt.save, res);
  end
end

function files = list_files(files)
  if ischar(files)
    folder = files;
    if ~exist(folder, 'dir')
      error('study_merge: %s is not a folder (give a folder or a cell array of files)', ...
            folder);
    end
    found = dir(fullfile(folder, '*.mat'));
    files = {};
    for k = 1:numel(found)
      name = fullfile(folder, found(k).name);
      if holds_shard(name)
        files{end + 1} = name;             %#ok<AGROW>
      end
    end
    if isempty(files)
      error('study_merge: no shard files in %s', folder);
    end
    return;
  end
  if ~iscellstr(files) || isempty(files)
    error('study_merge: give a folder or a non-empty cell array of file names');
  end
end

function yes = holds_shard(name)
% Whether the MAT file name has a variable study_shard (unreadable files count as
% shards, so that reading them reports the fault).
  try
    vars = whos('-file', name);
    yes = any(strcmp({vars.name}, 'study_shard'));
  catch
    yes = true;
  end
end

function r = read_record(name)
  if ~exist(name, 'file')
    error('study_merge: %s does not exist', name);
  end
  try
    vars = whos('-file', name);
    held = any(strcmp({vars.name}, 'study_shard'));
    if held
      loaded = load(name, '-mat', 'study_shard');
    end
  catch err
    error('study_merge: cannot read %s: %s', name, err.message);
  end
  if ~held
    error('study_merge: %s holds no shard (no variable study_shard)', name);
  end
  r = loaded.study_shard;
  fields = {'format', 'study', 'options', 'shard', 'counts', 'timings'};
  if ~isstruct(r) || ~all(isfield(r, fields)) || ~strcmp(r.format, 'latbox study shard 1')
    error('study_merge: %s is not a shard file of this version', name);
  end
end

function total = add_fields(records, part, files)
% The sum of records{k}.(part) over k, field by field; every record must have the same
% fields of the same sizes.
  total = records{1}.(part);
  names = sort(fieldnames(total));
  for k = 2:numel(records)
    s = records{k}.(part);
    if ~isequal(sort(fieldnames(s)), names)
      error('study_merge: %s and %s hold different %s', files{1}, files{k}, part);
    end
    for f = 1:numel(names)
      if ~isequal(size(s.(names{f})), size(total.(names{f})))
        error('study_merge: %s and %s: %s.%s differ in size', files{1}, files{k}, part, ...
              names{f});
      end
      total.(names{f}) = total.(names{f}) + s.(names{f});
    end
  end
end

function field = first_difference(a, b)
  field = '';
  names = union(fieldnames(a), fieldnames(b));
  for k = 1:numel(names)
    if ~isfield(a, names{k}) || ~isfield(b, names{k}) || ...
        ~same_value(a.(names{k}), b.(names{k}))
      field = names{k};
      return;
    end
  end
end

function yes = same_value(a, b)
  yes = isequal(class(a), class(b)) && isequal(size(a), size(b)) && ...
        isequal(a(~isnan_safe(a)), b(~isnan_safe(b))) && isequal(isnan_safe(a), isnan_safe(b));
end

function m = isnan_safe(a)
  if isnumeric(a)
    m = isnan(a);
  else
    m = false(size(a));
  end
end

function text = describe(options, field)
  if ~isfield(options, field)
    text = '(not set)';
    return;
  end
  v = options.(field);
  if ischar(v)
    text = ['''' v ''''];
  elseif isnumeric(v) || islogical(v)
    text = mat2str(double(v));
  else
    text = ['a ' class(v)];
  end
end

function text = shard_list(idx)
  text = sprintf('%d, ', idx);
  text = text(1:end - 2);
end
