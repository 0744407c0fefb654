% SPDX-License-Identifier: BSD-3-Clause
function test_exit_tools()
% exit_j against its published values, exit_jinv as its inverse over [0.01, 10] and
% beyond, llr_mi and its generalised form, prior_llrs' moments, and the EXIT curves.
  rand('seed', 27); randn('seed', 27);
  % J to 5 digits
  sig = [0.5 1 2 3 5 7];
  want = [0.04373 0.16075 0.48594 0.75998 0.97518 0.99902];
  assert(all(abs(exit_j(sig) - want) < 5e-6), 'J values');
  assert(exit_j(0) == 0 && exit_j(Inf) == 1, 'J at the ends');
  % J is increasing
  s = linspace(0.01, 12, 60);
  assert(all(diff(exit_j(s)) > 0), 'J increases');
  % the inverse within 1e-9 on [0.01, 10]
  s = [0.01 0.03 0.1 0.3 0.7 1 1.5 2.5 4 6 8 10];
  err = abs(exit_jinv(exit_j(s)) - s);
  assert(max(err) < 1e-9, sprintf('J^-1(J(s)) = s: error %g', max(err)));
  % beyond: J(J^-1(J(s))) = J(s) within a few ulps, J^-1(1) = Inf, J^-1(0) = 0
  for s = [12 15 20]
    j = exit_j(s);
    assert(abs(exit_j(exit_jinv(j)) - j) <= 4 * eps(1), 'J^-1 where J flattens');
  end
  assert(exit_jinv(1) == Inf && exit_jinv(0) == 0, 'J^-1 at the ends');

  % llr_mi: consistent priors give their MI; huge magnitudes stay finite and exact
  b = randi([0 1], 1, 2e5);
  for IA = [0.1 0.5 0.9]
    L = prior_llrs(b, IA);
    assert(abs(llr_mi(L, b) - IA) < 0.01, 'MI of prior_llrs');
    % mean sigma^2/2 with latbox's sign, variance sigma^2
    sg = exit_jinv(IA); z = (1 - 2 * b) .* L;
    assert(abs(mean(z) - sg^2 / 2) < 0.02 * (1 + sg^2), 'prior mean');
    assert(abs(var(z) / sg^2 - 1) < 0.02, 'prior variance');
  end
  assert(llr_mi([800 -800], [0 1]) == 1, 'right, very sure');
  assert(abs(llr_mi(-800, 0) - (1 - 800 / log(2))) < 1e-9, 'wrong, very sure: no overflow');
  assert(llr_mi([Inf -Inf], [0 1]) == 1 && llr_mi(Inf, 1) == -Inf, 'known bits');
  assert(llr_mi(zeros(1, 5), [0 1 0 1 1]) == 0, 'no information');
  % generalised MI: over-confident LLRs rescaled
  L = prior_llrs(b, 0.5);
  [I, gmi, s] = llr_mi(3 * L, b);
  assert(abs(s - 1/3) < 0.02 && gmi >= I && abs(gmi - 0.5) < 0.01, 'GMI of 3L');
  [~, gmi, s] = llr_mi([1 2 3], [0 0 0]);
  assert(gmi == 1 && s == Inf, 'GMI of LLRs all right');
  [I1, gmi1] = llr_mi(L, b);
  assert(gmi1 >= I1 && gmi1 - I1 < 1e-3, 'GMI of consistent LLRs is their MI');
  % prior_llrs with the caller's noise, and IA = 1
  n = randn(size(b));
  assert(isequal(prior_llrs(b, 0.3, n), prior_llrs(b, 0.3, n)), 'own stream');
  assert(isequal(prior_llrs([0 1], 1), [Inf -Inf]), 'IA = 1: known bits');
  assert(isequal(prior_llrs([0 1], 0), [0 0]), 'IA = 0');

  % messages
  expect_error(@() exit_j(), 'USAGE: I = exit_j(sigma)');
  expect_error(@() exit_j(-1), 'exit_j: sigma must be real and non-negative');
  expect_error(@() exit_jinv(1.5), 'exit_jinv: I must be real, in [0, 1]');
  expect_error(@() llr_mi([1 2], 1), 'llr_mi: L and b must have the same size');
  expect_error(@() llr_mi(NaN, 1), 'llr_mi: L must not contain NaN');
  expect_error(@() llr_mi(1, 2), 'llr_mi: b must hold only 0 and 1');
  expect_error(@() prior_llrs(1, 2), 'prior_llrs: IA must be a scalar in [0, 1]');
  expect_error(@() exit_curve(1, 0, 0.5), 'exit_curve: EXTRINSIC must be a function handle');
  expect_error(@() exit_curve(@(La) [La La], 0, 0.5), 'exit_curve: EXTRINSIC(LA) must have the size of b');

  % EXIT curves: the identity passes IA on; the decoder's curve rises to 1
  IE = exit_curve(@(La) La, b(1:2e4), [0.2 0.6]);
  assert(all(abs(IE - [0.2 0.6]) < 0.02), 'identity block');
  code = conv_code(3, [7 5]);
  [IE, IAm] = exit_decoder_curve(code, [0 0.2 0.5 0.8 1], 400, 10);
  assert(all(diff(IE) > 0) && abs(IE(1)) < 1e-9 && IE(end) == 1, 'decoder curve');
  assert(all(abs(IAm(2:4) - [0.2 0.5 0.8]) < 0.02), 'measured priors');
  IEm = exit_decoder_curve(code, [0.2 0.5 0.8], 400, 10, 'method', 'maxlog');
  % max-log's LLRs are over-confident: their MI estimate lies below log-MAP's
  assert(all(diff(IEm) > 0) && all(IEm < IE(2:4) + 0.02) && IEm(3) > 0.95, 'maxlog curve');

  % the trajectory of a detector that takes no priors: every pass the same; the decoder
  % gets the channel's LLRs deinterleaved (detector bit j is code bit p(j)), and the
  % MIs are those of the LLRs exchanged
  u = randi([0 1], 300, 1);
  c = conv_encode(u, code);
  p = randperm(numel(c))';
  Lch = 0.8 * (1 - 2 * c(p)) + sqrt(1.6) * randn(numel(c), 1);   % consistent, MI about 0.3
  dec = @(L) conv_decode(L, code, 'output', 'extrinsic');
  [IEdet, IEdec, Lu] = exit_trajectory(@(La) Lch, dec, c, p, 2);
  L = zeros(numel(c), 1);
  L(p) = Lch;
  [Lu0, Lc0] = dec(L);
  assert(isequal(Lu, [Lu0 Lu0 Lu0]) && all(IEdec == llr_mi(Lc0, c)), 'the decoder''s input');
  assert(all(IEdet == llr_mi(Lch, c(p))), 'the detector''s MI');
  expect_error(@() exit_trajectory(@(La) La, dec, c, p(2:end), 1), ...
               'exit_trajectory: PERM must be a permutation of 1:numel(c)');
  expect_error(@() exit_trajectory(@(La) La(2:end), dec, c, p, 1), ...
               'exit_trajectory: DETECT(LA) must give numel(c) LLRs');
  expect_error(@() exit_trajectory(@(La) La, dec, c, p, -1), ...
               'exit_trajectory: ITERATIONS must be an integer >= 0');
end
