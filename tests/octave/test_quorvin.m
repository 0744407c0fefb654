% SPDX-License-Identifier: BSD-3-Clause
function test_quorvin()
% quorvin end to end: the worked reductions, the identities on a random basis, messages.
  usage = 'quorvin: USAGE: [Qo,Ro,Uo]=quorvin(Q,R,delta)';
  % [1 0.4; 0 0.5], delta 0.75: one exchange, then one size reduction
  [Qo, Ro, Uo] = quorvin(eye(2), [1 0.4; 0 0.5], 0.75);
  a = 0.4; b = 0.5; r = sqrt(a*a + b*b); c = a/r; s = b/r;
  expect_equal(Uo, [0 1; 1 -1], 'Uo');
  expect_equal(Qo, [c -s; s c], 'Qo');
  expect_equal(Ro, [c*a + s*b, c - (c*a + s*b); c*b - s*a, -s], 'Ro');
  % halves, the strict test, n = 1 and n = 0, the rank-deficient case
  [~, Ro, Uo] = quorvin(eye(2), [2 1; 0 3], 0.75);
  expect_equal({Ro, Uo}, {[2 -1; 0 3], [1 -1; 0 1]}, 'half up');
  [~, Ro, Uo] = quorvin(eye(2), [2 -1; 0 3], 0.75);
  expect_equal({Ro, Uo}, {[2 -1; 0 3], eye(2)}, 'half down');
  [Qo, Ro, Uo] = quorvin(eye(2), eye(2), 1);
  expect_equal({Qo, Ro, Uo}, {eye(2), eye(2), eye(2)}, 'strict');
  [Qo, Ro, Uo] = quorvin([1; 2; 3], -4, 0.75);
  expect_equal({Qo, Ro, Uo}, {[1; 2; 3], -4, 1}, 'n = 1');
  [Qo, Ro, Uo] = quorvin(zeros(3, 0), [], 0.75);
  expect_equal({size(Qo), size(Ro), size(Uo)}, {[3 0], [0 0], [0 0]}, 'n = 0');
  [Qo, Ro, Uo] = quorvin(eye(2), [1 1; 0 0], 0.75);
  expect_equal({all(isnan([Qo(:); Ro(:)])), Uo}, {true, [-1 1; 1 0]}, 'rank-deficient');
  % a delta = 1 input on which the exchanges would cycle forever ends reduced
  [~, Ro, Uo] = quorvin(eye(2), [18 9; 0 -15], 1);
  expect_equal(abs(round(det(Uo))), 1, 'cycle det');
  if Ro(1,1)^2 > (Ro(1,2)^2 + Ro(2,2)^2) * (1 + 1e-14), error('cycle: not reduced'); end
  % a random integer basis: Qo*Ro = B*Uo, B*Uo integral and LLL-reduced, Uo unimodular
  rand('seed', 3);
  B = round(200 * rand(12, 10) - 100);
  [Q, R] = qr(B, 0);
  [Qo, Ro, Uo] = quorvin(Q, R, 0.99);
  if norm(Qo*Ro - B*Uo, 'fro') > 1e-10 * norm(B, 'fro') * norm(Uo, 'fro'), error('identity'); end
  expect_equal(abs(det(Uo)) - 1 < 1e-6 && all(Uo(:) == round(Uo(:))), true, 'unimodular');
  if norm(Qo'*Qo - eye(10)) > 1e-12, error('Qo not orthonormal'); end
  for k = 2:10
    if abs(Ro(k-1, k) / Ro(k-1, k-1)) > 0.5 + 1e-9, error('size reduction at %d', k); end
    if 0.99 * Ro(k-1,k-1)^2 > (Ro(k-1,k)^2 + Ro(k,k)^2) * (1 + 1e-9), error('Lovasz at %d', k); end
  end
  % messages
  q = @(nout, varargin) call_with_outputs(@quorvin, nout, varargin{:});
  sizes = 'quorvin: Check the size of input matrices';
  expect_error(@() q(0, eye(2), eye(2), 0.75), usage);
  expect_error(@() q(2, eye(2), eye(2), 0.75), usage);
  expect_error(@() q(4, eye(2), eye(2), 0.75), usage);
  expect_error(@() q(3, eye(2), eye(2)), usage);
  expect_error(@() q(3, eye(2), eye(2), 0.75, 1), usage);
  expect_error(@() q(3, ones(2, 3), eye(3), 0.75), sizes);
  expect_error(@() q(3, eye(2), ones(2, 3), 0.75), sizes);
  expect_error(@() q(3, ones(3, 2), eye(3), 0.75), sizes);
  expect_error(@() q(3, eye(2), eye(2), 1.5), 'quorvin: delta must not be greater than 1');
  expect_error(@() q(3, eye(2), eye(2), Inf), 'quorvin: delta must not be greater than 1');
  expect_error(@() q(3, eye(2), eye(2), []), 'quorvin: delta must not be empty');
  expect_error(@() q(3, int32(eye(2)), eye(2), 0.75), 'quorvin: Q must be a real double array');
  expect_error(@() q(3, complex(eye(2)), eye(2), 0.75), 'quorvin: Q must be a real double array');
  expect_error(@() q(3, eye(2), single(eye(2)), 0.75), 'quorvin: R must be a real double array');
  expect_error(@() q(3, eye(2), sparse(eye(2)), 0.75), 'quorvin: R must be a real double array');
  expect_error(@() q(3, eye(2), eye(2), true), 'quorvin: delta must be a real double array');
end
