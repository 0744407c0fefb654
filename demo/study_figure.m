% SPDX-License-Identifier: BSD-3-Clause
function h = study_figure(varargin)
%STUDY_FIGURE An invisible figure for a study's plot file.
%   H = STUDY_FIGURE(...) is figure('visible', 'off', ...), the remaining arguments
%   passed on; in Octave it first selects gnuplot, which draws without a display.
%
%   Example:
%     h = study_figure(); plot(1:3); close(h);
%
%   See also study_log_rates, detection_study, soft_study.
  if exist('OCTAVE_VERSION', 'builtin')
    w = warning('off', 'all');               % gnuplot's notes about interactive windows
    graphics_toolkit('gnuplot');
    warning(w);
  end
  h = figure('visible', 'off', varargin{:});
end
