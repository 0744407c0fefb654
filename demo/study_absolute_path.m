% SPDX-License-Identifier: BSD-3-Clause
function p = study_absolute_path(p)
%STUDY_ABSOLUTE_PATH The name of an existing file as an absolute path.
%   P = STUDY_ABSOLUTE_PATH(P), for the studies' report of the files they write.
%
%   Example:
%     study_absolute_path('.')
%
%   See also detection_study, soft_study.
  if exist('OCTAVE_VERSION', 'builtin')
    p = make_absolute_filename(p);
  else
    [~, info] = fileattrib(p);
    p = info.Name;
  end
end
