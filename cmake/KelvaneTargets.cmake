# Shared settings for every Kelvane target: warnings, sanitizers and the
# precompiled headers that keep asio and nlohmann::json from being parsed in
# every translation unit.

set(KELVANE_PCH_HEADERS <asio.hpp> <nlohmann/json.hpp> <string> <vector> <optional> <functional> <memory> <chrono>)

function(kelvane_apply_settings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  # asio does not detect C++20 coroutines on clang with libstdc++; say so.
  target_compile_definitions(${target} PUBLIC ASIO_NO_DEPRECATED ASIO_HAS_CO_AWAIT=1 ASIO_HAS_STD_COROUTINE=1)
  if(KELVANE_SANITIZE)
    # clang 14 cannot emit the "function" check for coroutine frames.
    target_compile_options(${target} PRIVATE -O1 -fsanitize=address,undefined -fno-sanitize=function -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# kelvane_library(<name> SOURCES ... [DEPS ...])
function(kelvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_SOURCES)
    # A folder without sources yet (header-only or still empty).
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  kelvane_apply_settings(${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  target_precompile_headers(${name} PRIVATE ${KELVANE_PCH_HEADERS})
endfunction()

# kelvane_executable(<name> SOURCES ... [DEPS ...])
function(kelvane_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  kelvane_apply_settings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# kelvane_test(<name> SOURCES ... [DEPS ...] [LABELS ...])
# One GoogleTest executable; every test case becomes a CTest test carrying the
# labels. "unit" suites also run under the sanitizer configuration; suites that
# start real peers (Samba, rclone, an OpenID provider) carry the label "peer".
function(kelvane_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if("peer" IN_LIST ARG_LABELS AND NOT KELVANE_PEER_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  kelvane_apply_settings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_precompile_headers(${name} PRIVATE ${KELVANE_PCH_HEADERS} <gtest/gtest.h>)
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()
