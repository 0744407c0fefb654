% SPDX-License-Identifier: BSD-3-Clause
function text = study_thread_note()
%STUDY_THREAD_NOTE The threads a study's batch calls may use, as its report states them.
%   TEXT = STUDY_THREAD_NOTE() is 'LATBOX_NUM_THREADS=<value>' when that variable is
%   set, else the CPUs available (their number in Octave).
%
%   Example:
%     disp(study_thread_note())
%
%   See also detection_study, soft_study.
  threads = getenv('LATBOX_NUM_THREADS');
  if ~isempty(threads)
    text = sprintf('LATBOX_NUM_THREADS=%s', threads);
  elseif exist('OCTAVE_VERSION', 'builtin')
    text = sprintf('threads: up to %d (the CPUs available)', nproc());
  else
    text = 'threads: the CPUs available';
  end
end
