% SPDX-License-Identifier: BSD-3-Clause
function peak_memory_batch(K)
% Peak resident memory of the process during one batch call with K columns (default 1e6),
% n = 8, one channel, every CPU, against the size of its outputs: a call needs its outputs
% and a scratch that does not grow with K. Octave copies every output of a MEX file when
% the call returns, so that any MEX call peaks at twice its outputs: the first row is a MEX
% file that only creates an output of zarrow_batch's size and does nothing else. quorvin_batch
% runs on K/10 pages (copies of one page).
%
% Run it in an Octave of its own started with GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072:
% large blocks are then given back to the system when freed, so that the resident size
% before a call holds no freed memory that the call could reuse unseen.
  if nargin < 1, K = 1e6; end
  n = 8; u = 3;
  randn('state', 1); rand('state', 1);
  printf('Peak memory of one batch call from Octave, n = %d, K = %d, one channel, every CPU:\n', n, K);
  printf('the rise of the peak resident size during the call over the resident size before it\n');
  printf('(inputs made), against the bytes of the outputs. Octave copies the outputs of a MEX\n');
  printf('file as the call returns: every MEX call peaks at twice its outputs (first row).\n\n');
  printf('| call | outputs (MB) | peak rise (MB) | rise - 2 x outputs (MB) |\n|---|---|---|---|\n');
  unsetenv('LATBOX_NUM_THREADS');
  f = batch_frame(n, K, 1, u);
  X = kelvane_batch(f.Yt, f.R, u, zeros(n + 2, 1), 0);
  A = (tessaly_batch(f.Yt, f.R, u) + u) / 2;
  radius = sum((f.Yi - f.R * A) .^ 2, 1) * (1 + 1e-9) + 1e-300;
  clear A;
  P = K / 10;                                       % quorvin: pages of n-by-n
  [Q, R] = qr(randn(n));
  Qp = repmat(Q, [1, 1, P]); Rp = repmat(R, [1, 1, P]);
  clear Q R;
  calls = {'', 2, {f.Yi, f.R};
           'zarrow_batch', 1, {f.Yi, f.R};
           'tessaly_batch', 1, {f.Yt, f.R, u};
           'plinden_batch', 2, {f.Yi, f.R, radius, 0, u};
           'kelvane_batch', 3, {f.Yt, f.R, u, zeros(n + 2, 1), 0};
           'morrit_batch', 1, {X, u};
           'quorvin_batch', 3, {Qp, Rp, 0.75}};
  for i = 1:rows(calls)
    [name, count, args] = calls{i, :};
    out = cell(1, count);
    before = status_kb('VmRSS');
    reset_peak();
    if isempty(name)
      label = sprintf('a MEX file creating an %d-by-%d output, no work', n, K);
      [t, out{2}] = batch_routine_loop(double('zarrow'), 0, args{:});
      out{1} = [];                                  % its 0-by-1 list of times
    else
      label = sprintf('%s, n = %d, K = %d', name, n, K);
      if strcmp(name, 'quorvin_batch'), label = sprintf('%s, %d pages of %d-by-%d', name, P, n, n); end
      [out{:}] = feval(name, args{:});
    end
    rise = (status_kb('VmHWM') - before) / 1024;
    bytes = sum(cellfun(@(o) numel(o) * 8, out)) / 2^20;
    printf('| %s | %.1f | %.1f | %.1f |\n', label, bytes, rise, rise - 2 * bytes);
    clear out;
  end
end

function kb = status_kb(field)
  txt = fileread('/proc/self/status');
  t = regexp(txt, [field ':\s*(\d+)'], 'tokens', 'once');
  kb = str2double(t{1});
end

function reset_peak()
  fid = fopen('/proc/self/clear_refs', 'w');      % "5" resets the peak resident size
  fprintf(fid, '5');
  fclose(fid);
end
