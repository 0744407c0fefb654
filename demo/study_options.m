% SPDX-License-Identifier: BSD-3-Clause
function opt = study_options(opt, args, study)
%STUDY_OPTIONS A study's options from its name-value pairs.
%   OPT = STUDY_OPTIONS(DEFAULTS, ARGS, STUDY) sets the fields of the struct DEFAULTS
%   that the name-value pairs of the cell array ARGS name; a name that is not a field is
%   the error "STUDY: unknown option 'name'".
%
%   Example:
%     opt = study_options(struct('seed', 1, 'K', 16), {'K', 8}, 'soft_study');
%     opt.K                                  % 8
%
%   See also detection_study, soft_study, study_merged_options.
  for k = 1:2:numel(args)
    if ~ischar(args{k}) || ~isfield(opt, args{k})
      error('%s: unknown option ''%s''', study, num2str(args{k}));
    end
    opt.(args{k}) = args{k + 1};
  end
end
