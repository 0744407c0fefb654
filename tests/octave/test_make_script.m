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
  names = latbox_functions(root);
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
  % the batch forms: one small call each, against the single form
  Y = [2.5 0.4 -1; 1 -2 0.6]; R = [1 0.5; 0 2];
  if exist(fullfile(outdir, 'zarrow_batch.mex'), 'file')
    assert(isequal(zarrow_batch(Y, R), [zarrow(Y(:, 1), R), zarrow(Y(:, 2), R), zarrow(Y(:, 3), R)]));
  end
  if exist(fullfile(outdir, 'tessaly_batch.mex'), 'file')
    assert(isequal(tessaly_batch(Y, R, 3), [tessaly(Y(:, 1), R, 3), tessaly(Y(:, 2), R, 3), ...
                                           tessaly(Y(:, 3), R, 3)]));
  end
  if exist(fullfile(outdir, 'plinden_batch.mex'), 'file')
    [S, info] = plinden_batch([0.4 1e17; 1.6 1e17], eye(2), Inf, -Inf, Inf);
    assert(isequaln([S; info], [0 NaN; 2 NaN; 1 0]));
  end
  if exist(fullfile(outdir, 'quorvin_batch.mex'), 'file')
    [Qo, Ro, Uo] = quorvin_batch(repmat(eye(2), [1 1 2]), cat(3, R, [1 0.4; 0 0.5]), 0.75);
    assert(isequal(size(Uo), [2 2 2]) && abs(det(Uo(:, :, 2))) == 1);
  end
  if exist(fullfile(outdir, 'morrit_batch.mex'), 'file')
    assert(isequal(morrit_batch([0.5 1; -2 0], 1), [0 0; -2 1; 1 2; 1 1]));
  end
  if exist(fullfile(outdir, 'kelvane_batch.mex'), 'file')
    [x, ~, status] = kelvane_batch([3 -3 0.5], 1, 1, zeros(3, 1), 0);
    assert(isequal([x; status], [1 -1 0.5; 1 1 1]));
  end
  printf('1 passed, 0 failed\n');
end
