% SPDX-License-Identifier: BSD-3-Clause
function res = ambiguity_study(opts)
%AMBIGUITY_STUDY Fix rates, wrong fixes, predicted and observed success, partial fixing.
%   RES = AMBIGUITY_STUDY() simulates single-epoch double-difference GNSS models
%   (study_gnss_problem: 2 constellations, code 0.3 m, phase 3 mm, random geometry)
%   for 8, 10, 12 and 16 satellites and 1, 2 and 3 frequencies, 'trials' epochs each
%   (a new geometry every epoch), and resolves each with ambiguity_fix:
%     - ILS with two candidates: the observed ILS success rate (the best vector is
%       the true one) against the predicted bootstrapped success rate (the mean of
%       info.success_rate, a lower bound of the ILS rate);
%     - the ratio test at thresholds 1 .. 5: the fix rate (accepted) and the
%       wrong-fix rate (accepted and not the true vector), over all epochs;
%     - partial fixing ('par', min_sr 0.995): the share of ambiguities fixed and
%       the share of fixed components that are wrong, beside the share fixed by
%       the full fix with the ratio test at 3.
%   RES = AMBIGUITY_STUDY(OPTS) takes a struct with fields 'trials' (200),
%   'satellites' ([8 10 12 16]), 'frequencies' ([1 2 3]), 'thresholds' ([1 1.5 2 3 5]),
%   'figure' ('../docs/ambiguity_study.png', '' for none), 'quiet' (false), 'seed' (1).
%   RES holds the tables (rows: satellites, columns: frequencies; the ratio tables with
%   thresholds as a third dimension).
%
%   Example
%     r = ambiguity_study(struct('trials', 20, 'figure', ''));
%
%   See also ambiguity_fix, study_gnss_problem.
  if nargin < 1, opts = struct(); end
  trials = get(opts, 'trials', 200);
  sats = get(opts, 'satellites', [8 10 12 16]);
  freqs = get(opts, 'frequencies', [1 2 3]);
  th = get(opts, 'thresholds', [1 1.5 2 3 5]);
  here = fileparts(mfilename('fullpath'));
  fig = get(opts, 'figure', fullfile(here, '..', 'docs', 'ambiguity_study.png'));
  quiet = get(opts, 'quiet', false);
  seed = get(opts, 'seed', 1);
  rand('seed', seed); randn('seed', seed);
  S = numel(sats); F = numel(freqs); T = numel(th);
  observed = zeros(S, F); predicted = zeros(S, F);
  fix_rate = zeros(S, F, T); wrong_rate = zeros(S, F, T);
  par_fixed = zeros(S, F); par_wrong = zeros(S, F); full_fixed = zeros(S, F);
  t0 = tic;
  for i = 1:S
    for j = 1:F
      correct = false(trials, 1); ratio = zeros(trials, 1); sr = zeros(trials, 1);
      pf = 0; pw = 0; pn = 0;
      for k = 1:trials
        [ahat, Q, truth] = study_gnss_problem(2, sats(i), freqs(j));
        [afix, ~, info] = ambiguity_fix(ahat, Q);
        correct(k) = isequal(afix(:, 1), truth);
        ratio(k) = info.ratio; sr(k) = info.success_rate;
        [p, ~, pinfo] = ambiguity_fix(ahat, Q, 'method', 'par', 'min_sr', 0.995);
        fixed = pinfo.fixed;
        pf = pf + sum(fixed); pw = pw + sum(p(fixed) ~= truth(fixed)); pn = pn + numel(truth);
      end
      observed(i, j) = mean(correct); predicted(i, j) = mean(sr);
      for t = 1:T
        acc = ratio >= th(t);
        fix_rate(i, j, t) = mean(acc); wrong_rate(i, j, t) = mean(acc & ~correct);
      end
      par_fixed(i, j) = pf / pn; par_wrong(i, j) = pw / max(pf, 1);
      full_fixed(i, j) = mean(ratio >= 3);
    end
  end
  res = struct('satellites', sats, 'frequencies', freqs, 'thresholds', th, 'trials', trials, ...
               'observed', observed, 'predicted', predicted, 'fix_rate', fix_rate, ...
               'wrong_rate', wrong_rate, 'par_fixed', par_fixed, 'par_wrong', par_wrong, ...
               'full_fixed', full_fixed, 'seconds', toc(t0));
  if ~quiet
    printf('ambiguity_study: %d epochs per cell, %.1f s\n', trials, res.seconds);
    printf('satellites x frequencies: observed ILS success / predicted bootstrapped\n');
    for i = 1:S
      printf('  %2d sats:', sats(i));
      printf('  %d f: %.3f / %.3f', [freqs; observed(i, :); predicted(i, :)]);
      printf('\n');
    end
    t3 = find(th == 3, 1); if isempty(t3), t3 = T; end
    printf('ratio test at %g: fix rate / wrong-fix rate; par: ambiguities fixed / wrong among fixed\n', th(t3));
    for i = 1:S
      printf('  %2d sats:', sats(i));
      printf('  %d f: %.3f / %.3f, par %.3f / %.4f', [freqs; fix_rate(i, :, t3); wrong_rate(i, :, t3); ...
             par_fixed(i, :); par_wrong(i, :)]);
      printf('\n');
    end
  end
  if ~isempty(fig)
    h = study_figure('position', [0 0 1000 750]);
    subplot(2, 2, 1);
    hold on;
    colors = lines(F);
    for j = 1:F
      plot(th, squeeze(mean(fix_rate(:, j, :), 1)), '-o', 'color', colors(j, :));
      plot(th, squeeze(mean(wrong_rate(:, j, :), 1)), '--x', 'color', colors(j, :));
    end
    xlabel('ratio threshold'); ylabel('rate (mean over satellite counts)');
    title('fix rate (solid) and wrong-fix rate (dashed)');
    legend(arrayfun(@(f) sprintf('%d freq', f), kron(freqs, [1 1]), 'UniformOutput', false));
    subplot(2, 2, 2);
    plot(predicted(:), observed(:), 'o', [0 1], [0 1], 'k-');
    xlabel('predicted bootstrapped success rate'); ylabel('observed ILS success rate');
    title('success: observed against predicted (a lower bound)');
    subplot(2, 2, 3);
    plot(sats, observed, '-o');
    xlabel('satellites'); ylabel('ILS success rate'); title('success against satellites');
    legend(arrayfun(@(f) sprintf('%d freq', f), freqs, 'UniformOutput', false), 'location', 'southeast');
    subplot(2, 2, 4);
    plot(sats, par_fixed, '-o', sats, full_fixed, '--x');
    xlabel('satellites'); ylabel('share of ambiguities fixed');
    title('partial fixing (solid) against full fix with ratio 3 (dashed)');
    print(h, fig, '-dpng');
    close(h);
  end
end

function v = get(s, name, default)
  if isfield(s, name), v = s.(name); else, v = default; end
end
