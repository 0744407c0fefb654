# SPDX-License-Identifier: BSD-3-Clause
# BLAS and LAPACK with 64-bit integers for the box-constrained solver: the interface
# target latbox_blas64.
#
# The solver calls the standard names (dgemv_, dpotrf_, ...). Octave has already loaded
# its own BLAS with 32-bit integers under those same names, and a MEX file linked to a
# shared libopenblas64 would have its calls bound to Octave's copy. So the MEX file links
# the static archive of Debian's 64-bit OpenBLAS and keeps every archive symbol local
# (--exclude-libs,ALL, see latbox_add_mex): its calls are resolved inside the MEX file at
# link time and nothing from the archive is exported. Only the MEX files of functions that
# need it link the archive. The serial build is the default (see bench/kelvane: threads
# only cost time at these sizes, and a MEX file should not start a thread pool inside the
# host); the cache variable LATBOX_BLAS64_ARCHIVE selects another archive.
find_library(LATBOX_BLAS64_ARCHIVE
  NAMES libopenblas64.a
  PATH_SUFFIXES openblas64-serial openblas64-pthread
  DOC "static archive of a BLAS/LAPACK with 64-bit integers and the standard symbol names")
if(NOT LATBOX_BLAS64_ARCHIVE)
  # elsewhere than the usual library folders: where pkg-config says it is
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_get_variable(LATBOX_OPENBLAS64_LIBDIR openblas64 libdir)
  endif()
  if(LATBOX_OPENBLAS64_LIBDIR)
    find_library(LATBOX_BLAS64_ARCHIVE NAMES libopenblas64.a HINTS ${LATBOX_OPENBLAS64_LIBDIR})
  endif()
endif()
if(NOT LATBOX_BLAS64_ARCHIVE)
  message(FATAL_ERROR "libopenblas64.a not found: apt-get install libopenblas64-serial-dev "
                      "(or set LATBOX_BLAS64_ARCHIVE)")
endif()
message(STATUS "64-bit-integer BLAS/LAPACK: ${LATBOX_BLAS64_ARCHIVE}")

# The archive's LAPACK part is gfortran code; the threaded build also needs pthreads.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgfortran.so
                OUTPUT_VARIABLE LATBOX_GFORTRAN OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS "${LATBOX_GFORTRAN}")
  set(LATBOX_GFORTRAN gfortran)
endif()

add_library(latbox_blas64 INTERFACE)
target_link_libraries(latbox_blas64 INTERFACE ${LATBOX_BLAS64_ARCHIVE} ${LATBOX_GFORTRAN}
                      Threads::Threads m)
