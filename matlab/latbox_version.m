% SPDX-License-Identifier: BSD-3-Clause
function v = latbox_version()
%LATBOX_VERSION The version of latbox in use.
%   LATBOX_VERSION prints it ("latbox MAJOR.MINOR.PATCH"); V = LATBOX_VERSION
%   returns it as text ('MAJOR.MINOR.PATCH'). NEWS.md (in the package: news
%   latbox) says what each version brought.
%
%   Example
%     v = latbox_version()
%
%   See also ZARROW, TESSALY, PLINDEN, QUORVIN, MORRIT, KELVANE.

% The version is kept in one file, VERSION, beside this file (a build folder, an
% installed package) or one folder up (the matlab folder of a clone).
  persistent version
  if isempty(version)
    here = fileparts(mfilename('fullpath'));
    candidates = {fullfile(here, 'VERSION'), fullfile(fileparts(here), 'VERSION')};
    for k = 1:numel(candidates)
      if exist(candidates{k}, 'file') == 2
        version = strtrim(fileread(candidates{k}));
        break;
      end
    end
    if isempty(version)
      error('latbox:noVersion', ['latbox_version: no VERSION file beside %s or in the ' ...
                                 'folder above'], here);
    end
  end
  if nargout > 0
    v = version;
  else
    fprintf('latbox %s\n', version);
  end
end
