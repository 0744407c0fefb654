% SPDX-License-Identifier: BSD-3-Clause
function package_smoke(root, mode, results_file)
% The installed package, in a fresh session after pkg load latbox (mode 'package'):
%   - every function of gateways/mex_functions.txt runs its MEX file from the package's
%     architecture folder, and help shows the text of its help file;
%   - known answers of the single functions, and each batch form equal to a loop of its
%     single function bit for bit (on two threads);
%   - latbox_version, the package's version and its news agree with VERSION;
%   - the demo runs.
% The outputs of a set of seeded calls are saved to results_file. Mode 'reference',
% with the MEX files of the CMake build on the path, makes the same calls and checks
% that both builds give the same bits.
  names = function_names(fullfile(root, 'gateways', 'mex_functions.txt'));
  table = calls();
  if strcmp(mode, 'reference')
    saved = load(results_file);
    compared = 0;
    for k = 1:size(table, 1)
      if any(strcmp(table{k, 1}, names))
        expect_same_bits(table{k, 2}(), saved.results.(table{k, 1}), [table{k, 1} ...
                         ': the package and the CMake build differ']);
        compared = compared + 1;
      end
    end
    printf('%d functions give the same bits in the package and the CMake build\n', compared);
    return;
  end

  setenv('LATBOX_NUM_THREADS', '2');
  installed = pkg('list', 'latbox');
  assert(numel(installed) == 1 && installed{1}.loaded, 'latbox is not loaded');
  desc = installed{1};
  archdir = fileparts(which(names{1}));
  assert(strncmp(archdir, desc.archprefix, numel(desc.archprefix)), ...
         [names{1} ' is not in the package''s architecture folder']);

  results = struct();
  for k = 1:numel(names)
    name = names{k};
    [folder, ~, ext] = fileparts(which(name));
    assert(strcmp(folder, archdir) && strcmp(ext, '.mex') && exist(name) == 3, ...
           sprintf('%s runs %s, not its MEX file in %s', name, which(name), archdir));
    try
      text = evalc(sprintf('help %s', name));
    catch err
      text = err.message;
    end
    summary = help_summary(fullfile(root, 'matlab', [name '.m']));
    assert(~isempty(strfind(text, summary)), ['help ' name ' does not show its help file: ' text]);
    row = find(strcmp(table(:, 1), name));
    if isempty(row)
      % a function this test does not know yet: it must at least be its MEX file
      try
        feval(name);
        error('%s without arguments raised no error', name);
      catch err
        assert(strncmp(err.message, [name ':'], numel(name) + 1), err.message);
      end
      continue;
    end
    got = table{row, 2}();
    results.(name) = got;
    if ~isempty(table{row, 3})
      expect_same_bits(got, table{row, 3}(), [name ': not the loop of single calls']);
    end
    printf('PASS %s\n', name);
  end
  save('-binary', results_file, 'results');
  known_answers(names);

  version = strtrim(fileread(fullfile(root, 'VERSION')));
  assert(strcmp(latbox_version(), version), 'latbox_version is not VERSION');
  assert(strcmp(desc.version, version), 'the package''s version is not VERSION');
  assert(strcmp(fileparts(which('latbox_version')), desc.dir), 'latbox_version not from the package');
  assert(~isempty(strfind(evalc('latbox_version'), ['latbox ' version])), 'latbox_version prints');
  assert(~isempty(strfind(evalc('news latbox'), ['## ' version])), 'news latbox');
  printf('PASS latbox_version %s, news\n', version);

  assert(strcmp(fileparts(which('detection_study')), desc.dir), 'the demo is not in the package');
  png = [tempname() '.png'];
  res = detection_study('n', 4, 'snr_db', [10 30], 'trials', 10, 'frame', 2, ...
                        'png', png, 'quiet', true);
  assert(res.ml_worse == 0 && isequal(size(res.ser), [2 4]), 'the demo');
  info = dir(png);
  assert(numel(info) == 1 && info.bytes > 1000, 'the demo wrote no plot');
  delete(png);
  printf('PASS detection_study\n');
end

function names = function_names(list)
  names = {};
  for line = strsplit(fileread(list), "\n")
    fields = strsplit(strtrim(regexprep(line{1}, '#.*$', '')));
    if numel(fields) >= 2
      names{end + 1} = fields{1};
    end
  end
end

function summary = help_summary(file)
% The first line of a help file's text ("%NAME Summary."), without its comment sign.
  lines = strsplit(fileread(file), "\n");
  first = find(~cellfun(@isempty, regexp(lines, '^%[A-Z]', 'once')), 1);
  summary = strtrim(lines{first}(2:end));
end

