% SPDX-License-Identifier: BSD-3-Clause
function test_kelvane_accuracy()
% The inaccuracy warning inside Octave: its id and text through lastwarn, the outputs the
% same with it on, off or raised as an error, one warning per kelvane_batch call, and none
% on the benchmark's families.
  id = 'latbox:kelvane:inaccurate';
  saved = warning('query', id);
  unwind_protect
    warning('on', id);
    nearly_singular_case(id);
    batch_warns_once(id);
    warning('on', id);
    benchmark_families_do_not_warn(id);
  unwind_protect_cleanup
    warning(saved.state, id);
  end_unwind_protect
end

% A 3x3 problem of condition number 2e12 whose box does not bind: y lies along the direction
% R nearly annihilates, R\y fits it to 1e-18, and the solver's answer leaves all of it.
function [y, R, u] = nearly_singular()
  R = [-0.85720270553365041 0.50741655216343906 0.087931588273697167
       0 -1.756699070230233e-07 -7.0134382820660353e-07
       0 0 2.3478702990388233e-12];
  y = [-1.4040897714911865e-16; -1.6155297161432475e-09; -0.00049999999999739012];
  u = 1.6e9;
end

function nearly_singular_case(id)
  [y, R, u] = nearly_singular();
  lastwarn('', '');
  [x, ~, it, st] = kelvane(y, R, u, zeros(5, 1), 0);
  [msg, wid] = lastwarn();
  expect_equal(wid, id, 'warning id');
  expect_equal(msg, ['kelvane: x is inaccurate: a point in the box lowers ' ...
                     '||y-R*x||^2 by 1.0e+00*||y||^2 (R is too ill-conditioned for this solver)'], ...
               'warning text');
  expect_equal(st, 1, 'status stays 1');
  if norm(y - R * x)^2 < 0.5 * norm(y)^2 || norm(y - R * (R \ y))^2 > 1e-8 * norm(y)^2
    error('the case is no longer nearly singular for the solver');
  end
  % silenced by its id: no warning, the same outputs
  warning('off', id);
  lastwarn('', '');
  [x2, ~, it2, st2] = kelvane(y, R, u, zeros(5, 1), 0);
  [~, wid] = lastwarn();
  expect_equal(wid, '', 'silenced by its id');
  expect_equal({x2, it2, st2}, {x, it, st}, 'outputs with the warning off');
  % raised as an error by its id: the call fails with the text, the session goes on
  warning('error', id);
  try
    kelvane(y, R, u, zeros(5, 1), 0);
    error('the warning was not raised as an error');
  catch err
    expect_equal(err.identifier, id, 'error id');
    expect_equal(strncmp(err.message, 'kelvane: x is inaccurate:', 25), true, 'error text');
  end
  warning('on', id);
  x3 = kelvane(y, R, u, zeros(5, 1), 0);
  expect_equal(x3, x, 'a call after the error');
end

function batch_warns_once(id)
  [y, R, u] = nearly_singular();
  Y = [y, [1; 2; 3], 2 * y, [0.5; -1; 2]];
  pages = cat(3, R, eye(3), R, triu(magic(3)));
  lastwarn('', '');
  [X, it, st] = kelvane_batch(Y, pages, u, zeros(5, 1), 0);
  [msg, wid] = lastwarn();
  expect_equal(wid, id, 'batch warning id');
  pattern = ['^kelvane_batch: X is inaccurate in 2 of 4 columns, the first column 1; ' ...
             'in column [13], a point in the box lowers \|\|y-R\*x\|\|\^2 by '];
  if isempty(regexp(msg, pattern, 'once'))
    error('batch warning text: %s', msg);
  end
  expect_equal(st, [1 1 1 1], 'batch status stays 1');
  warning('off', id);
  for k = 1:4
    [x, ~, itk] = kelvane(Y(:, k), pages(:, :, k), u, zeros(5, 1), 0);
    expect_equal({X(:, k), it(k)}, {x, itk}, sprintf('batch column %d', k));
  end
end

% The problems of bench/kelvane/bench_octave.m, as that script makes them.
function benchmark_families_do_not_warn(id)
  for family = {'well', 'ill', 'extreme'}
    for n = [8 32 128 512]
      for seed = 1:3
        randn('seed', 1000 * n + seed); rand('seed', 1000 * n + seed);
        if strcmp(family{1}, 'well')
          A = randn(n);
        else
          [U, ~] = qr(randn(n)); [V, ~] = qr(randn(n));
          A = U * diag(logspace(0, -6 - 2 * strcmp(family{1}, 'extreme'), n)) * V';
        end
        [~, R] = qr(A);
        R = triu(R);
        y = R * (4 * rand(n, 1) - 2);
        lastwarn('', '');
        x = kelvane(y, R, 1, zeros(n + 2, 1), 0);  % as the benchmark calls it
        if n < 512
          kelvane(y, R, 1, morrit(x, 1), 1);       % and warm from its index set
        end
        [msg, wid] = lastwarn();
        if strcmp(wid, id)
          error('%s n=%d seed %d warns: %s', family{1}, n, seed, msg);
        end
      end
    end
  end
end
