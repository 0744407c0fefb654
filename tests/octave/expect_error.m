% SPDX-License-Identifier: BSD-3-Clause
function expect_error(fn, expected)
% Calls fn (a function handle of no arguments) and checks that it raises
% exactly the message expected (Octave shows a MEX error as "name: text").
  try
    fn();
  catch err
    if ~strcmp(err.message, expected)
      error('expected error "%s", got "%s"', expected, err.message);
    end
    return;
  end
  error('expected error "%s", got none', expected);
end
