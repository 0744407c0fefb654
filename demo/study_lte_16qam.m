% SPDX-License-Identifier: BSD-3-Clause
function [const, labels] = study_lte_16qam()
%STUDY_LTE_16QAM The 16-QAM of LTE with its Gray labels, as the studies use it.
%   [CONST, LABELS] = STUDY_LTE_16QAM() gives the 16 points (a column, mean energy 1) and
%   their labels (16-by-4 of 0/1): point m has the label of m - 1, b0 b1 b2 b3 (b0 the
%   most significant bit), and the value ((1 - 2 b0)(1 + 2 b2) + i (1 - 2 b1)(1 + 2 b3))
%   over sqrt(10) (3GPP TS 36.211, 16QAM modulation mapping). b0 and b2 are a Gray label
%   of the real part, b1 and b3 of the imaginary part.
%
%   Example:
%     [const, labels] = study_lte_16qam();
%     const(1) * sqrt(10)                 % 1 + 1i: the label 0000
%
%   See also soft_study, idd_study.
  labels = zeros(16, 4);
  for m = 0:15
    labels(m + 1, :) = bitand(m, [8 4 2 1]) > 0;
  end
  re = (1 - 2 * labels(:, 1)) .* (1 + 2 * labels(:, 3));
  im = (1 - 2 * labels(:, 2)) .* (1 + 2 * labels(:, 4));
  const = complex(re, im) / sqrt(10);
end
