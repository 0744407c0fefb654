% SPDX-License-Identifier: BSD-3-Clause
function test_make_script(root, outdir)
% Builds every function with make_latbox into outdir and calls each once.
  if exist(outdir, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(outdir, 's');
  end
  addpath(fullfile(root, 'matlab'));
  make_latbox(outdir);
  addpath(outdir);
  names = {'zarrow', 'tessaly', 'plinden', 'quorvin', 'morrit', 'kelvane'};
  for k = 1:numel(names)
    if exist(fullfile(root, 'gateways', [names{k} '.cpp']), 'file')
      assert(exist(fullfile(outdir, [names{k} '.mex']), 'file') == 3 || ...
             exist(fullfile(outdir, [names{k} '.mex']), 'file') == 2, ['missing ' names{k}]);
      assert(exist(fullfile(outdir, [names{k} '.m']), 'file') == 2, ['no help for ' names{k}]);
    end
  end
  assert(isequal(zarrow([2.5; 1], [1 0; 0 1]), [3; 1]));
  assert(isequal(tessaly([2; 0], eye(2), 3), [3; 1]));
  [s, info] = plinden([0.4; 1.6], eye(2), Inf, -3, 3);
  assert(isequal([s; info], [0; 2; 1]));
  if exist(fullfile(outdir, 'quorvin.mex'), 'file')
    [Qo, Ro, Uo] = quorvin(eye(2), [1 0.4; 0 0.5], 0.75);
    assert(abs(det(Uo)) == 1);
  end
  if exist(fullfile(outdir, 'morrit.mex'), 'file')
    assert(isequal(morrit([0.5; -2; 2; 0; -0.5], 1), [0; -2; 3; 5; 4; 1; 2]));
  end
  if exist(fullfile(outdir, 'kelvane.mex'), 'file')
    x = kelvane(3, 1, 1, zeros(3, 1), 0);
    assert(x == 1);
  end
  printf('1 passed, 0 failed\n');
end
