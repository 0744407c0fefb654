% SPDX-License-Identifier: BSD-3-Clause
function test_zarrow()
% zarrow end to end: worked values, shapes, messages.
  expect_equal(zarrow(2.5, 1), 3, 'half up');
  expect_equal(zarrow(-2.5, 1), -2, 'negative half up');
  expect_equal(zarrow(3, -1), -3, 'negative diagonal');
  R = [2 1 -1; 0 -1.5 0.5; 0 0 0.7];
  y = [0.3; 2.2; -1.9];
  s = zarrow(y, R);
  expect_equal(size(s), [3 1], 'column output');
  % direct back-substitution
  t = zeros(3, 1);
  for i = 3:-1:1
    c = 0;
    for j = i+1:3, c = c + t(j) * R(i, j); end
    t(i) = floor((y(i) - c) / R(i, i) + 0.5);
  end
  expect_equal(s, t, 'back-substitution');
  expect_equal(zarrow(y', R + tril(ones(3), -1) * 50), t, 'row y, full R');
  expect_equal(zarrow([y; 7; 8], R), t, 'extra elements ignored');
  expect_equal(zarrow(zeros(0, 1), zeros(0, 0)), zeros(0, 1), 'empty');
  s = zarrow([1; 0], [1 2; 0 0]);
  assert(all(isnan(s)), 'zero over zero gives NaN upwards');
  usage = 'zarrow: USAGE: s=zf_zarrow(y,R)';
  expect_error(@() call_with_outputs(@zarrow, 1, 1), usage);
  expect_error(@() call_with_outputs(@zarrow, 1, 1, 2, 3), usage);
  expect_error(@() call_with_outputs(@zarrow, 2, 1, 1), usage);
  expect_error(@() call_with_outputs(@zarrow, 0, 1, 1), usage);
  expect_error(@() call_with_outputs(@zarrow, 1, 1, ones(2, 3)), 'zarrow: R must be square');
  expect_error(@() call_with_outputs(@zarrow, 1, int32([1; 2]), eye(2)), 'zarrow: y must be a real double array');
  expect_error(@() call_with_outputs(@zarrow, 1, single([1; 2]), eye(2)), 'zarrow: y must be a real double array');
  expect_error(@() call_with_outputs(@zarrow, 1, [1; 2], sparse(eye(2))), 'zarrow: R must be a real double array');
  expect_error(@() call_with_outputs(@zarrow, 1, [1; 2], complex(eye(2))), 'zarrow: R must be a real double array');
  expect_error(@() call_with_outputs(@zarrow, 1, 1, eye(2)), ...
               'zarrow: y must have at least as many elements as R has columns');
end
