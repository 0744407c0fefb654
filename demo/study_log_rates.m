% SPDX-License-Identifier: BSD-3-Clause
function study_log_rates(snr_db, rates, errors)
%STUDY_LOG_RATES Error rates against the SNR on a log scale, one curve a detector.
%   STUDY_LOG_RATES(SNR_DB, RATES, ERRORS) draws column d of RATES at the SNRs where
%   column d of ERRORS (the counts behind the rates) is positive; a detector without
%   errors keeps its legend entry. The axis starts a little below the lowest rate shown.
%
%   Example:
%     h = study_figure();
%     study_log_rates([0 5], [0.1 0.2; 0.01 0], [10 20; 1 0]);
%     close(h);
%
%   See also study_figure, detection_study, soft_study.
  markers = {'-o', '-s', '-d', '-v', '-^', '-x', '-+', '-*'};
  for d = 1:size(rates, 2)
    shown = errors(:, d) > 0;
    if any(shown)
      semilogy(snr_db(shown), rates(shown, d), markers{1 + mod(d - 1, 8)}, 'linewidth', 1.5);
    else
      semilogy(NaN, NaN, markers{1 + mod(d - 1, 8)});   % keeps its legend entry
    end
    hold on;
  end
  hold off;
  shown = rates(errors > 0);
  if ~isempty(shown)                         % a margin below the lowest point
    ylim([10^floor(log10(min(shown)) - 0.3), 1]);
  end
end
