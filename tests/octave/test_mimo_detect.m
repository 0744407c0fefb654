% SPDX-License-Identifier: BSD-3-Clause
function test_mimo_detect()
% mimo_detect end to end: maxlog against enumeration over const^Nt, ml the least
% distance, mmse and zf against their formulas, noise-free frames, messages.
  rand('seed', 17); randn('seed', 17);
  q = [-3 -1 1 3]; [re, im] = meshgrid(q, q);
  qam16 = (re(:) + 1i*im(:)) / sqrt(10);
  g = [0 0; 0 1; 1 1; 1 0];
  [jr, ji] = meshgrid(1:4, 1:4);
  gray16 = [g(jr(:), :), g(ji(:), :)];
  qpsk = [1+1i; -1+1i; 1-1i; -1-1i] / sqrt(2);
  psk8 = exp(2i*pi*(0:7)'/8);
  cases = {
    % const, bits, complex model, Nt, Nr
    qpsk, [], true, 2, 2;
    qam16, gray16, true, 2, 3;
    qam16, [], true, 1, 2;
    psk8, [], true, 2, 2;
    [-3; -1; 1; 3], [0 0; 0 1; 1 1; 1 0], false, 3, 3;
    [-1; 1], [], false, 2, 3;
  };
  for c = 1:rows(cases)
    [const, bits, cplx, nt, nr] = cases{c, :};
    M = numel(const); B = log2(M);
    ref = {[], []}; ref_ml = []; dmin = []; want = [];
    if isempty(bits), bits = dec2bin(0:M-1, B) - '0'; end
    P = 3; K = 6;
    if cplx
      H = (randn(nr, nt, P) + 1i*randn(nr, nt, P)) / sqrt(2);
      W = (randn(nr, K) + 1i*randn(nr, K)) * 0.4;
    else
      H = randn(nr, nt, P); W = randn(nr, K) * 0.5;
    end
    sent = randi(M, nt, K);
    Y = zeros(nr, K);
    for k = 1:K
      Y(:, k) = H(:, :, ceil(k/(K/P))) * const(sent(:, k)) + W(:, k);
    end
    N0 = 0.3 + rand(1, K);
    La = randn(nt*B, K);
    % enumeration over const^Nt
    X = cell(1, nt); [X{:}] = ndgrid(1:M); X = reshape(cat(nt+1, X{:}), [], nt)';
    lab = zeros(nt*B, columns(X));
    for t = 1:nt, lab((t-1)*B+(1:B), :) = bits(X(t, :), :)'; end
    for k = 1:K
      Hk = H(:, :, ceil(k/(K/P)));
      d = sum(abs(Y(:, k) - Hk * reshape(const(X), size(X))).^2, 1);
      for with_prior = [false true]
        m = d / N0(k);
        if with_prior, m = m + La(:, k)' * lab; end
        L = zeros(nt*B, 1);
        for b = 1:nt*B
          L(b) = min(m(lab(b, :) == 1)) - min(m(lab(b, :) == 0));
        end
        ref{with_prior + 1}(:, k) = L;
      end
      [~, best] = min(d); ref_ml(:, k) = X(:, best); dmin(k) = d(best);
    end
    for clip = [Inf 2]
      l = mimo_detect(Y, H, N0, const, bits, 'maxlog', 'clip', clip);
      check_close(l, max(-clip, min(clip, ref{1})), sprintf('case %d maxlog clip %g', c, clip));
      l = mimo_detect(Y, H, N0, const, bits, 'maxlog', 'clip', clip, 'prior', La);
      check_close(l, max(-clip, min(clip, ref{2})), sprintf('case %d prior clip %g', c, clip));
      l = mimo_detect(Y, H, N0, const, bits, 'kbest', 'clip', clip, 'K', M^nt);
      check_close(l, max(-clip, min(clip, ref{1})), sprintf('case %d kbest clip %g', c, clip));
    end
    [l, idx] = mimo_detect(Y, H, N0, const, bits, 'ml', 'ordering', 'none');
    for k = 1:K
      Hk = H(:, :, ceil(k/(K/P)));
      dk = sum(abs(Y(:, k) - Hk * const(idx(:, k))).^2);
      assert(dk <= dmin(k) * (1 + 1e-10) + 1e-12, sprintf('case %d ml column %d', c, k));
      expect_equal(l(:, k) < 0, reshape(bits(idx(:, k), :)', [], 1) == 1, 'ml bits');
    end
    % the linear methods against their formulas
    Es = mean(abs(const).^2);
    for method = {'mmse', 'zf'}
      l = mimo_detect(Y, H, N0, const, bits, method{1}, 'clip', Inf);
      for k = 1:K
        Hk = H(:, :, ceil(k/(K/P)));
        if strcmp(method{1}, 'mmse')
          s = N0(k) / Es; if ~cplx, s = N0(k) / (2*Es); end
          G = (Hk'*Hk + s*eye(nt)) \ Hk';
          mu = real(diag(G*Hk)); z = (G*Y(:, k)) ./ mu;
          n0t = Es*(1 - mu)./mu; if ~cplx, n0t = 2*n0t; end
        else
          G = (Hk'*Hk) \ Hk'; z = G*Y(:, k);
          n0t = N0(k) * real(diag(inv(Hk'*Hk)));
        end
        for t = 1:nt
          m = abs(z(t) - const.').^2 / n0t(t);
          for b = 1:B
            want((t-1)*B + b, 1) = min(m(bits(:, b) == 1)) - min(m(bits(:, b) == 0));
          end
        end
        check_close(l(:, k), want, sprintf('case %d %s column %d', c, method{1}, k));
      end
    end
    % noise-free frames are recovered by every method
    Y0 = zeros(nr, K);
    for k = 1:K, Y0(:, k) = H(:, :, ceil(k/(K/P))) * const(sent(:, k)); end
    for method = {'maxlog', 'ml', 'kbest', 'mmse', 'zf', 'sic', 'lr'}
      if strcmp(method{1}, 'lr') && c == 4, continue; end
      [l, idx] = mimo_detect(Y0, H, 1e-3, const, bits, method{1});
      expect_equal(idx, sent, sprintf('case %d noise-free %s', c, method{1}));
    end
  end

  % info, ordering, the one-channel form
  H = (randn(2, 2) + 1i*randn(2, 2)); Y = H * qpsk(randi(4, 2, 5));
  [l1, i1, info] = mimo_detect(Y, H, 0.1, qpsk, [], 'maxlog');
  [l2, i2] = mimo_detect(Y, H, 0.1, qpsk, [], 'maxlog', 'ordering', 'none');
  check_close(l1, l2, 'ordering');
  expect_equal(i1, i2, 'ordering idx');
  assert(strcmp(info.method, 'maxlog') && isequal(size(info.nodes), [1 5]));
  assert(strcmp(info.search, 'real'));
  [~, ~, info] = mimo_detect(Y, H, 0.1, psk8, [], 'maxlog');
  assert(strcmp(info.search, 'complex'));

  % messages
  f = @(varargin) mimo_detect(Y, H, 0.1, qpsk, [], varargin{:});
  expect_error(@() f('foo'), ...
    "mimo_detect: method must be 'maxlog', 'app', 'ml', 'kbest', 'mmse', 'zf', 'sic', 'lr', 'mmse-pic' or 'ep'");
  expect_error(@() f('maxlog', 'radius', 3), ...
    "mimo_detect: unknown option 'radius' (known: clip, prior, output, tol, K, fill, ordering, iterations, damping)");
  expect_error(@() mimo_detect(Y, H, 0, qpsk, [], 'ml'), 'mimo_detect: N0 must be positive and finite');
  expect_error(@() mimo_detect(Y, H, 0.1, [qpsk; 0], [], 'ml'), ...
    'mimo_detect: const must have M points, M a power of two from 2 to 256');
  expect_error(@() mimo_detect(Y, H, 0.1, qpsk, [0 0; 0 1; 0 1; 1 1], 'ml'), ...
    'mimo_detect: bits must give every point a different label (distinct rows)');
  Yn = Y; Yn(2, 3) = NaN;
  expect_error(@() mimo_detect(Yn, H, 0.1, qpsk, [], 'ml'), ...
    'mimo_detect: Y column 3 must not contain NaN or Inf');
  expect_error(@() mimo_detect(Y(1, :), H(1, :), 0.1, qpsk, [], 'ml'), ...
    "mimo_detect: H must have at least as many rows as columns (Nr >= Nt) for 'ml'");
  expect_error(@() mimo_detect(Y, cat(3, H, [H(:, 1) H(:, 1)]), 0.1, qpsk, [], 'ml'), ...
    'mimo_detect: Y must have a number of columns that is a multiple of the pages of H');
  expect_error(@() mimo_detect([Y Y(:, 1)], cat(3, H, [H(:, 1) [0; 0]]), 0.1, qpsk, [], 'ml'), ...
    'mimo_detect: H page 2 must have full column rank');
  expect_error(@() mimo_detect(Y, H, 0.1, psk8, [], 'lr'), ...
    "mimo_detect: const must be square QAM or PAM on a uniform grid for 'lr'");

  % the identifiers callers catch by, and the message as it was
  try
    mimo_detect(Yn, H, 0.1, qpsk, [], 'ml');
    error('no error');
  catch err
    assert(strcmp(err.identifier, 'latbox:mimo_detect:Y'), err.identifier);
  end
  try
    mimo_detect(1e200 * Y, H, 0.1, psk8, [], 'kbest');
    error('no error');
  catch err
    assert(strcmp(err.identifier, 'latbox:mimo_detect:overflow'), err.identifier);
    assert(strcmp(err.message, 'mimo_detect: Y column 1 is too large for H: it overflows'), ...
           err.message);
  end

  % 64-PAM in the real model: noise-free vectors come back from every method
  pam = (-63:2:63)';
  Hr = randn(2, 2, 3); sent = randi(64, 2, 12); Yr = zeros(2, 12);
  for k = 1:12
    Yr(:, k) = Hr(:, :, ceil(k / 4)) * pam(sent(:, k));
  end
  for m = {'maxlog', 'ml', 'kbest', 'mmse', 'zf', 'sic', 'lr'}
    [~, idx] = mimo_detect(Yr, Hr, 1e-3, pam, [], m{1});
    assert(isequal(idx, sent), [m{1} ': 64-PAM']);
  end
  % a complex constellation means the complex model though Y and H are stored as real
  [l1, i1] = mimo_detect(real(Y), real(H), 0.1, qpsk, [], 'maxlog');
  [l2, i2] = mimo_detect(complex(real(Y)), complex(real(H)), 0.1, qpsk, [], 'maxlog');
  assert(isequal(l1, l2) && isequal(i1, i2), 'complex constellation, real Y and H');
  % known bits and an int32 K
  La = zeros(4, size(Y, 2)); La(1, :) = Inf;
  l3 = mimo_detect(Y, H, 0.1, qpsk, [], 'kbest', 'prior', La, 'K', int32(4), 'clip', 7);
  assert(all(l3(1, :) == 7), 'a known bit');
  % the methods for iterative receivers: 'app' within its tol of the log-MAP sum, 'mmse-pic'
  % without priors as 'mmse', 'ep' with priors and the extrinsic output
  c4 = [-3 -1 1 3]; [re4, im4] = meshgrid(c4, c4); q16 = (re4(:) + 1i*im4(:)) / sqrt(10);
  Hq = (randn(2, 2) + 1i*randn(2, 2)) / sqrt(2); Yq = Hq * q16(randi(16, 2, 6)) + 0.3 * randn(2, 6);
  la = app_enumerated(Yq, Hq, 0.2, q16);
  [lq, ~, iq] = mimo_detect(Yq, Hq, 0.2, q16, [], 'app', 'clip', Inf);
  check_close(lq, la, 'app');
  assert(strcmp(iq.method, 'app') && numel(iq.nodes) == 6, 'app info');
  check_close(mimo_detect(Yq, Hq, 0.2, q16, [], 'mmse-pic'), mimo_detect(Yq, Hq, 0.2, q16, [], 'mmse'), 'mmse-pic');
  pr = 2 * randn(8, 6);
  le = mimo_detect(Yq, Hq, 0.2, q16, [], 'ep', 'prior', pr, 'output', 'extrinsic', 'iterations', 5);
  assert(all(isfinite(le(:))) && all(abs(le(:)) <= 20), 'ep');
  expect_error(@() mimo_detect(Yq, Hq, 0.2, q16, [], 'ep', 'damping', 1), ...
    'mimo_detect: damping must be in [0, 1)');
end

function L = app_enumerated(Y, H, N0, const)
% log-MAP LLRs of natural labels by enumeration over const^2
  M = numel(const); nb = log2(M);
  [a, b] = ndgrid(1:M, 1:M); X = [const(a(:)) const(b(:))].';
  bits = [dec2bin(a(:) - 1, nb) - '0', dec2bin(b(:) - 1, nb) - '0'];
  L = zeros(2 * nb, columns(Y));
  for k = 1:columns(Y)
    m = sum(abs(Y(:, k) - H * X).^2, 1)' / N0;
    for j = 1:2 * nb
      m0 = m(bits(:, j) == 0); m1 = m(bits(:, j) == 1);
      L(j, k) = (-min(m0) + log(sum(exp(min(m0) - m0)))) - (-min(m1) + log(sum(exp(min(m1) - m1))));
    end
  end
end

function check_close(got, want, what)
  if ~isequal(size(got), size(want)) || any(abs(got(:) - want(:)) > 1e-8 * (1 + abs(want(:))))
    error('%s: got [%s], want [%s]', what, num2str(got(:)', 10), num2str(want(:)', 10));
  end
end
