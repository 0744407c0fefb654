% SPDX-License-Identifier: BSD-3-Clause
function call_with_outputs(fn, nout, varargin)
% Calls fn with nout requested outputs (0 for none), discarding them.
  if nout == 0
    fn(varargin{:});
  else
    out = cell(1, nout);
    [out{:}] = fn(varargin{:});
  end
end
