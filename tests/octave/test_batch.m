% SPDX-License-Identifier: BSD-3-Clause
function test_batch()
% The batch forms inside Octave: every column (every page for quorvin_batch) equals the
% single function's result on it bit for bit, for each thread setting and channel layout;
% the per-column codes where the single function raises an error; messages as Octave
% shows them.
  old = getenv('LATBOX_NUM_THREADS');
  restore = onCleanup(@() set_threads(old));
  randn('seed', 21); rand('seed', 21);
  %        n    K    P
  shapes = [6  240   1;      % one channel
            5   40  40;      % one channel per column
            7   90   6;      % block fading, 15 vectors per channel
            4    1   1;
            3    0   1;
            0    5   5];
  forms = batch_forms();
  for i = 1:rows(shapes)
    d = random_frame(shapes(i, 1), shapes(i, 2), shapes(i, 3));
    for f = 1:rows(forms)
      if ~forms{f, 4}(d)
        continue;
      end
      want = forms{f, 3}(d);
      for threads = {'', '1', '3'}
        set_threads(threads{1});
        expect_same(forms{f, 2}(d), want, sprintf('%s, n %d K %d P %d, LATBOX_NUM_THREADS ''%s''', ...
                                                  forms{f, 1}, d.n, d.K, d.P, threads{1}));
      end
    end
  end
  set_threads(old);
  per_column_codes(forms);
  messages();
end

function forms = batch_forms()
% {name, batch call, loop of single calls, applies to a frame}: each call returns its
% outputs in a cell. The loops map the single function's per-column errors to the codes.
  always = @(d) true;
  forms = {
    'zarrow_batch',  @(d) {zarrow_batch(d.Y, d.R)},                   @zarrow_loop,  always;
    'tessaly_batch', @(d) {tessaly_batch(d.Y, d.R, d.u_pam)},         @tessaly_loop, always;
    'plinden_batch', @plinden_call,                                   @plinden_loop, always;
    'quorvin_batch', @quorvin_call,                                   @quorvin_loop, always;
    'morrit_batch',  @(d) {morrit_batch(d.X, d.bound)},               @morrit_loop,  always;
    'kelvane_batch', @kelvane_call,                                   @kelvane_loop, always;
    'kelvane_batch, one index set', @kelvane_shared_call,             @kelvane_shared_loop, @(d) d.K > 0;
  };
end

% A frame of K columns with n rows on P channel pages, and the other arguments of every form.
function d = random_frame(n, K, P)
  R = zeros(n, n, P);
  for p = 1:P
    % upper triangular, diagonal magnitudes in [0.5, 2.5] with random signs
    R(:, :, p) = triu(2 * rand(n) - 1, 1) + diag((1.5 + (2 * rand(n, 1) - 1)) .* sign(randn(n, 1)));
  end
  d = frame(4 * (2 * rand(n, K) - 1), R);
  d.radius = Inf(1, K);
  d.radius(2:2:end) = 0.4 * rand(1, floor(K / 2));   % some searches find nothing
  d.X = 1.5 * randn(n, K);
  d.X(rand(n, K) < 0.1) = 1;                          % on a bound exactly
  d.X(rand(n, K) < 0.05) = NaN;
  for k = 1:K
    d.starts(:, k) = morrit(d.X(:, k), d.u);
  end
  d.use_start = repmat([1 0 0.4 -1], 1, ceil(K / 4))(1:K);
  d.Q = randn(n + 1, n, P);
end

% The fields that every form reads, with defaults for the per-form arguments.
function d = frame(Y, R)
  [d.n, d.K] = size(Y);
  d.P = size(R, 3);
  d.Y = Y; d.R = R;
  d.page = ceil((1:d.K) / (d.K / d.P));
  d.u_pam = 3.7; d.radius = Inf; d.lb = -2; d.ub = 3;
  d.X = Y; d.bound = 1; d.Q = eye(d.n); d.delta = 0.99;
  d.u = 1; d.starts = zeros(d.n + 2, d.K); d.use_start = zeros(1, d.K);
end

function out = zarrow_loop(d)
  out = {zeros(d.n, d.K)};
  for k = 1:d.K
    out{1}(:, k) = zarrow(d.Y(:, k), d.R(:, :, d.page(k)));
  end
end

function out = tessaly_loop(d)
  out = {zeros(d.n, d.K)};
  for k = 1:d.K
    out{1}(:, k) = tessaly(d.Y(:, k), d.R(:, :, d.page(k)), d.u_pam);
  end
end

function out = plinden_call(d)
  [S, info] = plinden_batch(d.Y, d.R, d.radius, d.lb, d.ub);
  out = {S, info};
end

