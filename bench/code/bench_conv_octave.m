% SPDX-License-Identifier: BSD-3-Clause
function bench_conv_octave(varargin)
% conv_decode called from Octave: Mbit/s of info bits for K = 7 (133,171), 'maxlog' and
% 'logmap', frames of 10,000 info bits at Eb/N0 2 dB, one thread and then every thread
% (the call included: the MEX call, the checks and the outputs); and the EXIT curve's cost.
%   bench_conv_octave('scale', s)   s < 1 for a quick run
  scale = 1;
  for a = 1:2:numel(varargin)
    if strcmp(varargin{a}, 'scale'), scale = varargin{a + 1}; end
  end
  randn('seed', 1); rand('seed', 1);
  code = conv_code(7, [133 171]);
  k = 10000; frames = max(2, round(16 * scale));
  U = randi([0 1], k, frames);
  C = conv_encode(U, code);
  esn0 = 10^(2 / 10) / 2;
  L = 4 * esn0 * ((1 - 2 * C) + randn(size(C)) / sqrt(2 * esn0));
  printf('%-26s %10s %10s %10s\n', 'conv_decode', 'threads', 'Mbit/s', 'per thread');
  for threads = {'1', ''}
    if isempty(threads{1})
      unsetenv('LATBOX_NUM_THREADS');
      t = nproc();
    else
      setenv('LATBOX_NUM_THREADS', threads{1});
      t = 1;
    end
    for method = {'maxlog', 'logmap'}
      for outs = 1:2
        conv_decode(L(:, 1:2), code, 'method', method{1});  % warm
        tic;
        reps = 0;
        while true
          if outs == 1
            Lu = conv_decode(L, code, 'method', method{1});
          else
            [Lu, Lc] = conv_decode(L, code, 'method', method{1});
          end
          reps = reps + 1;
          if toc > 1.0 * scale, break; end
        end
        rate = reps * k * frames / toc / 1e6;
        label = sprintf('%s, %s', method{1}, ifelse(outs == 1, 'Lu', 'Lu and Lc'));
        printf('%-26s %10d %10.2f %10.2f\n', label, t, rate, rate / t);
      end
    end
  end
  unsetenv('LATBOX_NUM_THREADS');
  printf('decisions: BER %.2e (maxlog), %.2e (logmap)\n', ...
         mean(mean((conv_decode(L, code, 'method', 'maxlog') < 0) ~= U)), mean(mean((Lu < 0) ~= U)));
  tic;
  IE = exit_decoder_curve(code, linspace(0, 1, 11), 2000, 4);
  printf('exit_decoder_curve, 11 points of 8,000 code bits: %.2f s; I_E at I_A = 0.5: %.4f\n', toc, IE(6));
end

function r = ifelse(c, a, b)
  if c, r = a; else, r = b; end
end
