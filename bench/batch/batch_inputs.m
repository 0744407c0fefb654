% SPDX-License-Identifier: BSD-3-Clause
function args = batch_inputs(fn, f, u)
% The arguments of the batch form of fn on a frame of batch_frame, as the single calls
% get them column by column (bench_batch and bench_threads alike): 'zarrow', 'tessaly',
% 'plinden' (plinden_inputs), 'kelvane' or 'kelvane cold', 'kelvane warm' (each vector
% from morrit of the previous one's solution on its channel), 'morrit' (of the cold
% solutions); u the half-width of the alphabet's box.
  [n, K] = size(f.Yt);
  switch fn
    case 'zarrow'
      args = {f.Yi, f.R};
    case 'tessaly'
      args = {f.Yt, f.R, u};
    case 'plinden'
      args = plinden_inputs(f, u);
    case {'kelvane', 'kelvane cold'}
      args = {f.Yt, f.R, u, zeros(n + 2, 1), 0};
    case 'kelvane warm'
      % each vector starts from morrit of the previous one's solution on its channel
      I = morrit_batch(kelvane_batch(f.Yt, f.R, u, zeros(n + 2, 1), 0), u);
      use = ones(1, K);
      use(1:f.c:K) = 0;                            % the first vector of a channel: cold
      args = {f.Yt, f.R, u, [zeros(n + 2, 1), I(:, 1:K - 1)], use};
    case 'morrit'
      args = {kelvane_batch(f.Yt, f.R, u, zeros(n + 2, 1), 0), u};
    otherwise
      error('batch_inputs: no inputs for %s', fn);
  end
end
