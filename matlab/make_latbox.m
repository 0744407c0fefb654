% SPDX-License-Identifier: BSD-3-Clause
function make_latbox(outdir)
%MAKE_LATBOX Build the latbox MEX files with the MEX compiler of Octave or MATLAB.
%   MAKE_LATBOX builds every latbox function into the folder of this script.
%   MAKE_LATBOX(OUTDIR) builds them into OUTDIR and copies the help files and
%   LATBOX_VERSION there.
%   Afterwards ADDPATH that folder. The functions, what each one needs and its
%   sources are read from gateways/mex_functions.txt.
%
%   Octave (Debian: apt-get install octave liboctave-dev libopenblas64-serial-dev
%   gfortran):
%     the MEX files are built by mkoctfile --mex; KELVANE and KELVANE_BATCH
%     alone link the static 64-bit-integer OpenBLAS, with its symbols kept
%     local, so that they never bind to the BLAS that Octave itself has loaded.
%     The environment variable LATBOX_BLAS64_ARCHIVE selects another archive.
%     The batch forms (*_BATCH) also link the thread library (-pthread).
%   MATLAB (a supported C++ compiler set up with "mex -setup C++"):
%     the separate-complex API (-R2017b) is used, and KELVANE and KELVANE_BATCH
%     link MATLAB's own 64-bit-integer BLAS and LAPACK (-lmwblas -lmwlapack).
%   Every build compiles with -ffp-contract=off, so that results are the same
%   bit for bit on every machine.
%
%   See also ZARROW, TESSALY, PLINDEN, QUORVIN, MORRIT, KELVANE, ZARROW_BATCH,
%   TESSALY_BATCH, PLINDEN_BATCH, QUORVIN_BATCH, MORRIT_BATCH, KELVANE_BATCH,
%   PLINDEN_LLR.
  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  if nargin < 1
    outdir = here;
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  is_octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  fns = read_function_list(fullfile(root, 'gateways', 'mex_functions.txt'));
  if is_octave
    % mkoctfile takes the compiler flags from the environment; they are put back
    % however the build ends
    old_cxxflags = getenv('CXXFLAGS');
    restore = onCleanup(@() restore_env('CXXFLAGS', old_cxxflags));
    setenv('CXXFLAGS', '-O2 -std=c++17 -ffp-contract=off -fno-fast-math -fPIC');
  end
  blas_ready = false;
  for i = 1:numel(fns)
    f = fns{i};
    src = [{'host/mex_entry.cpp', 'host/host_mex.cpp', 'gateways/args.cpp', ...
            ['gateways/' f.name '.cpp']}, f.sources];
    src = cellfun(@(s) fullfile(root, s), src, 'UniformOutput', false);
    defs = {['-I' root], ['-DLATBOX_GATEWAY=' f.name '_gateway']};
    libs = {};
    for k = 1:numel(f.needs)
      switch f.needs{k}
        case 'blas'
          if ~blas_ready
            [blas_defines, blas_libs] = blas64_binding(is_octave);
            blas_ready = true;
          end
          defs = [defs, blas_defines];
          libs = [libs, blas_libs];
        case 'threads'
          % MATLAB's compiler options on Linux and macOS already have -pthread
          if is_octave
            libs = [libs, {'-pthread'}];
          end
        otherwise
          error('make_latbox: %s needs ''%s'', which this script does not know', ...
                f.name, f.needs{k});
      end
    end
    if is_octave
      args = [defs, src, libs, {'-o', fullfile(outdir, [f.name '.mex'])}];
    else
      args = [{'-R2017b', 'CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off -fno-fast-math', ...
               '-outdir', outdir, '-output', f.name}, defs, src, libs];
    end
    mex(args{:});
    if ~strcmp(outdir, here)
      copyfile(fullfile(here, [f.name '.m']), outdir);
    end
    fprintf('built %s\n', f.name);
  end
  if ~strcmp(outdir, here)
    % latbox_version and the one file that holds the version
    copyfile(fullfile(here, 'latbox_version.m'), outdir);
    copyfile(fullfile(root, 'VERSION'), outdir);
    % and the functions written in Octave/MATLAB (m_functions.txt)
    mlist = regexp(fileread(fullfile(here, 'm_functions.txt')), '(?m)^[a-z]\w*', 'match');
    for i = 1:numel(mlist)
      copyfile(fullfile(here, [mlist{i} '.m']), outdir);
    end
  end
