% SPDX-License-Identifier: BSD-3-Clause
function test_tessaly()
% tessaly end to end: odd decisions, clamp, truncated u, messages.
  cases = [ % y  R  u  expected
    0   1  5   1
   -2   1  5  -1
    2   1  5   3
    7  -1  5  -5
    4   1  3   3
    9   1  4   4
   -9   1  4  -4
    0.3 1  0   0
   10   1 -3  -3
  -10   1 -3   3
    2.9 1  3.9 3];
  for k = 1:rows(cases)
    c = cases(k, :);
    expect_equal(tessaly(c(1), c(2), c(3)), c(4), sprintf('case %d', k));
  end
  % 4-PAM detection of a noiseless system recovers the symbols
  R = [2 0.5 -0.3; 0 1.5 0.2; 0 0 1.1];
  s = [3; -1; 1];
  expect_equal(tessaly(R * s, R, 3), s, 'noiseless 4-PAM');
  expect_equal(tessaly(zeros(0, 1), zeros(0, 0), 1), zeros(0, 1), 'empty');
  usage = 'tessaly: USAGE: [s]=tessaly(y,R,u)';
  expect_error(@() call_with_outputs(@tessaly, 1, 1, 1), usage);
  expect_error(@() call_with_outputs(@tessaly, 0, 1, 1, 1), usage);
  expect_error(@() call_with_outputs(@tessaly, 1, 1, ones(2, 3), 1), 'tessaly: R must be square');
  expect_error(@() call_with_outputs(@tessaly, 1, 1, 1, NaN), 'tessaly: u must be a number of magnitude below 2^31');
  expect_error(@() call_with_outputs(@tessaly, 1, 1, 1, 2^31), 'tessaly: u must be a number of magnitude below 2^31');
  expect_error(@() call_with_outputs(@tessaly, 1, 1, 1, []), 'tessaly: u must not be empty');
  expect_error(@() call_with_outputs(@tessaly, 1, 1, 1, int8(3)), 'tessaly: u must be a real double array');
end
