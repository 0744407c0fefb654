% SPDX-License-Identifier: BSD-3-Clause
function test_morrit()
% morrit end to end: the index-set vector of the worked cases, messages.
  usage = 'morrit: USAGE: index_set=morrit(x,bound)';
  expect_equal(morrit([0.5; -2; 2; 0; -0.5], 1), [0; -2; 3; 5; 4; 1; 2], 'example');
  expect_equal(morrit([], 1), [0; 0], 'n = 0');
  expect_equal(morrit([-1; 1; 0.999], 1), [0; -1; 2; 3; 2], 'inclusive');
  expect_equal(morrit([0; -0; 3; NaN], 0), [0; -1; -2; 3; 4; 3], 'a = 0');
  expect_equal(morrit([-Inf; Inf; 1e308; NaN], Inf), [0; -1; 2; 4; 3; 2], 'a = Inf');
  expect_equal(morrit([2 0 0], 1), [0; 1; 1], 'row vector: n = 1');
  expect_equal(morrit([0.1; 0.2], [1 5], 'ignored'), [0; 2; 1; 0], 'first element, extra input');
  morrit([0.5; 2], 1);
  expect_equal(ans, [0; 2; 1; 1], 'no output requested');
  expect_error(@() morrit([1; 2]), usage);
  expect_error(@() morrit(), usage);
  expect_error(@() call_with_outputs(@morrit, 2, [1; 2], 1), usage);
  expect_error(@() morrit(zeros(3, 0), 1), 'morrit: x must have at least one column');
  expect_error(@() morrit([1; 2], []), 'morrit: bound must not be empty');
  expect_error(@() morrit(int8([1; 2]), 1), 'morrit: x must be a real double array');
  expect_error(@() morrit([1; 2], single(1)), 'morrit: bound must be a real double array');
end
