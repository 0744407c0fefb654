% SPDX-License-Identifier: BSD-3-Clause
function varargout = kelvane_batch(varargin)
%KELVANE_BATCH Box-constrained least squares (BVLS) for every column of a frame.
%   X = KELVANE_BATCH(Y,R,U,INDEX_SETS,USE_START) solves, for every column k,
%   min norm(Y(:,k) - Rk*X(:,k)) subject to -U <= X(i,k) <= U as KELVANE
%   does: X(:,k) is KELVANE(Y(:,k),Rk,U,INDEX_SETS(:,k),USE_START(k)) bit for
%   bit, where Rk is the channel of column k. The columns are shared out
%   among worker threads.
%   [X,ITERATIONS,STATUS] = KELVANE_BATCH(...) also returns each column's
%   pass count and exit status; one, two or three outputs may be asked.
%
%   Inputs
%     Y           real double N-by-K matrix, finite, one right-hand side per
%                 column (K = 0 gives empty outputs).
%     R           real double N-by-N matrix, the channel of every column, or
%                 an N-by-N-by-P array with K a multiple of P: columns
%                 (p-1)*K/P+1 to p*K/P use page R(:,:,p) (P = K: one per
%                 column; in between: K/P columns per channel). Each page
%                 finite, upper triangular with exact zeros below the
%                 diagonal (TRIU(R)), no zero on the diagonal.
%     U           half-width of the box, finite and >= 0, for every column.
%     INDEX_SETS  (N+2)-by-K index-set vectors in the layout of MORRIT (as
%                 MORRIT_BATCH returns them), or one (N+2)-by-1 vector for
%                 every column. Only the columns that start warm are read
%                 and checked.
%     USE_START   scalar, or one element per column (1-by-K or K-by-1):
%                 non-zero after truncation (1, -1; 0.7 counts as 0) for a
%                 warm start from that column's index set, 0 for a cold
%                 start with every variable at -U. Finite.
%   Outputs
%     X           N-by-K double: the solutions.
%     ITERATIONS  1-by-K: the pass at which each column's solver stopped; 0
%                 for status -1 and -2.
%     STATUS      1-by-K, one code per column; the call itself returns
%                 normally:
%                   1   solved;
%                  -1   the pass cap (3*N passes) ended the run, as for
%                       KELVANE: X(:,k) is the iterate after the last pass;
%                  -2   the free-set Gram matrix of column k cannot be formed
%                       or breaks down (R too ill-conditioned for the box,
%                       where KELVANE raises an error): X(:,k) is NaN.
%   N = 0 returns an N-by-K X, ITERATIONS 0 and STATUS 1.
%
%   Threads: as many as the CPUs this process may run on, but no more than
%   the frame justifies (about 20 microseconds of work each), so a small
%   frame runs on the calling thread alone; above N = 96 one thread, since
%   the solver then calls the BLAS library, whose routines the solves must
%   use in turn. The environment variable LATBOX_NUM_THREADS (a positive
%   integer) sets the count instead; 1 runs serially. The result is the same
%   bit for bit for every thread count.
%
%   Ctrl-C stops the call, between columns or within a long solve (every 16
%   passes), with the error "kelvane_batch: interrupted"; no output is
%   assigned and the session goes on.
%
%   Errors: every input is checked before any column is solved, with
%   KELVANE's messages naming the column or page at fault, for example "Y
%   column 17 must not contain NaN or Inf", "R page 3 must be upper
%   triangular (zeros below the diagonal)" ("R ..." for a single matrix),
%   "index_sets column 5 must name each variable only once", "use_start
%   column 2 must be a finite number"; "Too many active variables in BVLS
%   starting solution!" for a warm start with a negative count. Also
%   "USAGE: [X,iterations,status]=kelvane_batch(Y,R,u,index_sets,use_start)"
%   unless called with five inputs and at most three outputs; "R must be
%   square"; "Y must have as many rows as R has columns (one column per
%   vector)"; "Y must have a number of columns that is a multiple of the
%   pages of R"; "index_sets must be (n+2)-by-K, or (n+2)-by-1 for every
%   column"; "use_start must be a scalar or have one element per column of
%   Y"; "u must be a finite number, not negative"; non-double arguments.
%
%   Accuracy: as KELVANE, column by column; one warning latbox:kelvane:inaccurate
%   per call counts the columns whose squared residual exceeds the minimum by
%   more than 1e-4*norm(Y(:,k))^2, and names the first and the worst.
%
%   Example
%     n = 8; K = 500; u = 1; [~, R] = qr(randn(n)); R = triu(R);
%     Y = R * (4*rand(n, K) - 2);               % about half of X at a bound
%     [X, cold, status] = kelvane_batch(Y, R, u, zeros(n+2, 1), 0);
%     I = morrit_batch(X, u);                   % the active set of each column
%     Y2 = Y + 0.01*randn(n, K);                % related problems
%     [X2, warm] = kelvane_batch(Y2, R, u, I, 1);   % each warm-started
%     [mean(cold), mean(warm)]         % passes: about 7.5 cold, 2 warm
%
%   See also KELVANE, MORRIT_BATCH, PLINDEN_BATCH, TESSALY_BATCH.

% This file holds the help text; the MEX file kelvane_batch beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['kelvane_batch: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end
