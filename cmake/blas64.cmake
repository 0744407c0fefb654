# BLAS and LAPACK with 64-bit integers for the box-constrained solver.
#
# The solver calls the standard names (dgemv_, dpotrf_, ...). Octave has already loaded
# its own BLAS with 32-bit integers under those same names, and a MEX file linked to a
# shared libopenblas64 would have its calls bound to Octave's copy. So the MEX file links
# the static archive of Debian's 64-bit OpenBLAS and keeps every archive symbol local
# (--exclude-libs,ALL): its calls are resolved inside the MEX file at link time and
# nothing from the archive is exported. The serial build is the default (see
# bench/kelvane: threads only cost time at these sizes, and a MEX file should not start
# a thread pool inside the host); LATBOX_BLAS64_ARCHIVE selects another archive.
find_library(LATBOX_BLAS64_ARCHIVE
  NAMES libopenblas64.a
  PATHS /usr/lib/x86_64-linux-gnu/openblas64-serial /usr/lib/x86_64-linux-gnu/openblas64-pthread
        /usr/lib/x86_64-linux-gnu
  NO_DEFAULT_PATH
  DOC "static archive of a BLAS/LAPACK with 64-bit integers and the standard symbol names")
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
find_package(Threads REQUIRED)

add_library(latbox_blas64 INTERFACE)
target_link_libraries(latbox_blas64 INTERFACE ${LATBOX_BLAS64_ARCHIVE} ${LATBOX_GFORTRAN}
                      Threads::Threads m)
target_link_libraries(latbox_core PUBLIC latbox_blas64)

if(TARGET kelvane_mex)
  target_link_options(kelvane_mex PRIVATE "LINKER:--exclude-libs,ALL")
endif()

# A test artefact, never installed: the solver linked the naive way, to the shared
# libopenblas64, so that inside Octave its calls bind to Octave's own 32-bit-integer BLAS.
# The Octave tests call it to show that the binding check of kelvane notices (the real
# kelvane.mex must never give that error).
if(TARGET kelvane_mex AND LATBOX_TESTS)
  find_library(LATBOX_BLAS64_SHARED NAMES libopenblas64.so.0 libopenblas64.so
    PATHS /usr/lib/x86_64-linux-gnu/openblas64-serial /usr/lib/x86_64-linux-gnu/openblas64-pthread
          /usr/lib/x86_64-linux-gnu NO_DEFAULT_PATH)
  if(LATBOX_BLAS64_SHARED)
    add_library(kelvane_hostbound_mex MODULE host/mex_entry.cpp host/host_mex.cpp
                gateways/args.cpp gateways/kelvane.cpp box/blas64.cpp box/bvls.cpp
                box/gram_inverse.cpp)
    target_include_directories(kelvane_hostbound_mex PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_options(kelvane_hostbound_mex PRIVATE ${OCT_INCFLAGS})
    target_compile_definitions(kelvane_hostbound_mex PRIVATE LATBOX_GATEWAY=kelvane_gateway)
    target_link_directories(kelvane_hostbound_mex PRIVATE ${OCT_LIBDIR})
    target_link_libraries(kelvane_hostbound_mex PRIVATE octinterp octave ${LATBOX_BLAS64_SHARED})
    set_target_properties(kelvane_hostbound_mex PROPERTIES
      OUTPUT_NAME kelvane_hostbound PREFIX "" SUFFIX ".mex"
      CXX_VISIBILITY_PRESET hidden
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/mex-test)
  endif()
endif()