end

function fns = read_function_list(file)
% The functions of the list, one a line: name, needs (comma-separated, or - for
% nothing) and the host-free sources beyond the common ones; # starts a comment.
  text = fileread(file);
  lines = regexp(text, '\r?\n', 'split');
  fns = {};
  for i = 1:numel(lines)
    entry = strtrim(regexprep(lines{i}, '#.*$', ''));
    if isempty(entry)
      continue;
    end
    fields = regexp(entry, '\s+', 'split');
    if numel(fields) < 2
      error('make_latbox: %s: ''%s'': expected a name, its needs and its sources', file, entry);
    end
    needs = {};
    if ~strcmp(fields{2}, '-')
      needs = regexp(fields{2}, ',', 'split');
    end
    fns{end+1} = struct('name', fields{1}, 'needs', {needs}, 'sources', {fields(3:end)}); %#ok<AGROW>
  end
end

function restore_env(name, value)
  if isempty(value) && exist('OCTAVE_VERSION', 'builtin') ~= 0
    unsetenv(name);
  else
    setenv(name, value);
  end
end

function [defines, libs] = blas64_binding(is_octave)
% BLAS/LAPACK with 64-bit integers (box/blas64.h has the one switch).
%   Octave: Octave has already loaded its own 32-bit-integer BLAS under the standard
%     names, so the MEX file links the static archive of Debian's 64-bit OpenBLAS
%     (libopenblas64-serial-dev) and keeps all its symbols local
%     (-Wl,--exclude-libs,ALL); the LAPACK part needs libgfortran. The environment
%     variable LATBOX_BLAS64_ARCHIVE selects another archive.
%   MATLAB: libmwblas and libmwlapack take 64-bit integers (ptrdiff_t) and are the
%     host's own, so binding to them is right. Their names are dgemv_ on Linux and
%     macOS, dgemv on Windows (-DLATBOX_BLAS_NO_UNDERSCORE).
  defines = {};
  if ~is_octave
    libs = {'-lmwblas', '-lmwlapack'};
    if ispc
      defines = {'-DLATBOX_BLAS_NO_UNDERSCORE'};
    end
    return;
  end
  archive = getenv('LATBOX_BLAS64_ARCHIVE');
  if isempty(archive)
    archive = find_blas64_archive();
  elseif ~exist(archive, 'file')
    error('make_latbox: LATBOX_BLAS64_ARCHIVE names %s, which does not exist', archive);
  end
  libs = {archive, '-lgfortran', '-lpthread', '-Wl,--exclude-libs,ALL'};
end

function archive = find_blas64_archive()
% libopenblas64.a in the usual library folders (the serial build first), or where
% pkg-config says it is.
  dirs = {};
  [status, multiarch] = system('gcc -print-multiarch 2>&1');
  if status == 0 && ~isempty(strtrim(multiarch))
    dirs{end+1} = ['/usr/lib/' strtrim(multiarch)];
  end
  dirs = [dirs, {'/usr/lib64', '/usr/lib', '/usr/local/lib'}];
  [status, libdir] = system('pkg-config --variable=libdir openblas64 2>&1');
  if status == 0 && ~isempty(strtrim(libdir))
    dirs{end+1} = strtrim(libdir);
  end
  suffixes = {'openblas64-serial', 'openblas64-pthread', ''};
  for i = 1:numel(dirs)
    for k = 1:numel(suffixes)
      archive = fullfile(dirs{i}, suffixes{k}, 'libopenblas64.a');
      if exist(archive, 'file')
        return;
      end
    end
  end
  error(['make_latbox: libopenblas64.a not found (apt-get install libopenblas64-serial-dev, ' ...
         'or set LATBOX_BLAS64_ARCHIVE)']);
end
