# Shared build settings and the helpers every subsystem folder uses.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

set(ORVEX_WARNINGS -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports maybe-uninitialized falsely inside std::variant and std::optional at -O2.
  list(APPEND ORVEX_WARNINGS -Wshadow=local -Wno-maybe-uninitialized)
endif()
if(ORVEX_WERROR)
  list(APPEND ORVEX_WARNINGS -Werror)
endif()

if(ORVEX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Coverage counts every line and branch the tests run; gcovr reads the counts (`make
# coverage`). The program ends with exit() instead of _exit() in this build so that the
# counts of the namespace tests' server runs are written too.
if(ORVEX_COVERAGE)
  add_compile_options(--coverage -O0)
  add_compile_definitions(ORVEX_COVERAGE)
  add_link_options(--coverage)
endif()

if(ORVEX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORVEX_FUZZ needs clang (CXX=clang++)")
  endif()
  # Every object carries the fuzzer's coverage hooks and the sanitizers; the harness
  # executables add the libFuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  file(WRITE ${CMAKE_BINARY_DIR}/fuzzers.txt "")
  add_custom_target(fuzzers)
else()
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# orvex_add_library(NAME SOURCES ... [LIBS ...] [PRIVATE_LIBS ...]): a static library of
# one subsystem. LIBS are what its headers build on, so its users get their include paths
# too; PRIVATE_LIBS serve its sources alone (they are still linked into every program).
# Include paths are rooted at the repository, so code includes "library/library.h"; each
# target names that root itself, and nothing hands it on.
function(orvex_add_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${ORVEX_WARNINGS})
  target_link_libraries(${name} PUBLIC ${A_LIBS} Threads::Threads)
  target_link_libraries(${name} PRIVATE ${A_PRIVATE_LIBS})
endfunction()

# orvex_add_executable(NAME SOURCES...): a program or test program of the tree, with the
# include root and the warnings every target has.
function(orvex_add_executable name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${ORVEX_WARNINGS})
endfunction()

# orvex_test(NAME SOURCES ... [LIBS ...]): a GoogleTest executable whose cases become
# separate ctest tests. Nothing is built in a fuzzing build.
function(orvex_test name)
  if(ORVEX_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  orvex_add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300)
endfunction()

# orvex_fuzzer(NAME SOURCES ... [LIBS ...] CORPUS dir): a libFuzzer harness, built only
# in a fuzzing build. The corpus folder lives in the repository; scripts/run-fuzzers
# reads the list this writes.
function(orvex_fuzzer name)
  if(NOT ORVEX_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzzers ${name})
  file(APPEND ${CMAKE_BINARY_DIR}/fuzzers.txt
       "${CMAKE_BINARY_DIR}/fuzz/${name}\t${CMAKE_CURRENT_SOURCE_DIR}/${A_CORPUS}\n")
endfunction()

# orvex_netns_test(NAME SCRIPT script.py [TIMEOUT s] [UNSHARE flags] [REAL_ROOT] [ARGS ...]):
# a Python test script run as root of a fresh user and network namespace (`unshare -rn`,
# or the given flags, such as -rnm for a mount namespace too), so nothing it does reaches
# the machine's own network. REAL_ROOT: when run by real root, only a network namespace
# is made (`unshare -n`), so that the script can run programs as another real user; the
# script says what it leaves out otherwise. Skipped where unshare is missing, and in a
# fuzzing build.
function(orvex_netns_test name)
  if(ORVEX_FUZZ)
    return()
  endif()
  find_program(ORVEX_UNSHARE unshare)
  if(NOT ORVEX_UNSHARE)
    return()
  endif()
  cmake_parse_arguments(A "REAL_ROOT" "SCRIPT;TIMEOUT;UNSHARE" "ARGS" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  if(NOT A_UNSHARE)
    set(A_UNSHARE -rn)
  endif()
  set(command ${ORVEX_UNSHARE} ${A_UNSHARE} /usr/bin/python3 ${A_SCRIPT} ${A_ARGS})
  if(A_REAL_ROOT)
    set(choose "[ \"$(id -u)\" -eq 0 ] && exec ${ORVEX_UNSHARE} -n \"$@\"")
    set(command /bin/sh -c "${choose} || exec ${ORVEX_UNSHARE} ${A_UNSHARE} \"$@\""
        sh /usr/bin/python3 ${A_SCRIPT} ${A_ARGS})
  endif()
  add_test(NAME ${name} COMMAND ${command})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT})
endfunction()
