# SPDX-License-Identifier: BSD-3-Clause
# The list of MEX functions (gateways/mex_functions.txt) and the one recipe for a MEX file.

get_filename_component(LATBOX_ROOT ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)

# The sources every MEX file has besides its gateway gateways/<name>.cpp.
set(LATBOX_MEX_COMMON_SOURCES ${LATBOX_ROOT}/host/mex_entry.cpp ${LATBOX_ROOT}/host/host_mex.cpp
    ${LATBOX_ROOT}/gateways/args.cpp)

# latbox_read_mex_functions(<file>)
# Reads the function list. Sets LATBOX_FUNCTIONS (the names in the order of the file) and,
# for each name, LATBOX_MEX_NEEDS_<name> (blas, threads), LATBOX_MEX_EXTRA_<name> (its
# host-free sources) and LATBOX_MEX_SOURCES_<name> (every source of its MEX file), all
# with absolute paths.
function(latbox_read_mex_functions file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  file(STRINGS ${file} lines)
  set(known_needs blas threads)
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    endif()
    string(REGEX REPLACE "[ \t]+" ";" fields "${line}")
    list(LENGTH fields count)
    if(count LESS 2)
      message(FATAL_ERROR "${file}: '${line}': expected a name, its needs and its sources")
    endif()
    list(POP_FRONT fields name needs)
    if(NOT name MATCHES "^[A-Za-z][A-Za-z0-9_]*$")
      message(FATAL_ERROR "${file}: '${name}' is not a function name")
    endif()
    if(name IN_LIST names)
      message(FATAL_ERROR "${file}: ${name} is listed twice")
    endif()
    if(needs STREQUAL "-")
      set(needs "")
    else()
      string(REPLACE "," ";" needs "${needs}")
    endif()
    foreach(need IN LISTS needs)
      if(NOT need IN_LIST known_needs)
        message(FATAL_ERROR "${file}: ${name} needs '${need}' (known: ${known_needs}, or -)")
      endif()
    endforeach()
    set(extra)
    foreach(source IN LISTS fields)
      list(APPEND extra ${LATBOX_ROOT}/${source})
    endforeach()
    list(APPEND names ${name})
    set(LATBOX_MEX_NEEDS_${name} ${needs} PARENT_SCOPE)
    set(LATBOX_MEX_EXTRA_${name} ${extra} PARENT_SCOPE)
    set(LATBOX_MEX_SOURCES_${name} ${LATBOX_MEX_COMMON_SOURCES}
        ${LATBOX_ROOT}/gateways/${name}.cpp ${extra} PARENT_SCOPE)
  endforeach()
  set(LATBOX_FUNCTIONS ${names} PARENT_SCOPE)
endfunction()

# latbox_need_libraries(<out-var> <need>...): the link libraries for a list of needs.
function(latbox_need_libraries out)
  set(libraries)
  foreach(need IN LISTS ARGN)
    if(need STREQUAL "blas")
      list(APPEND libraries latbox_blas64)
    elseif(need STREQUAL "threads")
      list(APPEND libraries Threads::Threads)
    endif()
  endforeach()
  set(${out} ${libraries} PARENT_SCOPE)
endfunction()

# Octave's MEX interface: headers and libraries as mkoctfile reports them.
if(LATBOX_MEX)
  find_program(MKOCTFILE mkoctfile REQUIRED)
  execute_process(COMMAND ${MKOCTFILE} -p INCFLAGS OUTPUT_VARIABLE LATBOX_OCTAVE_INCFLAGS
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${MKOCTFILE} -p OCTLIBDIR OUTPUT_VARIABLE LATBOX_OCTAVE_LIBDIR
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(LATBOX_OCTAVE_INCFLAGS UNIX_COMMAND "${LATBOX_OCTAVE_INCFLAGS}")
  # Octave's libraries come last on a MEX file's link line: a name that both they and a
  # static archive of the MEX file define (liboctave has its own xerbla_) must resolve
  # inside the archive, not bind to Octave's copy.
  add_library(latbox_octave INTERFACE)
  target_link_directories(latbox_octave INTERFACE ${LATBOX_OCTAVE_LIBDIR})
  target_link_libraries(latbox_octave INTERFACE octinterp octave)
endif()

# latbox_add_mex(<target> OUTPUT_NAME <name> OUTPUT_DIRECTORY <dir> SOURCES <source>...
#                [DEFINITIONS <definition>...] [LIBRARIES <library>...] [HELP <file>])
# A MEX file <dir>/<name>.mex for Octave, exporting mexFunction alone: everything else,
# including whatever static archive it links, stays local to it. HELP is copied next to it.
function(latbox_add_mex target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_NAME;OUTPUT_DIRECTORY;HELP"
                        "SOURCES;DEFINITIONS;LIBRARIES")
  add_library(${target} MODULE ${arg_SOURCES})
  target_compile_options(${target} PRIVATE ${LATBOX_OCTAVE_INCFLAGS})
  target_compile_definitions(${target} PRIVATE ${arg_DEFINITIONS})
  target_link_libraries(${target} PRIVATE latbox_defaults ${arg_LIBRARIES} latbox_octave)
  target_link_options(${target} PRIVATE "LINKER:--exclude-libs,ALL")
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${arg_OUTPUT_NAME} PREFIX "" SUFFIX ".mex"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${arg_OUTPUT_DIRECTORY})
  if(arg_HELP)
    get_filename_component(help_name ${arg_HELP} NAME)
    configure_file(${arg_HELP} ${arg_OUTPUT_DIRECTORY}/${help_name} COPYONLY)
  endif()
endfunction()
