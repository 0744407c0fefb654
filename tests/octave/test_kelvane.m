% SPDX-License-Identifier: BSD-3-Clause
function test_kelvane()
% kelvane end to end inside Octave: worked cases, outputs requested, messages, random
% problems against KKT and qp, warm starts through morrit, and the BLAS binding.
  worked_cases();
  output_counts();
  messages();
  random_problems();
  warm_start_round_trip();
  blas_binding();
end

function worked_cases()
  z3 = zeros(3, 1);
  [x, r, it, st] = kelvane(3, 1, 1, z3, 0);
  expect_equal([x, r, it, st], [1, 0, 2, 1], 'cold, above');
  [x, r, it, st] = kelvane(0.5, 1, 1, z3, 0);
  expect_equal([x, r, it, st], [0.5, 0, 2, 1], 'cold, inside');
  [x, r, it, st] = kelvane(-3, 1, 1, z3, 0);
  expect_equal([x, r, it, st], [-1, 0, 1, 1], 'cold, below');
  [x, r, it, st] = kelvane(3, 1, 1, [0; 1; 0], 1);
  expect_equal([x, r, it, st], [1, 0, 2, 1], 'warm, above');
  [x, r, it, st] = kelvane(0.5, 1, 1, [0; 1; 0], 1);
  expect_equal([x, r, it, st], [0.5, 0, 2, 1], 'warm, inside');
  [x, ~, it] = kelvane(-3, 1, 1, [0; 1; 0], 0.7);
  expect_equal([x, it], [-1, 1], 'use_start 0.7 is a cold start');
  [x, ~, it, st] = kelvane(zeros(3, 1), eye(3), 1, zeros(5, 1), 0);
  expect_equal([x', it, st], [0, 0, 0, 4, 1], 'identity, y = 0');
  [x, ~, it, st] = kelvane([3; 3], eye(2), 1, [0; 2; 1; 0], 1);
  expect_equal([x', it, st], [1, 1, 2, 1], 'warm, both free');
  [x, ~, it, st] = kelvane([-1; -1], eye(2), 0, [0; 1; 2; 2], 1);
  expect_equal([x', it, st], [0, 0, 0, -1], 'pass cap');
  [x, r, it, st] = kelvane(zeros(0, 1), zeros(0, 0), 1, [0; 0], 0);
  expect_equal(size(x), [0, 1], 'empty x');
  expect_equal(size(r), [0, 1], 'empty reserved');
  expect_equal([it, st], [0, 1], 'empty problem');
  % a row vector y and longer vectors read like columns
  [x, ~, it] = kelvane([3, 99], 1, 1, [0, 1, 0, 7], 1);
  expect_equal([x, it], [1, 2], 'row vectors');
end

function output_counts()
  y = [3; -0.2]; R = [2 1; 0 1]; s = zeros(4, 1);
  [x4, r4, it4, st4] = kelvane(y, R, 1, s, 0);
  x1 = kelvane(y, R, 1, s, 0);
  expect_equal(x1, x4, 'one output');
  [x2, r2] = kelvane(y, R, 1, s, 0);
  expect_equal({x2, r2}, {x4, r4}, 'two outputs');
  [x3, r3, it3] = kelvane(y, R, 1, s, 0);
  expect_equal({x3, r3, it3}, {x4, r4, it4}, 'three outputs');
  kelvane(y, R, 1, s, 0);
  expect_equal(ans, x4, 'no output assigned');
  usage = 'kelvane: USAGE: [x,reserved,iterations,status]=kelvane(y,R,u,index_set,use_start)';
  expect_error(@() five_outputs(y, R, s), usage);
  expect_error(@() kelvane(y, R, 1, s), usage);
  expect_error(@() kelvane(y, R, 1, s, 0, 0), usage);
  expect_error(@() kelvane(), usage);
  expect_equal(st4, 1, 'status');
end

function five_outputs(y, R, s)
  [a, b, c, d, e] = kelvane(y, R, 1, s, 0); %#ok<ASGLU>
end

function messages()
% the solver's own messages, and a few argument checks (all of them: C++ gateway tests)
  I = eye(2); y = [1; 1]; s = zeros(4, 1);
  expect_error(@() kelvane(y, ones(2, 3), 1, zeros(5, 1), 0), 'kelvane: This function assumes n==m');
  expect_error(@() kelvane(y, I, 1, [0; 2; 1; -1], 1), ...
               'kelvane: Too many active variables in BVLS starting solution!');
  expect_error(@() kelvane(y, I, -1, s, 0), 'kelvane: u must be a finite number, not negative');
  expect_error(@() kelvane(y, [1 0; 1e-20 1], 1, s, 0), ...
               'kelvane: R must be upper triangular (zeros below the diagonal)');
  expect_error(@() kelvane(y, [1 0; 0 0], 1, s, 0), 'kelvane: R must not have a zero on the diagonal');
  expect_error(@() kelvane(single(y), I, 1, s, 0), 'kelvane: y must be a real double array');
  expect_error(@() kelvane(y, sparse(I), 1, s, 0), 'kelvane: R must be a real double array');
  expect_error(@() kelvane(y, I, 1, s, true), 'kelvane: use_start must be a real double array');
  expect_error(@() kelvane(y, I, 1, [0; 2; 2; 0], 1), 'kelvane: index_set must name each variable only once');
  expect_error(@() kelvane(y, I, 1, [0; 0; 0], 0), 'kelvane: index_set must have at least n+2 elements');
end

% ||y - R x||^2 and the worst KKT violation relative to a tolerance scaled by cond(R)^2
% (the solver's free-set solves lose accuracy like the normal equations).
function [f, ratio] = check_solution(y, R, u, x)
  f = norm(y - R * x)^2;
  g = R' * (R * x - y);
  tol = numel(x) * eps * cond(R)^2 * (norm(R)^2 * norm(x) + norm(R) * norm(y));
  viol = abs(g);
  viol(x == -u) = max(-g(x == -u), 0);
  viol(x == u) = max(g(x == u), 0);
  ratio = max([viol; 0]) / tol;
  if any(abs(x) > u)
    ratio = Inf;
  end
end

function random_problems()
  rand('seed', 3); randn('seed', 3);
  for n = [5 20 60]
    for c = [1 1e4]
      [U, ~] = qr(randn(n)); [V, ~] = qr(randn(n));
      if c == 1
        A = randn(n);
      else
        A = U * diag(logspace(0, -log10(c), n)) * V';
      end
      [~, R] = qr(A); R = triu(R);
      y = R * (4 * rand(n, 1) - 2) + 0.1 * randn(n, 1);
      [x, ~, it, st] = kelvane(y, R, 1, zeros(n + 2, 1), 0);
      expect_equal(st, 1, sprintf('status n=%d', n));
      [f, ratio] = check_solution(y, R, 1, x);
      if ratio > 1
        error('KKT violated: n=%d cond=%g ratio=%g', n, c, ratio);
      end
      xq = qp(zeros(n, 1), R' * R, -R' * y, [], [], -ones(n, 1), ones(n, 1));
      fq = norm(y - R * xq)^2;
      if f > fq * (1 + 1e-10) + 1e-20
        error('worse than qp: n=%d cond=%g %.17g > %.17g', n, c, f, fq);
      end
      if it < 1 || it > 3 * n
        error('pass count %d out of range', it);
      end
    end
  end
end

function warm_start_round_trip()
  if exist('morrit') ~= 3
    printf('  (morrit not built: warm start through morrit skipped)\n');
    return;
  end
  randn('seed', 5); rand('seed', 5);
  for n = [3 30 150]
    [~, R] = qr(randn(n)); R = triu(R);
    y = R * (4 * rand(n, 1) - 2);
    x = kelvane(y, R, 1, zeros(n + 2, 1), 0);
    s = morrit(x, 1);
    [x2, ~, it2, st2] = kelvane(y, R, 1, s, 1);
    if it2 > 2 || st2 ~= 1 || norm(x2 - x, Inf) > 1e-9
      error('warm start from morrit: n=%d passes %d, |dx| %g', n, it2, norm(x2 - x, Inf));
    end
    % a related problem: starts from the old active set and reaches the new optimum
    y2 = y + 0.05 * randn(n, 1);
    [x3, ~, it3] = kelvane(y2, R, 1, s, 1);
    [x4, ~, it4] = kelvane(y2, R, 1, zeros(n + 2, 1), 0);
    if abs(norm(y2 - R * x3)^2 - norm(y2 - R * x4)^2) > 1e-10 * norm(y2 - R * x4)^2 || it3 > it4
      error('warm start of a related problem: n=%d passes %d vs %d', n, it3, it4);
    end
  end
end

% kelvane must call the 64-bit-integer BLAS/LAPACK linked into it, never the 32-bit one
% that Octave has loaded under the same names. Three checks:
function blas_binding()
  % 1. kelvane checks the binding on every call (a BLAS that reads only the low 32 bits
  %    of an integer gives itself away) and raises an error if it is wrong: a solve of
  %    a size where a wrong binding would matter must simply work.
  randn('seed', 9);
  n = 400;
  [~, R] = qr(randn(n)); R = triu(R);
  y = R * (4 * rand(n, 1) - 2);
  [x, ~, ~, st] = kelvane(y, R, 1, zeros(n + 2, 1), 0);
  [~, ratio] = check_solution(y, R, 1, x);
  if st ~= 1 || ratio > 1
    error('n=400 solve: status %d, KKT ratio %g', st, ratio);
  end
  % 2. the MEX file neither imports nor exports any BLAS/LAPACK name, so the dynamic
  %    linker has nothing to bind to the host's copy.
  file = which('kelvane');
  names = {'dnrm2', 'dtrmv', 'daxpy', 'ddot', 'dsyr', 'dscal', 'dcopy', 'dgemv', 'dsymv', ...
           'dpotrf', 'dpotri'};
  [status, symbols] = system(sprintf('nm -D "%s"', file));
  if status ~= 0
    error('nm -D %s failed', file);
  end
  for i = 1:numel(names)
    if ~isempty(regexp(symbols, ['\s' names{i} '_(64_)?(@\S*)?\s'], 'once'))
      error('kelvane.mex has a dynamic symbol %s_: its BLAS can bind to the host''s', names{i});
    end
  end
  % 3. test of the check itself: the same solver linked the naive way (shared
  %    libopenblas64, built for the tests only) is caught by the check of 1.
  hostbound = fullfile(fileparts(fileparts(file)), 'mex-test', 'kelvane_hostbound.mex');
  if exist(hostbound, 'file')
    addpath(fileparts(hostbound));
    expect_error(@() kelvane_hostbound(3, 1, 1, [0; 0; 0], 0), ...
                 'kelvane_hostbound: The BLAS in use does not take 64-bit integers (bound to the host''s BLAS?)');
    rmpath(fileparts(hostbound));
  else
    printf('  (mex-test/kelvane_hostbound.mex not built: check of the check skipped)\n');
  end
end