function table = calls()
% {name, the call's outputs (a cell), the same outputs from single calls or []}
  randn('state', 7); rand('state', 7);
  n = 6; P = 3; K = 4 * P; u = 3;
  Rs = zeros(n, n, P); Qs = zeros(n, n, P);
  for p = 1:P
    [Qs(:, :, p), R] = qr(randn(n));
    Rs(:, :, p) = triu(R);
  end
  B = [eye(n); round(1000 * rand(1, n))];      % an integer basis for the reduction
  [Qb, Rb] = qr(B, 0);
  Y = 4 * randn(n, K);
  X = 2 * randn(n, K);
  page = @(k) ceil(k / (K / P));
  loop = @(f) arrayfun(f, 1:K, 'UniformOutput', false);
  cols = @(c) horzcat(c{:});
  R1 = Rs(:, :, 1);
  m = 60;                                      % kelvane beyond the smallest sizes
  [~, Rm] = qr(randn(m)); Rm = triu(Rm); ym = Rm * (4 * rand(m, 1) - 2);
  table = {
    'zarrow', @() {zarrow(Y(:, 1), R1)}, []
    'tessaly', @() {tessaly(Y(:, 1), R1, u)}, []
    'plinden', @() outputs(@plinden, 2, Y(:, 1), R1, Inf, -u, u), []
    'quorvin', @() outputs(@quorvin, 3, Qb, Rb, 0.99), []
    'morrit', @() {morrit(X(:, 1), 1)}, []
    'kelvane', @() [outputs(@kelvane, 4, Y(:, 1), R1, 1, zeros(n + 2, 1), 0), ...
                    outputs(@kelvane, 4, ym, Rm, 1, zeros(m + 2, 1), 0)], []
    'zarrow_batch', @() {zarrow_batch(Y, Rs)}, ...
                    @() {cols(loop(@(k) zarrow(Y(:, k), Rs(:, :, page(k)))))}
    'tessaly_batch', @() {tessaly_batch(Y, Rs, u)}, ...
                     @() {cols(loop(@(k) tessaly(Y(:, k), Rs(:, :, page(k)), u)))}
    'plinden_batch', @() outputs(@plinden_batch, 2, Y, Rs, Inf, -u, u), ...
                     @() columns(loop(@(k) outputs(@plinden, 2, Y(:, k), Rs(:, :, page(k)), ...
                                                   Inf, -u, u)))
    'quorvin_batch', @() outputs(@quorvin_batch, 3, Qs, Rs, 0.75), ...
                     @() pages(arrayfun(@(p) outputs(@quorvin, 3, Qs(:, :, p), Rs(:, :, p), ...
                                                     0.75), 1:P, 'UniformOutput', false))
    'morrit_batch', @() {morrit_batch(X, 1)}, @() {cols(loop(@(k) morrit(X(:, k), 1)))}
    'kelvane_batch', @() outputs(@kelvane_batch, 3, Y, Rs, 1, zeros(n + 2, 1), 0), ...
                     @() columns(loop(@(k) outputs(@kelvane, 4, Y(:, k), Rs(:, :, page(k)), ...
                                                   1, zeros(n + 2, 1), 0)), [1 3 4])
    'plinden_llr', @() outputs(@plinden_llr, 3, Y, Rs, 4, 0.5, 8), []
  };
end

function out = outputs(fn, nout, varargin)
  out = cell(1, nout);
  [out{:}] = fn(varargin{:});
end

function out = columns(per_column, which_outputs)
% Single calls' outputs side by side: output j of every column, as one matrix.
  if nargin < 2
    which_outputs = 1:numel(per_column{1});
  end
  out = cell(1, numel(which_outputs));
  for j = 1:numel(which_outputs)
    out{j} = cell2mat(cellfun(@(c) c{which_outputs(j)}, per_column, 'UniformOutput', false));
  end
end

function out = pages(per_page)
% Single calls' outputs stacked as pages.
  out = cell(1, numel(per_page{1}));
  for j = 1:numel(out)
    out{j} = cat(3, cellfun(@(c) c{j}, per_page, 'UniformOutput', false){:});
  end
end

function known_answers(names)
  expect_equal(zarrow([2.5; 1], eye(2)), [3; 1], 'zarrow');
  expect_equal(tessaly([2; 0], eye(2), 3), [3; 1], 'tessaly');
  [s, info] = plinden([0.4; 1.6], eye(2), Inf, -3, 3);
  expect_equal([s; info], [0; 2; 1], 'plinden');
  B = [1 -1 3; 1 0 5; 1 2 6];
  [Q, R] = qr(B);
  [~, ~, Uo] = quorvin(Q, R, 0.75);
  expect_equal(B * Uo, [0 1 -1; 1 0 0; 0 1 2], 'quorvin');
  expect_equal(morrit([0.5; -2; 2; 0; -0.5], 1), [0; -2; 3; 5; 4; 1; 2], 'morrit');
  % kelvane on a mid-sized problem (BLAS beyond the smallest sizes): optimal by KKT
  randn('state', 3); rand('state', 3);
  n = 80; u = 1;
  [~, R] = qr(randn(n)); R = triu(R); y = R * (4 * rand(n, 1) - 2);
  [x, ~, ~, status] = kelvane(y, R, u, zeros(n + 2, 1), 0);
  g = R' * (y - R * x);
  tol = 1e-9 * norm(R' * y);
  free = abs(x) < u;
  assert(status == 1 && all(abs(x) <= u), 'kelvane: not in the box');
  assert(all(abs(g(free)) <= tol) && all(g(x == -u) <= tol) && all(g(x == u) >= -tol), ...
         'kelvane: not optimal');
  printf('PASS known answers (%d functions listed)\n', numel(names));
end

function expect_same_bits(got, want, what)
  assert(numel(got) == numel(want), [what ': output count']);
  for j = 1:numel(got)
    same = isequal(size(got{j}), size(want{j})) && ...
           isequal(typecast(got{j}(:), 'uint64'), typecast(want{j}(:), 'uint64'));
    assert(same, sprintf('%s (output %d)', what, j));
  end
end
