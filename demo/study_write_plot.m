% SPDX-License-Identifier: BSD-3-Clause
function res = study_write_plot(res, opt, draw)
%STUDY_WRITE_PLOT Draws a study's figure into its plot file, when it has one.
%   RES = STUDY_WRITE_PLOT(RES, OPT, DRAW): unless OPT.png is empty, H = DRAW() draws the
%   figure (on a study_figure), which is written to OPT.png as a PNG at 90 dpi and closed;
%   RES.png becomes OPT.png and, unless OPT.quiet, the file's absolute path is printed.
%
%   Example:
%     f = [tempname() '.png'];
%     res = study_write_plot(struct(), struct('png', f, 'quiet', true), ...
%                            @() study_figure());
%     delete(f);
%
%   See also study_figure, study_absolute_path, detection_study, soft_study.
  if isempty(opt.png)
    return;
  end
  h = draw();
  print(h, opt.png, '-dpng', '-r90');
  close(h);
  res.png = opt.png;
  if ~opt.quiet
    fprintf('plot written to %s\n', study_absolute_path(opt.png));
  end
end
