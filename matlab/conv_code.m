% SPDX-License-Identifier: BSD-3-Clause
function code = conv_code(K, G, F)
%CONV_CODE A binary convolutional code of rate 1/n, for CONV_ENCODE and CONV_DECODE.
%   CODE = CONV_CODE(K, G) is the feedforward code of constraint length K
%   (2..9) with generator polynomials G, written in octal as usual:
%   [133 171] is the K = 7 code of rate 1/2, [7 5] the K = 3 one. The most
%   significant of a generator's K bits taps the current input, the least
%   significant the oldest; each step sends one bit per generator, in the
%   order of G (n = numel(G), up to 8).
%   CODE = CONV_CODE(K, G, F) is the recursive systematic code with
%   feedback polynomial F (octal, with its top and bottom taps): the
%   register input is w = u + (F's taps on the state) mod 2, each step sends
%   the systematic bit u first and then one parity bit per generator of G
%   on w and the state (n = 1 + numel(G), up to 8). conv_code(3, 5, 7) is
%   the (1, 5/7) code, conv_code(7, 171, 133) the recursive form of the
%   K = 7 code. F = 0 or [] is the feedforward code.
%
%   CODE is a struct with fields
%     K, G, F   as given (F = 0 for a feedforward code),
%     n         the code bits per step,
%     next      2^(K-1)-by-2: next(s+1, u+1) is the state (0-based) that
%               info bit u leads to from state s, the state holding the last
%               K-1 register inputs, the newest in its most significant bit;
%     outputs   2^(K-1)-by-2: the n code bits of that branch as an integer,
%               the first bit sent most significant.
%   CONV_ENCODE and CONV_DECODE check the struct again (an edited next or
%   outputs is refused).
%
%   Errors (identifiers latbox:conv_code:K, :G, :F): K outside 2..9;
%   generators that are not octal (a digit 8 or 9, not a non-negative
%   integer), zero, or wider than K bits (octal value >= 2^K); more than 8
%   outputs; a feedback polynomial not octal, wider than K, or without its
%   top (2^(K-1)) and bottom (1) taps.
%
%   Example
%     code = conv_code(3, [7 5]);
%     code.next(1, :)      % 0 2: from state 0, info bit 0 stays, 1 goes to 2
%     code.outputs(1, :)   % 0 3: the branches send 00 and 11
%
%   See also CONV_ENCODE, CONV_DECODE.
  if nargin < 2 || nargin > 3
    error('latbox:conv_code:usage', 'USAGE: code = conv_code(K, G) or conv_code(K, G, F)');
  end
  if nargin < 3 || isempty(F)
    F = 0;
  end
  if ~(isnumeric(K) && isscalar(K) && isreal(K) && K == fix(K) && K >= 2 && K <= 9)
    error('latbox:conv_code:K', 'conv_code: K must be an integer from 2 to 9');
  end
  K = double(K);
  if ~(isnumeric(G) && isvector(G) && isreal(G)) || isempty(G)
    error('latbox:conv_code:G', 'conv_code: G must be a vector of generator polynomials in octal');
  end
  G = double(G(:).');
  g = zeros(size(G));
  for j = 1:numel(G)
    g(j) = octal_value(G(j));
    if isnan(g(j))
      error('latbox:conv_code:G', 'conv_code: G column %d must be a polynomial in octal digits (0 to 7)', j);
    end
    if g(j) == 0
      error('latbox:conv_code:G', 'conv_code: G column %d must not be 0', j);
    end
    if g(j) >= 2^K
      error('latbox:conv_code:G', 'conv_code: G column %d must have no tap beyond K bits (below 2^K)', j);
    end
  end
  if ~(isnumeric(F) && isscalar(F) && isreal(F))
    error('latbox:conv_code:F', 'conv_code: F must be 0, [] or one polynomial in octal');
  end
  F = double(F);
  f = octal_value(F);
  if isnan(f)
    error('latbox:conv_code:F', 'conv_code: F must be a polynomial in octal digits (0 to 7)');
  end
  recursive = f ~= 0;
  n = numel(G) + recursive;
  if n > 8
    error('latbox:conv_code:G', 'conv_code: G must have at most 8 outputs in all (7 generators with F)');
  end
  if recursive
    if f >= 2^K
      error('latbox:conv_code:F', 'conv_code: F must have no tap beyond K bits (below 2^K)');
    end
    if mod(f, 2) ~= 1 || f < 2^(K-1)
      error('latbox:conv_code:F', 'conv_code: F must have its top and bottom taps (bits K-1 and 0)');
    end
  end
  S = 2^(K-1);
  next = zeros(S, 2);
  outputs = zeros(S, 2);
  low = mod(f, S);  % F's taps on the state
  for s = 0:S-1
    for u = 0:1
      if recursive
        w = bitxor(u, parity(bitand(s, low)));
      else
        w = u;
      end
      r = w * S + s;  % the register: input on top, then the state
      bits = zeros(1, 0);
      if recursive
        bits = u;
      end
      for j = 1:numel(g)
        bits(end + 1) = parity(bitand(r, g(j)));
      end
      next(s + 1, u + 1) = floor(r / 2);
      outputs(s + 1, u + 1) = sum(bits .* 2.^(n-1:-1:0));
    end
  end
  code = struct('K', K, 'G', G, 'F', F, 'n', n, 'next', next, 'outputs', outputs);
end

function v = octal_value(d)
% The binary value of the octal digits of d (133 -> 91), NaN unless d is a non-negative
% integer whose decimal digits are 0..7 (at most six of them).
  v = NaN;
  if ~(isfinite(d) && d >= 0 && d < 1e6 && d == fix(d))
    return;
  end
  digits = sprintf('%d', d) - '0';
  if any(digits > 7)
    return;
  end
  v = sum(digits .* 8.^(numel(digits)-1:-1:0));
end

function p = parity(v)
  p = mod(sum(dec2bin(v, 1) == '1'), 2);
end
