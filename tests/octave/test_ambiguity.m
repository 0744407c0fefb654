% SPDX-License-Identifier: BSD-3-Clause
function test_ambiguity()
% ambiguity_fix and ambiguity_fix_batch end to end: the textbook example, brute force on
% small problems, the batch form against single calls, the messages, and the study with
% tiny options.
  here = fileparts(mfilename('fullpath'));
  addpath(fullfile(here, '..', '..', 'demo'));
  Q = [6.290 5.978 0.544; 5.978 6.292 2.340; 0.544 2.340 6.288];
  ahat = [5.45; 3.10; 2.97];
  [afix, sqnorm, info] = ambiguity_fix(ahat, Q);
  assert(isequal(afix, [5 6; 3 4; 4 4]));
  assert(abs(sqnorm(1) - (ahat - afix(:, 1))' * (Q \ (ahat - afix(:, 1)))) < 1e-12);
  assert(islogical(info.accepted) && ~info.accepted && strcmp(info.status, 'optimal'));
  assert(abs(info.success_rate - prod(erf(1 ./ sqrt(8 * info.D)))) <= 1e-14 * info.success_rate);
  Z = info.Z;
  assert(all(Z(:) == round(Z(:))) && abs(abs(det(Z)) - 1) < 1e-9);

  % brute force: every integer vector in a box around ahat
  rand('seed', 3); randn('seed', 3);
  for trial = 1:20
    n = 3;
    L = tril(randn(n), -1) + eye(n);
    Q = L' * diag(10 .^ (-rand(n, 1))) * L;
    ahat = 3 * rand(n, 1);
    [afix, sqnorm] = ambiguity_fix(ahat, Q, 'ncands', 3);
    r = ceil(sqrt(sqnorm(3) * diag(Q)));
    [g1, g2, g3] = ndgrid(-r(1):r(1), -r(2):r(2), -r(3):r(3));
    A = round(ahat) + [g1(:) g2(:) g3(:)]';
    D = ahat - A;
    s = sum(D .* (Q \ D), 1);
    [s, order] = sort(s);
    assert(max(abs(s(1:3)' - sqnorm) ./ sqnorm) < 1e-9);
    assert(isequal(A(:, order(1)), afix(:, 1)));
  end

  % the batch form equals single calls, one Q or one per epoch
  [a, Q] = study_gnss_problem(2, 10, 2);
  n = numel(a);
  A = [a, a + 0.3, a - 0.2];
  Qs = cat(3, Q, Q * 2, Q * 0.5);
  [F, S, I] = ambiguity_fix_batch(A, Qs, 'ncands', 2);
  for k = 1:3
    [f, s, i] = ambiguity_fix(A(:, k), Qs(:, :, k), 'ncands', 2);
    assert(isequal(F(:, :, k), f) && isequal(S(:, k), s) && I.ratio(k) == i.ratio);
    assert(isequal(I.Z(:, :, k), i.Z) && I.accepted(k) == i.accepted && I.status(k) == 0);
  end
  [F1, S1] = ambiguity_fix_batch(A, Q, 'method', 'par');
  assert(isequal(size(F1), [n 3]) && isequal(size(S1), [2 3]));
  [f, s] = ambiguity_fix(A(:, 2), Q, 'method', 'par');
  assert(isequal(F1(:, 2), f) && isequal(S1(:, 2), s));

  % messages
  expect_error(@() ambiguity_fix([1; 2], [1 0.5; 0.4 1]), ...
               'ambiguity_fix: Q must be symmetric (within a relative 1e-12)');
  expect_error(@() ambiguity_fix([1; 2], [1 1; 1 1]), 'ambiguity_fix: Q must be positive definite');
  expect_error(@() ambiguity_fix([1; 2], eye(2), 'ratio', 0.5), ...
               'ambiguity_fix: ratio must be 1 or more (Inf allowed)');
  expect_error(@() ambiguity_fix_batch([1 1; 2 NaN], eye(2)), ...
               'ambiguity_fix_batch: ahat column 2 must not contain NaN or Inf');
  expect_error(@() ambiguity_fix_batch([1 1; 2 2], cat(3, eye(2), [1 1; 1 1])), ...
               'ambiguity_fix_batch: Q page 2 must be positive definite');

  % the study, tiny
  if exist('ambiguity_study', 'file')
    out = [tempname() '.png'];
    r = ambiguity_study(struct('trials', 20, 'figure', out, 'quiet', true));
    assert(exist(out, 'file') == 2);
    delete(out);
    assert(all(r.fix_rate(:) >= 0 & r.fix_rate(:) <= 1));
  end
end
