% SPDX-License-Identifier: BSD-3-Clause
function check_examples(root, mexdir)
% Runs every example a user would paste, with the MEX files of mexdir on the path:
% the Example section of each help file in matlab/ and each ```matlab block of
% README.md and of the pages in docs/, each in a workspace of its own. Fails (exit status 1) when an example
% raises an error or a value it states does not hold.
%
% Which text counts as an example:
%   help files  the lines after a line "%   Example" up to the next line that is only
%               "%"; every help file of a function must have one, and all of them run.
%   README.md, docs/*.md
%               fenced blocks whose info string starts with "matlab". A block that is
%               not meant to run here (building at the prompt, MATLAB-only steps) is
%               tagged in its fence line:  ```matlab norun
%               It is still shown as MATLAB code; it is listed as skipped.
% Values that an example states are checked by the table in stated_values below,
% matched on a piece of the example's text that includes the stated value (runs of
% blanks count as one), so that a changed example or comment is noticed; every entry
% must match at least one example. The functions are those of gateways/mex_functions.txt.
  addpath(mexdir);
  self_check();
  names = latbox_functions(root);
  % and the functions written in Octave/MATLAB (matlab/m_functions.txt)
  names = [names, regexp(fileread(fullfile(root, 'matlab', 'm_functions.txt')), '(?m)^[a-z]\w*', 'match')];
  examples = {};
  for k = 1:numel(names)
    file = fullfile(root, 'matlab', [names{k} '.m']);
    code = help_example(fileread(file));
    if isempty(code)
      examples(end + 1, :) = {[names{k} '.m'], 'error(''no Example section'')'};
    else
      examples(end + 1, :) = {[names{k} '.m Example'], code};
    end
  end
  pages = dir(fullfile(root, 'docs', '*.md'));
  pages = [{'README.md'}, strcat('docs/', sort({pages.name}))];
  skipped = 0;
  for page = pages
    [blocks, tagged] = markdown_blocks(fileread(fullfile(root, page{1})));
    skipped = skipped + tagged;
    for k = 1:numel(blocks)
      examples(end + 1, :) = {sprintf('%s block %d', page{1}, k), blocks{k}};
    end
  end

  checks = stated_values();
  used = false(size(checks, 1), 1);
  failed = 0;
  for k = 1:size(examples, 1)
    rand('state', k); randn('state', k);
    [msg, hit] = run_example(examples{k, 2}, checks);
    used = used | hit;
    if isempty(msg)
      printf('PASS %s\n', examples{k, 1});
    else
      failed = failed + 1;
      printf('FAIL %s: %s\n  code:\n%s\n', examples{k, 1}, msg, indent(examples{k, 2}));
    end
  end
  for k = find(~used)'
    failed = failed + 1;
    printf('FAIL stated value "%s": no example contains "%s"\n', checks{k, 2}, checks{k, 1});
  end
  printf('%d examples run, %d Markdown blocks tagged norun, %d failed\n', ...
         size(examples, 1), skipped, failed);
  if failed > 0
    exit(1);
  end
end

