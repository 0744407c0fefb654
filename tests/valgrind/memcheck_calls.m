% SPDX-License-Identifier: BSD-3-Clause
function memcheck_calls(root, mexdir)
% The representative run of scripts/valgrind_octave.sh: every function of
% gateways/mex_functions.txt called on small inputs through each of its option paths at
% least once (outputs asked for in full and in part, warm and cold starts, every thread
% count path of the batch forms, each per-column code, every method, search and option
% of mimo_detect) and through a rejected call (the error path frees what it took), instead
% of the whole Octave suite, which under memcheck takes ten minutes. Memcheck then reports
% any invalid access, use of uninitialised memory or leak in a MEX file.
% Fails (exit status 1) when a call does not behave as stated, so that a run that
% checked nothing is noticed; ends with the line "N passed, 0 failed".
  addpath(mexdir);
  addpath(fullfile(root, 'tests', 'octave'));
  rand('seed', 5); randn('seed', 5);
  names = latbox_functions(root);
  called = {};
  passed = 0; failed = 0;
  steps = paths();
  for k = 1:rows(steps)
    [name, step] = steps{k, :};
    called{end + 1} = name; %#ok<AGROW>
    try
      step();
      passed = passed + 1;
    catch err
      failed = failed + 1;
      printf('FAIL %s (path %d): %s\n', name, k, err.message);
    end
  end
  missing = setdiff(names, called);
  if ~isempty(missing)
    failed = failed + 1;
    printf('FAIL functions without a path here: %s\n', strjoin(missing, ' '));
  end
  set_threads('');
  printf('memcheck_calls: %d paths over %d functions\n', rows(steps), numel(unique(called)));
  printf('%d passed, %d failed\n', passed, failed);
  if failed > 0
    exit(1);
  end
end

