% SPDX-License-Identifier: BSD-3-Clause
function run_octave_tests(mexdir)
% Runs every test_*.m beside this file against the MEX files in mexdir.
% Exits with status 1 when any check fails.
  addpath(mexdir);
  here = fileparts(mfilename('fullpath'));
  files = dir(fullfile(here, 'test_*.m'));
  failed = 0; passed = 0;
  for f = files'
    name = f.name(1:end-2);
    if strcmp(name, 'test_make_script'), continue; end
    try
      feval(name);
      passed = passed + 1;
      printf('PASS %s\n', name);
    catch err
      failed = failed + 1;
      printf('FAIL %s: %s\n', name, err.message);
      for s = err.stack'
        printf('    at %s line %d\n', s.name, s.line);
      end
    end
  end
  printf('%d passed, %d failed\n', passed, failed);
  if failed > 0
    exit(1);
  end
end
