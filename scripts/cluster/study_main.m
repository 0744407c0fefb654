% SPDX-License-Identifier: BSD-3-Clause
% The Octave entry of scripts/cluster/run_shard.sh and merge.sh: study_command with the
% command line's arguments (octave-cli study_main.m shard|merge STUDY FOLDER ...).
args = argv();
study_command(args{:});
