% SPDX-License-Identifier: BSD-3-Clause
function reliability(mexdir, outfile)
%RELIABILITY Writes quorvin reductions of random integer bases for an exact check.
%   RELIABILITY(MEXDIR, OUTFILE) reduces random square integer bases (entries uniform in
%   [-2^bits, 2^bits], 20 to 60 bits) and knapsack-type bases (column j = (x_j; e_j), x_j
%   uniform in [0, 2^bits), 28 to 60 bits) of orders 10, 20 and 30 with delta 0.75 and
%   0.99, ten of each: [Q,R] = qr(B), [Qo,Ro,Uo] = quorvin(Q,R,delta). Each line of OUTFILE
%   holds kind, bits, n, m, delta, then B and Uo column-major as exact integers.
%   check_exact.py reads the file and tests B*Uo and Uo in exact rational arithmetic.
  addpath(mexdir);
  rand('seed', 1); randn('seed', 1);
  f = fopen(outfile, 'w');
  for kind = 0:1
    if kind == 0, bit_sizes = 20:10:60; else, bit_sizes = [28:2:48, 52, 56, 60]; end
    for bits = bit_sizes
      for n = [10 20 30]
        for delta = [0.75 0.99]
          for rep = 1:10
            if kind == 0
              m = n;
              B = round((2 * rand(m, n) - 1) * 2^bits);
            else
              m = n + 1;
              B = [floor(rand(1, n) * 2^bits); eye(n)];
            end
            [Q, R] = qr(B);
            Q = Q(:, 1:n); R = R(1:n, :);
            [~, ~, Uo] = quorvin(Q, R, delta);
            fprintf(f, '%d %d %d %d %.17g', kind, bits, n, m, delta);
            fprintf(f, ' %.0f', B(:));
            fprintf(f, ' %.0f', Uo(:));
            fprintf(f, '\n');
          end
        end
      end
    end
  end
  fclose(f);
end
