% SPDX-License-Identifier: BSD-3-Clause
function test_help_files()
% The help files beside the MEX files: the MEX file is what a call runs and help shows
% the text; with only the help file found, a call says that the MEX file is missing.
  root = fullfile(fileparts(mfilename('fullpath')), '..', '..');
  names = latbox_functions(root);
  % every function of the list has its help file, and every help file a function
  files = dir(fullfile(root, 'matlab', '*.m'));
  mfunctions = regexp(fileread(fullfile(root, 'matlab', 'm_functions.txt')), '(?m)^[a-z]\w*', 'match');
  helped = setdiff(regexprep({files.name}, '\.m$', ''), [{'make_latbox', 'latbox_version'}, mfunctions]);
  assert(isequal(sort(helped), sort(names)), ['help files and function list differ: ' ...
         strjoin(setxor(helped, names), ', ')]);
  for k = 1:numel(names)
    assert(exist(names{k}) == 3, [names{k} ' is not the MEX file']);
    text = get_help_text(names{k});
    assert(strncmp(strtrim(text), upper(names{k}), numel(names{k})), ['no help for ' names{k}]);
    assert(~isempty(strfind(text, 'Example')), ['no example in the help of ' names{k}]);
  end

  only_help = tempname();
  mkdir(only_help);
  for k = 1:numel(names)
    copyfile(fullfile(root, 'matlab', [names{k} '.m']), only_help);
  end
  addpath(only_help);                         % ahead of the MEX files
  unwind_protect
    for k = 1:numel(names)
      expected = [names{k} ': the MEX file is not built or not on the path; ' ...
                  'run make_latbox, then addpath the folder that holds it'];
      expect_error(@() feval(names{k}, 1, 2), expected);
      try
        feval(names{k});
      catch err
        assert(strcmp(err.identifier, 'latbox:notBuilt'), err.identifier);
      end
    end
  unwind_protect_cleanup
    rmpath(only_help);
    confirm_recursive_rmdir(false, 'local');
    rmdir(only_help, 's');
  end_unwind_protect
  assert(isequal(zarrow([2.5; 1], eye(2)), [3; 1]), 'the MEX file is not back');
end
