% SPDX-License-Identifier: BSD-3-Clause
function test_batch_workers()
% The worker threads of the batch forms, counted in /proc/self/task: a call starts them,
% they stay parked for the next calls (one set per MEX file), and unloading the MEX file
% ends them (clear <name>, clear all, clear functions); results stay the same. Octave 7's
% clear -mexfunctions (MATLAB's clear mex) leaves the MEX files loaded, and their workers
% with them: the workers are there exactly while their MEX file is mapped.
  if ~exist('/proc/self/task', 'dir')
    printf('  (no /proc/self/task: thread counts not checked)\n');
    return;
  end
  old = getenv('LATBOX_NUM_THREADS');
  restore = onCleanup(@() set_threads(old));
  clear functions   % every MEX file unloaded, with the workers of earlier tests
  Y = reshape(mod((1:8 * 400) * 0.37, 7) - 3, 8, 400);
  R = triu(ones(8)) + eye(8);
  setenv('LATBOX_NUM_THREADS', '1');
  want = zarrow_batch(Y, R);
  base = threads_now();
  expect_equal(threads_now(), base, 'one thread starts no worker');

  setenv('LATBOX_NUM_THREADS', '3');
  for i = 1:3
    expect_same_bits(zarrow_batch(Y, R), want, 'zarrow_batch on 3 threads');
    expect_equal(threads_now(), base + 2, sprintf('after call %d of zarrow_batch on 3 threads', i));
  end
  clear zarrow_batch
  expect_equal(threads_now(), base, 'after clear zarrow_batch');
  expect_same_bits(zarrow_batch(Y, R), want, 'zarrow_batch after clear');
  expect_equal(threads_now(), base + 2, 'zarrow_batch loaded again');

  % each MEX file has its own workers
  S = tessaly_batch(Y, R, 3);
  [S, info] = plinden_batch(Y, R, Inf, -3, 3);
  expect_equal(threads_now(), base + 6, 'three MEX files on 3 threads');
  clear tessaly_batch
  expect_equal(threads_now(), base + 4, 'after clear tessaly_batch');
  clear -mexfunctions
  expect_equal(threads_now(), base + 4 * loaded('plinden_batch'), 'after clear -mexfunctions');
  clear functions
  expect_equal(threads_now(), base, 'after clear functions');
  expect_equal(loaded('plinden_batch'), false, 'plinden_batch after clear functions');

  for how = {'all', 'functions', 'zarrow_batch'}
    S = zarrow_batch(Y, R);
    expect_equal(threads_now(), base + 2, ['before clear ', how{1}]);
    expect_equal(threads_after_clear(how{1}), base, ['after clear ', how{1}]);
    expect_equal(loaded('zarrow_batch'), false, ['zarrow_batch after clear ', how{1}]);
  end
end

% The thread count after `clear <how>` (here, so that clear all takes no variable of the test).
function n = threads_after_clear(how)
  eval(['clear ', how]);
  n = threads_now();
end

% Whether the MEX file of fn is mapped into this process.
function yes = loaded(fn)
  yes = ~isempty(strfind(fileread('/proc/self/maps'), [fn, '.mex']));
end

function n = threads_now()
  d = dir('/proc/self/task');
  n = sum(~ismember({d.name}, {'.', '..'}));
end

function expect_same_bits(a, b, what)
  if ~isequal(size(a), size(b)) || any(typecast(a(:), 'uint64') ~= typecast(b(:), 'uint64'))
    error('%s: differs from the one-thread result', what);
  end
end