function out = plinden_loop(d)
  out = {zeros(d.n, d.K), zeros(1, d.K)};
  radius = d.radius .* ones(1, d.K);
  for k = 1:d.K
    try
      [out{1}(:, k), out{2}(k)] = plinden(d.Y(:, k), d.R(:, :, d.page(k)), radius(k), d.lb, d.ub);
    catch err
      expect_equal(err.message, 'plinden: y is too large for R: the search would need integers beyond 2^51', ...
                   'plinden error');
      out{1}(:, k) = NaN;   % info 0
    end
  end
end

% quorvin_batch works on pages: the frame's P pages of R with Q of n+1 rows.
function out = quorvin_call(d)
  [Qo, Ro, Uo] = quorvin_batch(d.Q, d.R, d.delta);
  out = {Qo, Ro, Uo};
end

function out = quorvin_loop(d)
  out = {zeros(size(d.Q)), zeros(size(d.R)), zeros(size(d.R))};
  for p = 1:d.P
    [out{1}(:, :, p), out{2}(:, :, p), out{3}(:, :, p)] = quorvin(d.Q(:, :, p), d.R(:, :, p), d.delta);
  end
end

function out = morrit_loop(d)
  out = {zeros(d.n + 2, size(d.X, 2))};
  for k = 1:size(d.X, 2)
    out{1}(:, k) = morrit(d.X(:, k), d.bound);
  end
end

function out = kelvane_call(d)
  [X, iterations, status] = kelvane_batch(d.Y, d.R, d.u, d.starts, d.use_start);
  out = {X, iterations, status};
end

function out = kelvane_loop(d)
  out = {zeros(d.n, d.K), zeros(1, d.K), zeros(1, d.K)};
  use_start = d.use_start .* ones(1, d.K);
  for k = 1:d.K
    start = d.starts(:, min(k, end));
    try
      [out{1}(:, k), ~, out{2}(k), out{3}(k)] = ...
          kelvane(d.Y(:, k), d.R(:, :, d.page(k)), d.u, start, use_start(k));
    catch err
      % the free-set Gram matrix cannot be formed or breaks down: status -2
      if ~any(strcmp(err.message, {'kelvane: Cannot compute Chol decomposition of H''*H.', ...
                                   'kelvane: Cannot compute the pseudoinverse.', ...
                                   ['kelvane: R is too ill-conditioned: the free-set Gram ' ...
                                    'matrix is numerically singular']}))
        error('kelvane column %d: unexpected error "%s"', k, err.message);
      end
      out{1}(:, k) = NaN;
      out{3}(k) = -2;
    end
  end
end

% One index set, the first column's, for every column, and every column warm.
function d = shared_start(d)
  d.starts = d.starts(:, 1);
  d.use_start = 1;
end
function out = kelvane_shared_call(d)
  out = kelvane_call(shared_start(d));
end
function out = kelvane_shared_loop(d)
  out = kelvane_loop(shared_start(d));
end

function per_column_codes(forms)
% Columns on which the single function raises an error: the batch call returns normally,
% marks them and leaves the other columns as the single calls give them.
  loop = @(name) forms{strcmp(forms(:, 1), name), 3};
  call = @(name) forms{strcmp(forms(:, 1), name), 2};
  % no box and y = 1e17 on R = I: integers beyond 2^51
  d = frame([0.4 1e17 2.6; 1.2 1e17 -0.7], eye(2));
  d.lb = -Inf; d.ub = Inf;
  expect_error(@() call_with_outputs(@plinden, 2, d.Y(:, 2), d.R, Inf, -Inf, Inf), ...
               'plinden: y is too large for R: the search would need integers beyond 2^51');
  got = call('plinden_batch')(d);
  expect_equal(got{2}, [1 0 1], 'plinden_batch info');
  expect_same(got, loop('plinden_batch')(d), 'plinden_batch, a column beyond 2^51');
  % R(1,1) = 1e-300 with u = 1e48: the free-set solve overflows and the Gram matrix breaks
  % down (kelvane raises an error); page 2 is an ordinary channel
  d = frame([3 0.4 3 -2; -1 1 -1 0.5], cat(3, [1e-300 0.5; 0 2], [1 0.5; 0 2]));
  d.u = 1e48;
  expect_error(@() kelvane(d.Y(:, 1), d.R(:, :, 1), d.u, zeros(4, 1), 0), ...
               'kelvane: R is too ill-conditioned: the free-set Gram matrix is numerically singular');
  got = call('kelvane_batch')(d);
  expect_equal(got{3}(1), -2, 'kelvane_batch status of the ill column');
  expect_equal(got{3}(3:4), [1 1], 'kelvane_batch status of the good columns');
  expect_same(got, loop('kelvane_batch')(d), 'kelvane_batch, an ill page');
  % the pass cap: status -1 and iterations 0, as kelvane
  d = frame([-1 3; -1 0.5], eye(2));
  d.u = 0; d.starts = [0 0; 1 0; 2 0; 2 0]; d.use_start = [1 0];
  got = call('kelvane_batch')(d);
  expect_equal([got{2}; got{3}], [0 3; -1 1], 'kelvane_batch at the pass cap');
  expect_same(got, loop('kelvane_batch')(d), 'kelvane_batch at the pass cap');
  % a cold column's index set is not read
  d = frame([1 2; 1 2], eye(2));
  d.starts = [0 0; 2 1; 2 2; 0 0]; d.use_start = [0 1];
  expect_same(call('kelvane_batch')(d), loop('kelvane_batch')(d), 'kelvane_batch, unread index set');
