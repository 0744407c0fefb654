% SPDX-License-Identifier: BSD-3-Clause
function expect_equal(got, want, what)
% Exact comparison (NaN equals NaN) with a readable failure.
  if ~isequal(size(got), size(want)) || ~isequaln(got, want)
    error('%s: got [%s], want [%s]', what, num2str(got(:)', 17), num2str(want(:)', 17));
  end
end
