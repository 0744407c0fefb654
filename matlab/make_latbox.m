function make_latbox(outdir)
%MAKE_LATBOX Build the latbox MEX files with the MEX compiler of Octave or MATLAB.
%   MAKE_LATBOX builds every latbox function into the folder of this script.
%   MAKE_LATBOX(OUTDIR) builds them into OUTDIR and copies the help files there.
%   Afterwards ADDPATH that folder.
%
%   Octave (Debian: apt-get install octave liboctave-dev libopenblas64-dev):
%     the MEX files are built by mkoctfile --mex; the solver links the static
%     64-bit-integer OpenBLAS with its symbols kept local, so that it never binds
%     to the BLAS that Octave itself has loaded.
%   MATLAB (a supported C++ compiler set up with "mex -setup C++"):
%     the separate-complex API (-R2017b) is used, and the solver links MATLAB's
%     own 64-bit-integer BLAS and LAPACK (-lmwblas -lmwlapack).
%   Every build compiles with -ffp-contract=off, so that results are the same
%   bit for bit on every machine.
%
%   See also ZARROW, TESSALY, PLINDEN.
  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  if nargin < 1
    outdir = here;
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  is_octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  fns = latbox_functions(is_octave);
  for i = 1:numel(fns)
    f = fns{i};
    src = [{'host/mex_entry.cpp', 'host/host_mex.cpp', 'gateways/args.cpp', ...
            ['gateways/' f.name '.cpp']}, f.sources];
    src = cellfun(@(s) fullfile(root, s), src, 'UniformOutput', false);
    defs = [{['-I' root], ['-DLATBOX_GATEWAY=' f.name '_gateway']}, f.defines];
    if is_octave
      old = getenv('CXXFLAGS');
      setenv('CXXFLAGS', '-O2 -std=c++17 -ffp-contract=off -fPIC');
      args = [defs, src, f.libs, {'-o', fullfile(outdir, [f.name '.mex'])}];
      mex(args{:});
      setenv('CXXFLAGS', old);
    else
      args = [{'-R2017b', 'CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off', ...
               '-outdir', outdir, '-output', f.name}, defs, src, f.libs];
      mex(args{:});
    end
    if ~strcmp(outdir, here)
      copyfile(fullfile(here, [f.name '.m']), outdir);
    end
    fprintf('built %s\n', f.name);
  end
end

function fns = latbox_functions(is_octave)
% One entry per function: the host-free sources it needs, defines and libraries.
  fns = {};
  fns{end+1} = entry('zarrow', {'detect/decision_feedback.cpp'});
  fns{end+1} = entry('tessaly', {'detect/decision_feedback.cpp'});
  fns{end+1} = entry('plinden', {'detect/sphere_search.cpp'});
  fns{end+1} = entry('quorvin', {'reduce/reduce_qr_factors.cpp'});
  fns{end+1} = entry('morrit', {'box/bound_classification.cpp'});
  [blas_defines, blas_libs] = blas64_binding(is_octave);
  fns{end+1} = entry('kelvane', {'box/blas64.cpp', 'box/gram_inverse.cpp', 'box/bvls.cpp'}, ...
                     blas_defines, blas_libs);
end

function f = entry(name, sources, defines, libs)
  if nargin < 3, defines = {}; end
  if nargin < 4, libs = {}; end
  f = struct('name', name, 'sources', {sources}, 'defines', {defines}, 'libs', {libs});
end

function [defines, libs] = blas64_binding(is_octave)
% BLAS/LAPACK with 64-bit integers for kelvane (box/blas64.h has the one switch).
%   Octave: Octave has already loaded its own 32-bit-integer BLAS under the standard
%     names, so kelvane links the static archive of Debian's 64-bit OpenBLAS
%     (libopenblas64-serial-dev) and keeps all its symbols local to the MEX file
%     (-Wl,--exclude-libs,ALL); the LAPACK part needs libgfortran. Set the environment
%     variable LATBOX_BLAS64_ARCHIVE to use another archive.
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
  candidates = {archive, ...
                '/usr/lib/x86_64-linux-gnu/openblas64-serial/libopenblas64.a', ...
                '/usr/lib/x86_64-linux-gnu/openblas64-pthread/libopenblas64.a', ...
                '/usr/lib/x86_64-linux-gnu/libopenblas64.a'};
  archive = '';
  for i = 1:numel(candidates)
    if ~isempty(candidates{i}) && exist(candidates{i}, 'file')
      archive = candidates{i};
      break;
    end
  end
  if isempty(archive)
    error('make_latbox: libopenblas64.a not found (apt-get install libopenblas64-serial-dev, or set LATBOX_BLAS64_ARCHIVE)');
  end
  libs = {archive, '-lgfortran', '-lpthread', '-Wl,--exclude-libs,ALL'};
end