function checks = stated_values()
% {piece of an example's code, condition that must hold after it ran}
  checks = {
    'morrit([0.5; -2; 2; 0; -0.5], 1)'' % returns 0 -2 3 5 4 1 2', 'isequal(ans, [0 -2 3 5 4 1 2])';
    '[Qo, Ro, Uo] = quorvin(Q, R, 0.75); B * Uo % [0 1 -1; 1 0 0; 0 1 2]', ...
      'isequal(B * Uo, [0 1 -1; 1 0 0; 0 1 2]) && norm(Qo * Ro - B * Uo, 1) < 1e-12';
    '[symb, info] = plinden(y, R, Inf, -3, 3)', ...
      'info == 1 && isequal(symb, round(symb)) && all(abs(symb) <= 3)';
    's_hat = zarrow(y, R)', 'isequal(size(s_hat), [4 1]) && isequal(s_hat, round(s_hat))';
    's_hat = tessaly(y, R, 3)', 'isequal(size(s_hat), [4 1]) && all(ismember(s_hat, [-3 -1 1 3]))';
    '[x, ~, cold, status] = kelvane(', 'status == 1 && cold >= 1 && all(abs(x) <= 1)';
    '= kelvane(y2, R, u, s, 1)', 'warm <= cold && all(abs(x2) <= u)';
    'isequal(S_hat(:, 7), zarrow(Y(:, 7), R)) % 1', 'ans && isequal(size(S_hat), [4 1000])';
    'S_hat = tessaly_batch(Y, R, 3); % 4-PAM symbols, mostly equal to S', ...
      'all(ismember(S_hat(:), [-3 -1 1 3])) && mean(S_hat(:) == S(:)) > 0.8';
    'isequal(S_hat(:, 20), tessaly(Y(:, 20), R(:,:,3), 3)) % 1', 'ans';
    'isequal([S_hat(:, 7); info(7)], [s7; info7]) % 1', 'ans && all(info == 1)';
    'isequal({Qo(:,:,5), Ro(:,:,5), Uo(:,:,5)}, {q, r, u}) % 1', ...
      'ans && isequal(Uo, round(Uo)) && all(arrayfun(@(p) abs(round(det(Uo(:,:,p)))), 1:P) == 1)';
    'I = morrit_batch(X, 1)'' % rows 0 -2 3 5 4 1 2 and 0 1 -3 4 5 2 3', ...
      'isequal(I, [0 -2 3 5 4 1 2; 0 1 -3 4 5 2 3])';
    '[mean(cold), mean(warm)] % passes: about 7.5 cold, 2 warm', ...
      'all(status == 1) && mean(cold) > 5 && mean(warm) < 2.5 && all(abs(X2(:)) <= u)';
    'plinden_batch([0.4 1e17; 1.2 1e17], eye(2), Inf, -Inf, Inf) % info = [1 0]', ...
      'isequal(info, [1 0]) && isequaln(S, [0 NaN; 1 NaN])';
    '[mean(S_df(:) == S(:)), mean(S_ml(:) == S(:))] % symbols right: ML ahead', ...
      'ans(2) > ans(1) && all(info == 1) && isequal(S_df(:, K), zarrow(Y(:, K), R(:,:,P)))';
    '[max(abs(L(:))), mean(S_hat(:) == S(:))] % 8 (clipped), most symbols right', ...
      'max(abs(L(:))) == 8 && mean(S_hat(:) == S(:)) > 0.6 && isequal(size(L), [8 500])';
    'isequal(L(1:2:end, :) < 0, g >= 2) % 1: the sign of L is S_hat''s bits', 'ans && all(nodes >= 4)';
    '[text, id] = lastwarn(); % id = ''latbox:kelvane:inaccurate'', status = 1', ...
      'status == 1 && strcmp(id, ''latbox:kelvane:inaccurate'') && norm(y - R * x)^2 > 0.5 * norm(y)^2';
    'C.'' % 1 1 1 0 0 0 0 1 0 1 1 1', 'isequal(C.'', [1 1 1 0 0 0 0 1 0 1 1 1])';
    'mean(mean((Lu < 0) ~= U)) < 0.01 % 1: few errors', 'ans && isequal(size(Lc), size(C))';
    'isequal(Lue, Lu) % 1: zero priors', 'ans';
    'code.next(1, :) % 0 2', 'isequal(code.next(1, :), [0 2])';
    'code.outputs(1, :) % 0 3', 'isequal(code.outputs(1, :), [0 3])';
    'abs(llr_mi(L, b) - 0.5) < 0.01 % 1', 'ans';
    'abs(s - 1/3) < 0.05 && gmi > I % 1', 'ans';
    'round(exit_j([1 2 3]) * 1e5) / 1e5 % 0.16075 0.48594 0.75998', 'isequal(ans, [0.16075 0.48594 0.75998])';
    'abs(s - 2.5) < 1e-9 % 1', 'ans';
    'abs(llr_mi(L, b) - 0.7) < 0.01 % 1', 'ans';
    'all(abs(IE - [0.2 0.8]) < 0.02) % 1', 'ans';
    'all(diff(IE) > 0) && IE(3) > 0.9 % 1: rising, near 1 at the top', 'ans';
    '[size(llr), mean(idx(:) == sent(:))] % 16 1000, and most symbols right', ...
      ['isequal(size(llr), [16 K]) && mean(idx(:) == sent(:)) > 0.9 && max(abs(llr(:))) <= 20' ...
       ' && isequal(llr < 0, reshape(permute(reshape(bits(idx, :), 4, K, 4), [3 1 2]), 16, K) == 1)'];
    'Le = sign(D) .* min(abs(D), clip); % extrinsic, then clipped', ...
      ['ans && isequal(size(Le), [8 200]) && all(Le(:) == max(-clip, min(clip, Lpost(:) - La(:))))' ...
       ' && any(abs(Lpost(:)) > clip)'];
  };
end

function [msg, hit] = run_example(example_code__, checks__)
% Runs the code in this function's own workspace, then the checks that apply to it.
% An empty msg means success; hit marks the checks that applied.
  msg = '';
  hit = false(size(checks__, 1), 1);
  try
    output__ = evalc(example_code__);   % kept: evalc without an output would set ans
  catch err__
    msg = ['error: ' err__.message];
    return;
  end
  for k__ = 1:size(checks__, 1)
    if isempty(strfind(regexprep(example_code__, '\s+', ' '), checks__{k__, 1}))
      continue;
    end
    hit(k__) = true;
    try
      holds__ = eval(checks__{k__, 2});
    catch err__
      holds__ = false;
      checks__{k__, 2} = [checks__{k__, 2} ' (' err__.message ')'];
    end
    if ~isequal(holds__, true)
      msg = ['stated value does not hold: ' checks__{k__, 2}];
      return;
    end
  end
end

function code = help_example(text)
% The lines after "%   Example" up to the next line that is only "%", without the
% leading "%"; empty when there is no such section.
  lines = strsplit(text, "\n");
  code = '';
  start = find(~cellfun(@isempty, regexp(lines, '^%\s*Examples?\s*$', 'once')), 1);
  if isempty(start)
    return;
  end
  body = {};
  for k = start + 1:numel(lines)
    if isempty(regexp(lines{k}, '^%.*\S', 'once'))
      break;
    end
    body{end + 1} = lines{k}(2:end);
  end
  code = strjoin(body, "\n");
end

function [blocks, skipped] = markdown_blocks(text)
% The fenced ```matlab blocks of a Markdown text, except those tagged "norun".
  lines = strsplit(text, "\n");
  blocks = {};
  skipped = 0;
  k = 1;
  while k <= numel(lines)
    fence = regexp(lines{k}, '^```\s*(\S*)\s*(.*?)\s*$', 'tokens', 'once');
    k = k + 1;
    if isempty(fence)
      continue;
    end
    body = {};
    while k <= numel(lines) && isempty(regexp(lines{k}, '^```\s*$', 'once'))
      body{end + 1} = lines{k};
      k = k + 1;
    end
    k = k + 1;                            % the closing fence
    if ~strcmp(fence{1}, 'matlab')
      continue;
    end
    if any(strcmp(strsplit(fence{2}), 'norun'))
      skipped = skipped + 1;
    else
      blocks{end + 1} = strjoin(body, "\n");
    end
  end
end

function self_check()
% The checker itself: extraction, skipping, and that failures are reported.
  help = sprintf(['%%F One line.\n%%   Example\n%%     a = 1;\n%%     b = a + 1   %% 2\n' ...
                  '%%\n%%   See also G.\n']);
  assert(strcmp(help_example(help), sprintf('     a = 1;\n     b = a + 1   %% 2')));
  assert(isempty(help_example(sprintf('%%F One line.\n%%   Examples are elsewhere.\n'))));
  md = sprintf(['text\n```sh\nls\n```\n```matlab\nx = 1;\n```\n```\n```matlab\n```\n' ...
                '```matlab norun\nmake_latbox\n```\n']);
  [blocks, skipped] = markdown_blocks(md);
  assert(isequal(blocks, {'x = 1;'}) && skipped == 1, 'markdown blocks misread');
  checks = {'b = a + 1', 'b == 2'};
  [msg, hit] = run_example(sprintf('a = 1;\nb = a + 1'), checks);
  assert(isempty(msg) && hit, 'a passing example failed');
  msg = run_example(sprintf('a = 2;\nb = a + 1'), checks);
  assert(~isempty(strfind(msg, 'does not hold')), 'a wrong stated value passed');
  msg = run_example('x = zarrow(1)', {});
  assert(~isempty(strfind(msg, 'USAGE')), 'an example that raises an error passed');
end

function s = indent(code)
  s = regexprep(code, '^', '    ', 'lineanchors');
end