end

function messages()
% Messages as Octave shows them (all of them: the C++ gateway tests).
  R2 = cat(3, eye(2), [1 0; 1 1]);
  cases = {
    @zarrow_batch,  1, {ones(2, 4), ones(2, 3)}, 'zarrow_batch: R must be square';
    @zarrow_batch,  1, {ones(2, 4), ones(2, 2, 3)}, ...
      'zarrow_batch: Y must have a number of columns that is a multiple of the pages of R';
    @zarrow_batch,  0, {ones(2, 4), eye(2)}, 'zarrow_batch: USAGE: S=zarrow_batch(Y,R)';
    @tessaly_batch, 1, {ones(3, 4), eye(2), 3}, ...
      'tessaly_batch: Y must have as many rows as R has columns (one column per vector)';
    @tessaly_batch, 1, {ones(2, 4), eye(2), NaN}, 'tessaly_batch: u must be a number of magnitude below 2^31';
    @quorvin_batch, 3, {ones(3, 2, 2), ones(2, 2, 3), 0.75}, 'quorvin_batch: Check the size of input matrices';
    @quorvin_batch, 3, {ones(3, 2, 2), ones(2, 2, 2), 1.5}, 'quorvin_batch: delta must not be greater than 1';
    @morrit_batch,  2, {ones(2, 4), 1}, 'morrit_batch: USAGE: I=morrit_batch(X,bound)';
    @morrit_batch,  1, {ones(2, 2, 2), 1}, 'morrit_batch: X must be a matrix (one column per point)';
    @kelvane_batch, 1, {[1 1; NaN 1], eye(2), 1, zeros(4, 1), 0}, ...
      'kelvane_batch: Y column 1 must not contain NaN or Inf';
    @kelvane_batch, 1, {ones(2, 2), R2, 1, zeros(4, 1), 0}, ...
      'kelvane_batch: R page 2 must be upper triangular (zeros below the diagonal)';
    @kelvane_batch, 1, {ones(2, 3), eye(2), 1, [zeros(4, 2), [0; 2; 2; 0]], [0 0 1]}, ...
      'kelvane_batch: index_sets column 3 must name each variable only once';
    @kelvane_batch, 1, {ones(2, 3), eye(2), 1, zeros(4, 1), [0 NaN 0]}, ...
      'kelvane_batch: use_start column 2 must be a finite number';
    @kelvane_batch, 1, {ones(2, 3), eye(2), 1, [0; 1; 2; -1], 1}, ...
      'kelvane_batch: Too many active variables in BVLS starting solution!';
    @kelvane_batch, 1, {ones(2, 3), eye(2), 1, zeros(4, 2), 0}, ...
      'kelvane_batch: index_sets must be (n+2)-by-K, or (n+2)-by-1 for every column';
    @plinden_batch, 2, {[1 NaN; 1 1], eye(2), Inf, -3, 3}, ...
      'plinden_batch: Y column 2 must not contain NaN or Inf';
    @plinden_batch, 2, {ones(2, 2), cat(3, eye(2), [1 0; 0 0]), Inf, -3, 3}, ...
      'plinden_batch: R page 2 must not have a zero on the diagonal';
    @plinden_batch, 2, {ones(2, 3), eye(2), [1 NaN 1], -3, 3}, 'plinden_batch: radius column 2 must not be NaN';
    @plinden_batch, 1, {ones(2, 3), eye(2), Inf, -3, 3}, ...
      'plinden_batch: USAGE: [S,info]=plinden_batch(Y,R,radius,lb,ub)';
  };
  for i = 1:rows(cases)
    expect_error(@() call_with_outputs(cases{i, 1}, cases{i, 2}, cases{i, 3}{:}), cases{i, 4});
  end
end

% The outputs equal in size, value and bits (NaN and -0 included).
function expect_same(got, want, what)
  for o = 1:numel(want)
    a = got{o}; b = want{o};
    if ~isequal(size(a), size(b))
      error('%s, output %d: size %s, the single calls give %s', what, o, mat2str(size(a)), ...
            mat2str(size(b)));
    end
    differ = typecast(a(:), 'uint64') ~= typecast(b(:), 'uint64');
    if any(differ) || ~isequaln(a, b)
      i = find(differ, 1);
      error('%s, output %d: element %d is %.17g, the single calls give %.17g', what, o, i, a(i), b(i));
    end
  end
end
