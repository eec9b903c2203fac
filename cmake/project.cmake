# Helpers for the project's own targets.

set(QS_WARNINGS -Wall -Wextra -Werror)
# What runs a test executable: wine64 on the host for the x86_64 build; for
# the i686 build the 32-bit loader of the i686 lane's guest (scripts/lib/
# i686-lane), where the build tree is shared at the same path. This machine
# cannot run it, so it is named, not looked for.
# The guest is emulated (plain code about 3.5x slower, process starts 10-30x),
# so its time limits are longer.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QS_WINE /usr/lib/wine/wine)
  set(QS_TIMEOUT_SCALE 4)
else()
  set(QS_TIMEOUT_SCALE 1)
  find_program(QS_WINE64 wine64 PATHS /usr/lib/wine REQUIRED)
  set(QS_WINE ${QS_WINE64})
endif()

# qs_library(NAME SOURCES... [LIBS ...]): a subsystem library qs_NAME.
function(qs_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(qs_${name} STATIC ${ARG_SOURCES})
  target_include_directories(qs_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_compile_options(qs_${name} PRIVATE ${QS_WARNINGS})
  target_link_libraries(qs_${name} PUBLIC ${ARG_LIBS})
endfunction()

# qs_test(NAME SOURCES... [LIBS ...] [PEER cmd...] [LOCK res] [TIMEOUT s])
# One test executable is one ctest entry (each Wine start costs a second).
# PEER names a tools/ script started first on free loopback ports; its
# settings reach the test through environment variables (see tools/peer_run.py).
function(qs_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;PEER;LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_compile_options(${name} PRIVATE ${QS_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qs_testmain)
  # Through peer_run.py even without a peer: it keeps Wine's background
  # processes off the test runner's pipes.
  add_test(NAME ${name}
           COMMAND python3 ${CMAKE_SOURCE_DIR}/tools/peer_run.py ${ARG_PEER}
                   -- ${QS_WINE} $<TARGET_FILE:${name}>)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * ${QS_TIMEOUT_SCALE}")
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_LOCK}")
  endif()
endfunction()

# The product version: the exe's version resource carries it and the
# installer reads it from there, so this is the one place it is set.
# Four dot-separated numbers; releases differ in the first three, which is
# what the program shows and compares.
set(QUILLSTONE_VERSION "${PROJECT_VERSION}" CACHE STRING "Product version, four parts (4.3.0.0)")

# qs_version_rc(OUT VERSION): the version resource of quillstone.exe for
# VERSION, written to OUT.
function(qs_version_rc out version)
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts count)
  if(NOT count EQUAL 4)
    message(FATAL_ERROR "version '${version}' must have four parts")
  endif()
  list(GET parts 0 QS_VERSION_MAJOR)
  list(GET parts 1 QS_VERSION_MINOR)
  list(GET parts 2 QS_VERSION_PATCH)
  list(GET parts 3 QS_VERSION_TWEAK)
  set(QS_VERSION "${version}")
  configure_file(${CMAKE_SOURCE_DIR}/src/host/version.rc.in ${out} @ONLY)
endfunction()
