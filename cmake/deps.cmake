# Third-party libraries, compiled from the sources that scripts/bootstrap
# fetched (Debian source packages) and from Debian's googletest.

set(QS_SQLITE_DIR ${QS_DEPS_DIR}/sqlite-amalgamation)
set(QS_CJSON_DIR ${QS_DEPS_DIR}/cjson)
if(NOT EXISTS ${QS_SQLITE_DIR}/sqlite3.c OR NOT EXISTS ${QS_CJSON_DIR}/cJSON.c)
  message(FATAL_ERROR "Dependency sources missing under ${QS_DEPS_DIR}: run scripts/bootstrap")
endif()

# SQLITE_WIN32_NO_OVERLAPPED: positioned reads and writes through an
# OVERLAPPED offset cost Wine a server round trip each; seek-then-read does
# not (a job's write transaction went from about 1 ms to 0.3 ms). Each file
# belongs to one connection, which SQLite serializes, so the two calls
# cannot interleave.
add_library(sqlite3 STATIC ${QS_SQLITE_DIR}/sqlite3.c)
target_include_directories(sqlite3 SYSTEM PUBLIC ${QS_SQLITE_DIR})
target_compile_definitions(sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_DQS=0
                           SQLITE_DEFAULT_FOREIGN_KEYS=0 SQLITE_OMIT_LOAD_EXTENSION
                           SQLITE_WIN32_NO_OVERLAPPED)
target_compile_options(sqlite3 PRIVATE -O2 -w)

add_library(cjson STATIC ${QS_CJSON_DIR}/cJSON.c)
target_include_directories(cjson SYSTEM PUBLIC ${QS_CJSON_DIR})
# cJSON's whole public interface is exported from the executable.
target_compile_definitions(cjson PUBLIC CJSON_EXPORT_SYMBOLS CJSON_API_VISIBILITY)
target_compile_options(cjson PRIVATE -w)

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
  if(TARGET ${t})
    target_compile_options(${t} PRIVATE -w)
  endif()
endforeach()
