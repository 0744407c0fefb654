% SPDX-License-Identifier: BSD-3-Clause
function Y = study_page_times(A, X, page)
%STUDY_PAGE_TIMES Multiplies each column by the page of its channel.
%   Y = STUDY_PAGE_TIMES(A, X, PAGE): column k of Y is A(:, :, PAGE(k)) * X(:, k), for an
%   m-by-n-by-P stack A (real or complex), an n-by-K X and K page numbers in 1..P. The
%   studies form their received frames and distances with it.
%
%   Example:
%     A = cat(3, eye(2), 2 * eye(2));
%     study_page_times(A, [1 1 1; 2 2 2], [1 2 1])   % [1 2 1; 2 4 2]
%
%   See also detection_study, soft_study.
  [m, n, P] = size(A);
  Y = zeros(m, size(X, 2));
  for j = 1:n
    Aj = reshape(A(:, j, :), m, P);
    Y = Y + Aj(:, page) .* X(j, :);
  end
end
