% SPDX-License-Identifier: BSD-3-Clause
function post_install(desc)
% Run by pkg install once the package's files are in place: moves each help file from
% the package folder into the architecture folder, beside its MEX file.
%
% pkg puts the .m files in the package folder and the MEX files in the architecture
% folder, and both go on the path; a help file found first would hide its MEX file (a
% call would say that the MEX file is missing). Within one folder the MEX file is what a
% call runs and help still shows the text of the .m file, whatever the folders' order.
  arch = [__octave_config_info__('canonical_host_type') '-' ...
          __octave_config_info__('api_version')];
  archdir = fullfile(desc.archprefix, arch);        % where pkg has put the MEX files
  mex_files = glob(fullfile(archdir, '*.mex'));
  if isempty(mex_files)
    error('latbox: no MEX file was installed in %s', archdir);
  end
  for k = 1:numel(mex_files)
    [~, name] = fileparts(mex_files{k});
    help_file = fullfile(desc.dir, [name '.m']);
    if exist(help_file, 'file')
      [ok, msg] = movefile(help_file, archdir);
      if ~ok
        error('latbox: cannot move %s beside its MEX file: %s', help_file, msg);
      end
    end
  end
end
