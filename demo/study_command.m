% SPDX-License-Identifier: BSD-3-Clause
function res = study_command(action, study, folder, varargin)
%STUDY_COMMAND The command-line form of a study's shards and their merge (all strings).
%   STUDY_COMMAND('shard', STUDY, FOLDER, I, N, NAME=VALUE, ...) runs shard I of N of the
%   study function STUDY (e.g. 'detection_study') with the options NAME=VALUE and writes
%   it to FOLDER/STUDY_shard_I_of_N.mat (study_save). FOLDER is made when missing.
%   STUDY_COMMAND('merge', STUDY, FOLDER, NAME=VALUE, ...) merges the shard files in
%   FOLDER (study_merge), writes the result to FOLDER/merged.mat and the plot to
%   FOLDER/STUDY.png, and prints the table; options here are study_merge's (partial=1,
%   png=..., quiet=1).
%   Every argument is a string, as from a shell (scripts/cluster/run_shard.sh and
%   merge.sh call it through scripts/cluster/study_main.m). A VALUE made only of digits,
%   signs, '.', 'e', ':', ',', ';', spaces, brackets, Inf and NaN, or true or false, is a
%   number (snr_db=0:5:20, trials=2000, shard=[1 2]); any other VALUE is a string
%   (modulation=qam).
%
%   Example:
%     folder = tempname();
%     for i = {'1', '2'}
%       study_command('shard', 'detection_study', folder, i{1}, '2', 'n=4', ...
%                     'snr_db=[10 20]', 'trials=30', 'quiet=true');
%     end
%     res = study_command('merge', 'detection_study', folder, 'png=', 'quiet=1');
%     disp(res.vectors)
%     rmdir(folder, 's');
%
%   See also study_merge, study_save, detection_study.
  if ~ischar(study) || ~(exist(study, 'file') == 2)
    error('study_command: no study function ''%s'' on the path', num2str(study));
  end
  switch action
    case 'shard'
      if numel(varargin) < 2
        error('study_command: shard needs the shard index and the shard count');
      end
      shard = study_check_shard([value_of(varargin{1}), value_of(varargin{2})], ...
                                'study_command');
      args = pairs(varargin(3:end));
      if ~exist(folder, 'dir')
        mkdir(folder);
      end
      file = fullfile(folder, sprintf('%s_shard_%d_of_%d.mat', study, shard(1), shard(2)));
      t = tic;
      res = feval(study, 'png', '', args{:}, 'shard', shard, 'save', file);
      fprintf('shard %d of %d written to %s (%.2f s)\n', shard(1), shard(2), file, toc(t));
    case 'merge'
      args = pairs(varargin);
      res = study_merge(folder, 'study', study, 'png', fullfile(folder, [study '.png']), ...
                        'save', fullfile(folder, 'merged.mat'), args{:});
    otherwise
      error('study_command: the action is ''shard'' or ''merge'', not ''%s''', ...
            num2str(action));
  end
end

function args = pairs(list)
% name=value strings as a cell {name, value, ...}.
  args = cell(1, 2 * numel(list));
  for k = 1:numel(list)
    text = list{k};
    at = find(text == '=', 1);
    if isempty(at) || at == 1
      error('study_command: options are name=value, not ''%s''', text);
    end
    args{2 * k - 1} = text(1:at - 1);
    args{2 * k} = value_of(text(at + 1:end));
  end
end

function v = value_of(text)
  if any(strcmp(text, {'true', 'false'}))
    v = strcmp(text, 'true');
    return;
  end
  words = regexprep(text, '(Inf|NaN)', '');
  if ~isempty(text) && isempty(regexp(words, '[^-+0-9.eE:,; \[\]]', 'once'))
    v = str2num(text);                     %#ok<ST2NM> : a numeric expression only
    if isempty(v) && ~strcmp(strtrim(text), '[]')
      error('study_command: ''%s'' is not a number', text);
    end
    return;
  end
  v = text;
end
