% SPDX-License-Identifier: BSD-3-Clause
function set_threads(value)
% Sets LATBOX_NUM_THREADS to value, or unsets it when value is empty (as getenv gives an
% unset variable back).
  if isempty(value)
    unsetenv('LATBOX_NUM_THREADS');
  else
    setenv('LATBOX_NUM_THREADS', value);
  end
end