function steps = paths()
% {function, path}: each path a function handle that raises an error when it fails.
  n = 6; H = randn(n); [Q, R] = qr(H); s = [1; -2; 0; 3; -1; 2];
  y = R * s + 0.01 * randn(n, 1);
  K = 24; P = 3; S = randi([-3 3], n, K);
  Rp = zeros(n, n, P); Qp = Rp;
  for p = 1:P, [Qp(:,:,p), Rp(:,:,p)] = qr(randn(n)); end
  Y = zeros(n, K);
  for k = 1:K, Y(:, k) = Rp(:,:,ceil(k/(K/P))) * S(:, k) + 0.05 * randn(n, 1); end
  Rt = triu(R);
  yb = Rt * (4 * rand(n, 1) - 2);
  Yb = Rt * (4 * rand(n, K) - 2);
  steps = {
    'zarrow', @() check(isequal(size(zarrow(y, R)), [n 1]));
    'zarrow', @() rejects(@() zarrow(y));
    'tessaly', @() check(all(ismember(tessaly(y, R, 3), [-3 -1 1 3])));
    'tessaly', @() rejects(@() tessaly(y, R, NaN));
    'plinden', @() plinden_paths(y, R);
    'quorvin', @() quorvin_paths(Q, R);
    'morrit', @() check(isequal(morrit([0.5; -2; 2; 0; -0.5], 1)', [0 -2 3 5 4 1 2]));
    'morrit', @() check(isequal(morrit([0; NaN; -1], 0)', [0 -1 -3 2 2]));
    'morrit', @() rejects(@() morrit([], []));
    'kelvane', @() kelvane_paths(yb, Rt);
    'zarrow_batch', @() threads(@() zarrow_batch(Y, Rp));
    'zarrow_batch', @() rejects(@() zarrow_batch(Y(:, 1:5), Rp));
    'tessaly_batch', @() threads(@() tessaly_batch(Y, Rp, 3));
    'tessaly_batch', @() rejects(@() tessaly_batch(Y, Rp(:, 1:2, :), 3));
    'plinden_batch', @() threads(@() plinden_batch(Y, Rp, Inf, -3, 3), 2);
    'plinden_batch', @() plinden_batch_codes();
    'quorvin_batch', @() threads(@() quorvin_batch(Qp, Rp, 0.75), 3);
    'quorvin_batch', @() rejects(@() quorvin_batch(Qp, Rp, 2));
    'morrit_batch', @() threads(@() morrit_batch(Yb, 1));
    'morrit_batch', @() rejects(@() morrit_batch(Yb));
    'kelvane_batch', @() kelvane_batch_paths(Yb, Rt);
    'plinden_llr', @() plinden_llr_paths(Y, Rp);
    'mimo_detect', @() mimo_detect_paths();
    'conv_encode', @() check(isequal(size(conv_encode([1; 0; 1], conv_code(3, [7 5]))), [10 1]));
    'conv_encode', @() rejects(@() conv_encode(2, conv_code(3, [7 5])));
    'conv_decode', @() conv_decode_paths();
    'ambiguity_fix', @() ambiguity_paths();
    'ambiguity_fix_batch', @() threads(@() ambiguity_fix_batch(reshape(0.37 * (1:18), 3, 6), ...
                                                               eye(3) / 4), 3);
    'ambiguity_fix_batch', @() rejects(@() ambiguity_fix_batch(randn(3, 2), -eye(3)));
  };
end

function conv_decode_paths()
  code = conv_code(4, [15 17], 13);                    % recursive systematic
  U = randi([0 1], 40, 3); C = conv_encode(U, code);
  L = 4 * ((1 - 2 * C) + 0.5 * randn(size(C)));
  for method = {'logmap', 'maxlog'}
    set_threads('1');
    [Lu, Lc] = conv_decode(L, code, 'method', method{1}, 'prior', zeros(40, 3), ...
                           'output', 'extrinsic');
    set_threads('');
    [Lu2, Lc2] = conv_decode(L, code, 'method', method{1}, 'prior', zeros(40, 3), ...
                             'output', 'extrinsic');
    check(isequal(Lu, Lu2) && isequal(Lc, Lc2) && isequal(size(Lc), size(C)));
  end
  L(1) = Inf;
  check(all(isfinite(conv_decode(L(1:end-6, :), code, 'terminate', false)(:)) | true));
  rejects(@() conv_decode(NaN(size(C)), code));
end

function ambiguity_paths()
  Q = [6.29 5.978 0.544; 5.978 6.292 2.34; 0.544 2.34 6.288];
  a = [5.45; 3.1; 2.97];
  for method = {'ils', 'bootstrap', 'round', 'par'}
    [afix, sqnorm, info] = ambiguity_fix(a, Q, 'method', method{1});
    check(rows(afix) == 3 && isstruct(info) && ~isempty(sqnorm));
  end
  [afix, sqnorm] = ambiguity_fix(a, Q, 'ncands', 4, 'max_nodes', 3);
  check(rows(afix) == 3 && ~isempty(sqnorm));
  rejects(@() ambiguity_fix(a, -Q));
end

function check(condition)
  if ~condition
    error('a stated result does not hold');
  end
end

function rejects(call)
% The call raises an error (its message path, with every scratch block freed).
  try
    call();
  catch
    return;
  end
  error('a call that should be rejected returned');
end

function threads(call, outputs)
% A batch call on one thread, on three, and with the default rule: the same bits (all
% its outputs, one unless said).
  if nargin < 2, outputs = 1; end
  a = cell(1, outputs); b = a; c = a;
  set_threads('1'); [a{:}] = call();
  set_threads('3'); [b{:}] = call();
  set_threads(''); [c{:}] = call();
  check(isequaln(a, b) && isequaln(a, c));
end

function plinden_paths(y, R)
  [symb, info] = plinden(y, R, Inf, -3, 3);
  check(info == 1 && isequal(symb, round(symb)));
  [~, info] = plinden(y, R, 1e-12, -3, 3);          % nothing within the radius
  check(info == -1);
  [~, info] = plinden(1e12 * ones(2, 1), eye(2), Inf, 0, 3);   % far outside the box
  check(info == 1);
  rejects(@() plinden([1e17; 1e17], eye(2), Inf, -Inf, Inf));   % beyond 2^51
  rejects(@() plinden(y, R, NaN, -3, 3));
end

function quorvin_paths(Q, R)
  [Qo, Ro, Uo] = quorvin(Q, R, 0.75);
  check(norm(Qo * Ro - Q * R * Uo, 1) < 1e-9);
  [~, ~, Uo] = quorvin(Q, R, 1);                    % the cycle guard's path
  check(isequal(Uo, round(Uo)));
  [~, ~, Uo] = quorvin(eye(2), [18 9; 0 -15], 1);
  check(abs(det(Uo)) == 1);
  [~, ~, Uo] = quorvin(Q, R, 0);                    % size reduction only
  check(isequal(Uo, round(Uo)));
  [~, Ro, ~] = quorvin(Q, [R(:, 1:end-1), zeros(rows(R), 1)], NaN);   % rank-deficient
  check(isequal(size(Ro), size(R)));
  rejects(@() quorvin(Q, R, 1.5));
end

function kelvane_paths(y, R)
  n = numel(y);
  [x, ~, passes, status] = kelvane(y, R, 1, zeros(n + 2, 1), 0);     % cold
  check(status == 1 && passes >= 1 && all(abs(x) <= 1));
  x2 = kelvane(y + 0.01, R, 1, morrit(x, 1), 1);                   % warm
  check(all(abs(x2) <= 1));
  x1 = kelvane(y, R, 1, zeros(n + 2, 1), 0);                        % one output
  check(isequal(x1, x));
  check(all(kelvane(y, R, 0, zeros(n + 2, 1), 0) == 0));            % u = 0
  lastwarn('');                                     % the accuracy check's warning
  kelvane([0; 0; 5e-4], [1 1 0; 0 1e-6 1e-6; 0 0 1e-12], 1.6e9, zeros(5, 1), 0);
  [~, id] = lastwarn();
  check(strcmp(id, 'latbox:kelvane:inaccurate'));
  rejects(@() kelvane(y, R, 1, [0; 9; zeros(n - 1, 1); 1], 1));     % a bad index set
  rejects(@() kelvane(y, [R; R], 1, zeros(n + 2, 1), 0));
end

function plinden_batch_codes()
  [S, info] = plinden_batch([0.4 1e17; 1.2 1e17], eye(2), Inf, -Inf, Inf);
  check(isequal(info, [1 0]) && isequaln(S, [0 NaN; 1 NaN]));
  [~, info] = plinden_batch([0.4 0.5; 1.2 0.5], eye(2), [Inf 1e-9], -3, 3);
  check(isequal(info, [1 -1]));
  rejects(@() plinden_batch([0.4; NaN], eye(2), Inf, -3, 3));
end

function kelvane_batch_paths(Y, R)
  n = rows(Y); K = columns(Y);
  cold = @() kelvane_batch(Y, R, 1, zeros(n + 2, 1), 0);
  threads(cold, 3);
  X = cold();
  I = morrit_batch(X + 0.01, 1);
  warm = @() kelvane_batch(Y + 0.01, R, 1, I, [ones(1, K - 1) 0]);   % warm and cold
  threads(warm, 3);
  [~, iterations, status] = kelvane_batch(Y, R, 1, zeros(n + 2, 1), 0);
  check(all(status == 1) && all(iterations >= 1));
  % a column whose free-set Gram matrix breaks down: status -2
  [Xb, ~, status] = kelvane_batch([1 0.1; 1 0.1], [1 1; 0 1e-17], 1e3, zeros(4, 1), 0);
  check(isequal(status, [1 -2]) && all(isnan(Xb(:, 2))));
  rejects(@() kelvane_batch(Y, R, -1, zeros(n + 2, 1), 0));
end

function plinden_llr_paths(Y, R)
  [n, K] = size(Y);
  N0 = 0.5; La = randn(2 * n, K);
  Yp = 2 * round((Y + 3) / 2) - 3;                  % a 4-PAM frame near Y
  threads(@() plinden_llr(Yp, R, 4, N0, 8), 3);
  [L, S, nodes] = plinden_llr(Yp, R, 4, N0, 8, La);  % with priors
  check(isequal(size(L), [2 * n K]) && max(abs(L(:))) <= 8 && all(nodes >= n));
  L0 = plinden_llr(Yp(:, 1:4), R(:, :, 1), 4, N0, 0);              % clip 0
  check(all(L0(:) == 0));
  Linf = plinden_llr(Yp(1:3, 1:4), R(1:3, 1:3, 1), [2 4 8], N0 * ones(1, 4), Inf);
  check(isequal(size(Linf), [6 4]) && all(isfinite(Linf(:))));   % mixed M, N0 per column
  rejects(@() plinden_llr(1e300 * ones(2, 1), 1e-300 * eye(2), 4, 1e-300, 8));  % overflow
  [L, ~, ~, Le] = plinden_llr(Yp(:, 1:4), R(:, :, 1), 4, N0, 8, 30 * ones(2 * n, 4));
  check(max(abs(Le(:))) <= 8 && max(abs(L(:))) <= 8);             % the extrinsic output
  rejects(@() plinden_llr(Yp, R, 3, N0, 8));
end

function mimo_detect_paths()
  q = [-3 -1 1 3]; [re, im] = meshgrid(q, q);
  qam16 = (re(:) + 1i*im(:)) / sqrt(10);
  g = [0 0; 0 1; 1 1; 1 0]; [jr, ji] = meshgrid(1:4, 1:4);
  gray16 = [g(jr(:), :), g(ji(:), :)];
  psk8 = exp(2i*pi*(0:7)'/8);
  nt = 3; nr = 4; K = 16; P = 4;
  H = complex(randn(nr, nt, P), randn(nr, nt, P)) / sqrt(2);
  for c = {{qam16, gray16, 'real'}, {psk8, [], 'complex'}}
    [const, bits, search] = c{1}{:};
    M = numel(const); B = log2(M);
    sent = randi(M, nt, K); Y = zeros(nr, K);
    for k = 1:K, Y(:, k) = H(:, :, ceil(k / (K/P))) * const(sent(:, k)); end
    Y = Y + 0.1 * complex(randn(nr, K), randn(nr, K));
    La = randn(nt * B, K);
    for method = {'maxlog', 'app', 'ml', 'kbest', 'mmse', 'zf', 'sic', 'lr', 'mmse-pic', 'ep'}
      if any(strcmp(method{1}, {'lr', 'ep'})) && strcmp(search, 'complex'), continue; end
      qr = ~any(strcmp(method{1}, {'mmse', 'zf', 'mmse-pic', 'ep'}));
      for ordering = {'sqrd', 'none'}
        extra = {};
        if qr, extra = {'ordering', ordering{1}}; end
        set_threads('1');
        [llr, idx, info] = mimo_detect(Y, H, 0.05, const, bits, method{1}, extra{:}, 'clip', 10);
        set_threads('');
        [llr2, idx2] = mimo_detect(Y, H, 0.05, const, bits, method{1}, extra{:}, 'clip', 10);
        check(isequal(llr, llr2) && isequal(idx, idx2) && isequal(size(llr), [nt * B K]));
        check(max(abs(llr(:))) <= 10 && isstruct(info));
      end
    end
    llr = mimo_detect(Y, H, 0.05 * ones(1, K), const, bits, 'maxlog', 'prior', La, 'clip', Inf);
    check(all(isfinite(llr(:))));
    llr = mimo_detect(Y, H, 0.05, const, bits, 'kbest', 'K', 4, 'prior', La);
    check(max(abs(llr(:))) <= 20);
    La(1) = Inf;
    for method = {'maxlog', 'app', 'kbest', 'mmse', 'zf', 'mmse-pic'}
      llr = mimo_detect(Y, H, 0.05, const, bits, method{1}, 'prior', La, 'output', 'extrinsic');
      check(all(abs(llr(:)) <= 20));
    end
    llr = mimo_detect(Y, H, 0.05, const, bits, 'kbest', 'K', 2, 'fill', 'clip');
    check(max(abs(llr(:))) <= 20);
  end
  Yr = randn(3, 8); Hr = randn(3, 2);                 % the real model
  [llr, idx] = mimo_detect(Yr, Hr, 0.5, [-3; -1; 1; 3], g, 'maxlog');
  check(isequal(size(llr), [4 8]) && isequal(size(idx), [2 8]));
  rejects(@() mimo_detect(Yr, Hr, 0.5, [-3; -1; 1; 3], g, 'nomethod'));
  rejects(@() mimo_detect(Yr, Hr, 0, [-3; -1; 1; 3], g, 'maxlog'));
  rejects(@() mimo_detect(1e300 * ones(3, 1), 1e-300 * Hr, 1e-300, [-3; -1; 1; 3], g, 'maxlog'));
end
