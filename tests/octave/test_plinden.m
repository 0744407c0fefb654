% SPDX-License-Identifier: BSD-3-Clause
function test_plinden()
% plinden end to end: worked cases, brute force, far centres, messages.
  [s, info] = plinden([0.5; 0], eye(2), 10, -10, 10);
  expect_equal([s; info], [1; 0; 1], 'leaf then up');
  [s, info] = plinden([0; 0.5], eye(2), 10, -10, 10);
  expect_equal([s; info], [0; 0; 1], 'the later of two ties');
  [s, info] = plinden(2.3, 1, 1, 3, 10);
  expect_equal([s; info], [3; 1], 'centre below the box');
  [s, info] = plinden(-2.3, -1, 1, 3, 10);
  expect_equal([s; info], [3; 1], 'negative diagonal starts towards the centre');
  [s, info] = plinden([0.3; -2], eye(2), 100, 1, 1);
  expect_equal([s; info], [1; 1; 1], 'root walks into the box');
  [s, info] = plinden([0.5; 0.5], eye(2), Inf, 0.2, 0.8);
  expect_equal([s; info], [0; 0; -1], 'box without an integer, no radius');
  [s, info] = plinden(1e12, 1, Inf, 0, 3);
  expect_equal([s; info], [3; 1], 'centre far above the box');
  [s, info] = plinden(zeros(0, 1), zeros(0, 0), 1, 0, 1);
  expect_equal(size(s), [0 1], 'empty symb');
  expect_equal(info, -1, 'empty info');

  % brute force over the box on random problems, both diagonal signs
  rand('seed', 3); randn('seed', 3);
  for trial = 1:60
    n = 1 + mod(trial, 4);
    R = triu(randn(n));
    R(1:n+1:end) = (0.3 + abs(diag(R))) .* sign(randn(n, 1));
    y = 2 * randn(n, 1);
    lo = -1; hi = 2;
    [s, info] = plinden(y, R, Inf, lo, hi);
    pts = lo:hi;
    grid = cell(1, n);
    [grid{:}] = ndgrid(pts);
    P = cell2mat(cellfun(@(g) g(:)', grid, 'UniformOutput', false)');
    P = reshape(P, n, []);
    d = sum((y - R * P) .^ 2, 1);
    assert(info == 1);
    assert(abs(sum((y - R * s) .^ 2) - min(d)) <= 1e-10 * (1 + min(d)), ...
           sprintf('trial %d not closest', trial));
  end

  usage = 'plinden: USAGE: [symb,info]=plinden(y,R,radius,lb,ub)';
  expect_error(@() plinden(1, 1, 1, 0), usage);
  expect_error(@() call_with_outputs(@plinden, 1, 1, 1, 1, 0, 1), usage);
  expect_error(@() call_with_outputs(@plinden, 2, 1, ones(2, 3), 1, 0, 1), ...
               'plinden: R must be square');
  expect_error(@() call_with_outputs(@plinden, 2, NaN, 1, 1, 0, 1), ...
               'plinden: y must not contain NaN or Inf');
  expect_error(@() call_with_outputs(@plinden, 2, 1, 0, 1, 0, 1), ...
               'plinden: R must not have a zero on the diagonal');
  expect_error(@() call_with_outputs(@plinden, 2, 1, 1, NaN, 0, 1), ...
               'plinden: radius must not be NaN');
  expect_error(@() call_with_outputs(@plinden, 2, 1, 1, 1, [], 1), ...
               'plinden: lb must not be empty');
  expect_error(@() call_with_outputs(@plinden, 2, 1, 1, 1, 0, int32(1)), ...
               'plinden: ub must be a real double array');
  expect_error(@() call_with_outputs(@plinden, 2, [1e17; 1e17], eye(2), Inf, -Inf, Inf), ...
               'plinden: y is too large for R: the search would need integers beyond 2^51');
end
