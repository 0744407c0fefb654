% SPDX-License-Identifier: BSD-3-Clause
function names = latbox_functions(root)
% The MEX functions listed in gateways/mex_functions.txt, in its order: the first
% field of every line that is not blank or a comment.
  text = fileread(fullfile(root, 'gateways', 'mex_functions.txt'));
  names = {};
  for line = strsplit(text, "\n")
    entry = strtrim(regexprep(line{1}, '#.*$', ''));
    if ~isempty(entry)
      names{end + 1} = strtok(entry); %#ok<AGROW>
    end
  end
end
