% SPDX-License-Identifier: BSD-3-Clause
function count = batch_outputs(fn)
% How many outputs the batch form of fn gives ('kelvane cold' and 'kelvane warm' are
% kelvane), for bench_batch and bench_threads alike.
  switch strtok(fn)
    case {'plinden'}, count = 2;
    case {'quorvin', 'kelvane'}, count = 3;
    otherwise, count = 1;
  end
end
