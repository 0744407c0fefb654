% SPDX-License-Identifier: BSD-3-Clause
function test_plinden_llr()
% plinden_llr end to end: enumeration of every point in Octave code (mixed M, priors,
% clipping, pages), the hard decision and nodes of clip = 0, outputs, messages.
  rand('seed', 5); randn('seed', 5);
  [L, s] = plinden_llr(-1, 1, 4, 2, Inf);
  expect_equal([L; s], [2; -2; -1], 'one level of 4-PAM: Gray 01 at -1');
  L = plinden_llr(-1, 1, 4, 2, 1);
  expect_equal(L, [1; -1], 'clipped');
  [L, s] = plinden_llr(-1, 1, 4, 2, Inf, [0; 5]);
  expect_equal([L; s], [5; 3; -3], 'a prior moves the best point');

  shapes = {2, 4, 8, [2 4], [4 2 8], [2 2 2 2], [4 4 4]};
  for t = 1:numel(shapes)
    Mv = shapes{t};
    n = numel(Mv); K = 6; P = 3;
    Rs = zeros(n, n, P);
    for p = 1:P
      R = triu(randn(n));
      R(1:n+1:end) = (0.3 + abs(diag(R))) .* sign(randn(n, 1));
      Rs(:, :, p) = R;
    end
    Y = 3 * randn(n, K);
    B = sum(log2(Mv));
    N0 = 0.2 + rand(1, K);
    La = 2 * randn(B, K);
    [pts, bits] = alphabet(Mv);
    for clip = [0 0.5 2 Inf]
      for with_priors = [false true]
        if with_priors
          [L, S, nodes] = plinden_llr(Y, Rs, Mv, N0, clip, La);
        else
          [L, S, nodes] = plinden_llr(Y, Rs, Mv, N0, clip);
        end
        assert(isequal(size(L), [B K]) && isequal(size(S), [n K]) && isequal(size(nodes), [1 K]));
        for k = 1:K
          R = Rs(:, :, ceil(k / (K / P)));
          metric = sum((Y(:, k) - R * pts) .^ 2, 1) / N0(k);
          if with_priors
            metric = metric + La(:, k)' * bits;
          end
          for b = 1:B
            want = min(metric(bits(b, :) == 1)) - min(metric(bits(b, :) == 0));
            want = sign(want) * min(abs(want), clip);
            scale = 1e-10 * (1 + max(abs(metric)));
            assert(abs(L(b, k) - want) <= scale, ...
                   sprintf('M [%s] clip %g priors %d column %d bit %d: %g, want %g', ...
                           num2str(Mv), clip, with_priors, k, b, L(b, k), want));
          end
          m = sum((Y(:, k) - R * S(:, k)) .^ 2) / N0(k);
          if with_priors
            [~, j] = ismember(S(:, k)', pts', 'rows');
            m = m + La(:, k)' * bits(:, j);
          end
          assert(m <= min(metric) + 1e-10 * (1 + abs(min(metric))), 'S is not the best point');
          assert(nodes(k) >= n && nodes(k) == round(nodes(k)), 'nodes');
        end
      end
    end
  end

  % clip = 0 and uniform M: the point and nodes of the hard search on the integer form
  n = 6; K = 40; M = 4;
  R = triu(randn(n)); R(1:n+1:end) = 0.5 + abs(diag(R));
  Y = 3 * randn(n, K);
  [L, S, nodes] = plinden_llr(Y, R, M, 1, 0);
  assert(all(L(:) == 0), 'clip 0: every LLR 0');
  [A, info] = plinden_batch(Y + R * (M - 1) * ones(n, K), 2 * R, Inf, 0, M - 1);
  assert(all(info == 1) && isequal(S, 2 * A - (M - 1)), 'clip 0: the hard decision');
  [~, ~, clipped] = plinden_llr(Y, R, M, 1, 8);
  [~, ~, full] = plinden_llr(Y, R, M, 1, Inf);
  assert(all(clipped >= nodes) && all(full >= clipped), 'nodes grow with the clip');

  % outputs asked for, thread counts
  L1 = plinden_llr(Y, R, M, 1, 4);
  [L3, S3] = plinden_llr(Y, R, M, 1, 4, []);
  expect_equal(L1, L3, 'La = [] is no priors');
  setenv('LATBOX_NUM_THREADS', '3');
  unwind_protect
    [L4, S4] = plinden_llr(Y, R, M, 1, 4);
  unwind_protect_cleanup
    unsetenv('LATBOX_NUM_THREADS');
  end_unwind_protect
  assert(isequal(L4, L3) && isequal(S4, S3), 'three threads');
  expect_equal(size(plinden_llr(zeros(3, 0), eye(3), 2, 1, 1)), [3 0], 'K = 0');

  % the extrinsic output: with La = 30 and clip 8, L = 8 and Le = 1.6 (not 8 - 30)
  [Lw, ~, ~, Le] = plinden_llr(-0.4, 1, 2, 1, 8, 30);
  assert(Lw == 8 && abs(Le - 1.6) < 1e-12, 'extrinsic under clipping');
  usage = 'plinden_llr: USAGE: [L,S,nodes,Le]=plinden_llr(Y,R,M,N0,clip,La)';
  expect_error(@() plinden_llr(Y, R, M, 1), usage);
  expect_error(@() plinden_llr(1, 1, 3, 1, 1), ...
               'plinden_llr: M must be a power of two from 2 to 65536');
  expect_error(@() plinden_llr(ones(2, 1), eye(2), [4 5], 1, 1), ...
               'plinden_llr: M element 2 must be a power of two from 2 to 65536');
  expect_error(@() plinden_llr(ones(1, 3), 1, 2, [1 1 0], 1), ...
               'plinden_llr: N0 column 3 must be positive and finite');
  expect_error(@() plinden_llr(1, 1, 2, 1, NaN), ...
               'plinden_llr: clip must be non-negative (Inf allowed)');
  expect_error(@() plinden_llr(1, 1, 2, 1, 1, [1 2]), ...
               'plinden_llr: La must be empty or have one row per bit and one column per column of Y');
  expect_error(@() plinden_llr([1 NaN], 1, 2, 1, 1), ...
               'plinden_llr: Y column 2 must not contain NaN or Inf');
end

function [pts, bits] = alphabet(Mv)
% Every point of the levels' alphabets (one per column) and its bits, Gray labels, level 1's
% bits first, most significant first.
  n = numel(Mv);
  idx = cell(1, n);
  [idx{:}] = ndgrid(arrayfun(@(m) 0:m-1, Mv, 'UniformOutput', false){:});
  A = cell2mat(cellfun(@(g) g(:)', idx, 'UniformOutput', false)');
  A = reshape(A, n, []);
  pts = 2 * A - (Mv(:) - 1);
  bits = [];
  for i = 1:n
    m = log2(Mv(i));
    g = bitxor(A(i, :), bitshift(A(i, :), -1));
    for j = m-1:-1:0
      bits = [bits; bitand(bitshift(g, -j), 1)];
    end
  end
end
