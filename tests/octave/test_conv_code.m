% SPDX-License-Identifier: BSD-3-Clause
function test_conv_code()
% conv_code, conv_encode and conv_decode end to end: conv_code's trellis is the one the
% MEX files build (they refuse any other) for codes over the whole range; log-MAP against
% an enumeration of every codeword in Octave code; extrinsic = posterior - prior; known
% bits; threads; conv_code's messages.
  rand('seed', 26); randn('seed', 26);
  % codes over the range: K 2..9, feedforward and recursive, n up to 8
  codes = {{2, 3}, {2, [3 1]}, {3, [7 5]}, {3, 5, 7}, {4, [15 17 13]}, {5, [23 35], 23}, ...
           {6, [53 75]}, {7, [133 171]}, {7, 171, 133}, {8, [247 371]}, {9, [561 753]}, ...
           {9, [753 561 711], 657}, {4, [17 15 13 11 7 5 3 1]}, {3, [7 5 3 1 6 4 2], 7}};
  for c = 1:numel(codes)
    code = conv_code(codes{c}{:});
    U = randi([0 1], 30, 3);
    C = conv_encode(U, code);
    assert(isequal(size(C), [code.n * (30 + code.K - 1), 3]), 'codeword size');
    % noiseless LLRs decode to U, and the posterior Lc to C
    [Lu, Lc] = conv_decode(8 * (1 - 2 * C), code);
    assert(isequal(Lu < 0, U == 1), sprintf('code %d: decisions', c));
    assert(isequal(Lc < 0, C == 1), sprintf('code %d: code-bit decisions', c));
    Cu = conv_encode(U, code, 'terminate', false);
    assert(isequal(Cu, C(1:code.n * 30, :)), 'unterminated: the first steps');
  end

  % log-MAP against the APP of every codeword (the codewords from conv_encode)
  for c = {{3, [7 5]}, {3, 5, 7}, {4, [15 17]}}
    code = conv_code(c{1}{:});
    k = 5;
    for terminate = [true false]
      words = dec2bin(0:2^k-1, k).' - '0';     % every info word, one per column
      CW = conv_encode(words, code, 'terminate', terminate);
      L = 1.5 * randn(size(CW, 1), 1);
      La = randn(k, 1);
      lp = @(B, l) -log1p(exp(-(1 - 2 * B) .* l));   % ln P(b)
      metric = sum(lp(CW, L), 1) + sum(lp(words, La), 1);
      want_u = zeros(k, 1);
      for i = 1:k
        want_u(i) = lse(metric(words(i, :) == 0)) - lse(metric(words(i, :) == 1));
      end
      want_c = zeros(size(L));
      for j = 1:numel(L)
        want_c(j) = lse(metric(CW(j, :) == 0)) - lse(metric(CW(j, :) == 1));
      end
      [Lu, Lc] = conv_decode(L, code, 'prior', La, 'terminate', terminate);
      assert(max(abs(Lu - want_u)) < 1e-9, 'log-MAP Lu against the enumeration');
      assert(max(abs(Lc - want_c)) < 1e-9, 'log-MAP Lc against the enumeration');
      [Lue, Lce] = conv_decode(L, code, 'prior', La, 'terminate', terminate, 'output', 'extrinsic');
      assert(max(abs(Lue - (Lu - La))) < 1e-12, 'extrinsic = posterior - prior');
      assert(max(abs(Lce - (Lc - L))) < 1e-12, 'extrinsic Lc = posterior - L');
    end
  end

  % known bits: +-Inf in, never NaN out; a known info bit keeps its sign
  code = conv_code(7, [133 171]);
  U = randi([0 1], 100, 4);
  C = conv_encode(U, code);
  L = 2 * (1 - 2 * C) + randn(size(C));
  L(1:7:end) = Inf * (1 - 2 * C(1:7:end));
  La = zeros(size(U)); La(1:5:end) = Inf * (1 - 2 * U(1:5:end));
  for method = {'logmap', 'maxlog'}
    for output = {'posterior', 'extrinsic'}
      [Lu, Lc] = conv_decode(L, code, 'prior', La, 'method', method{1}, 'output', output{1});
      assert(~any(isnan([Lu(:); Lc(:)])), 'no NaN');
    end
  end
  Lu = conv_decode(L, code, 'prior', La);
  assert(isequal(Lu(1:5:end), La(1:5:end)), 'a known info bit stays known');

  % the same bits on 1, 2 and 7 threads, and with maxlog
  L = randn(2 * 506, 9);
  for method = {'logmap', 'maxlog'}
    set_threads('1'); [a1, b1] = conv_decode(L, code, 'method', method{1});
    set_threads('2'); [a2, b2] = conv_decode(L, code, 'method', method{1});
    set_threads('7'); [a7, b7] = conv_decode(L, code, 'method', method{1});
    set_threads('');
    assert(isequal(a1, a2, a7) && isequal(b1, b2, b7), 'threads change nothing');
  end

  % conv_code's messages
  expect_error(@() conv_code(10, 7), 'conv_code: K must be an integer from 2 to 9');
  expect_error(@() conv_code(1, 1), 'conv_code: K must be an integer from 2 to 9');
  expect_error(@() conv_code(3, [7 8]), 'conv_code: G column 2 must be a polynomial in octal digits (0 to 7)');
  expect_error(@() conv_code(3, [7 0]), 'conv_code: G column 2 must not be 0');
  expect_error(@() conv_code(3, [7 17]), 'conv_code: G column 2 must have no tap beyond K bits (below 2^K)');
  expect_error(@() conv_code(3, 5, 6), 'conv_code: F must have its top and bottom taps (bits K-1 and 0)');
  expect_error(@() conv_code(3, 5, 3), 'conv_code: F must have its top and bottom taps (bits K-1 and 0)');
  expect_error(@() conv_code(3, 5, 17), 'conv_code: F must have no tap beyond K bits (below 2^K)');
  expect_error(@() conv_code(3, 5, 9), 'conv_code: F must be a polynomial in octal digits (0 to 7)');
  expect_error(@() conv_code(3, ones(1, 8), 7), 'conv_code: G must have at most 8 outputs in all (7 generators with F)');
  try
    conv_code(3, 5, 6);
  catch err
    assert(strcmp(err.identifier, 'latbox:conv_code:F'), err.identifier);
  end
  % an edited struct is refused by the MEX files
  code = conv_code(3, [7 5]);
  code.next(2, 1) = 3;
  expect_error(@() conv_decode(zeros(10, 1), code), 'conv_decode: code.next does not match code.K, code.G and code.F');
  code = conv_code(3, [7 5]);
  expect_error(@() conv_encode([0 1 2].', code), 'conv_encode: U column 1 must hold only 0 and 1');
  expect_error(@() conv_decode(zeros(9, 1), code), ...
               'conv_decode: L must have n*(k+2) rows for a terminated frame of k info bits of this code (n = 2)');
end

function y = lse(x)
  m = max(x);
  y = m + log(sum(exp(x - m)));
end
