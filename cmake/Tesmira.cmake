# Shared build rules: warnings, sanitizers and test registration.

set(TESMIRA_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers)
# GCC 12 at -O3 reports std::string's own operator+ as overlapping copies of 2^63 bytes
# (GCC bug 105329); a Release build would stop inside the standard library.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND TESMIRA_WARNINGS -Wno-restrict)
endif()

if(TESMIRA_SANITIZE STREQUAL "address")
  # GCC leaves float-to-integer overflow out of "undefined".
  add_compile_options(-fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined,float-cast-overflow)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
elseif(TESMIRA_SANITIZE STREQUAL "fuzz")
  # libFuzzer (clang): every object carries the fuzzer's coverage; only the targets in
  # tests/fuzz link its main. This flavour hunts faults, so clang's own warnings do not stop it.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined,float-cast-overflow -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
  list(REMOVE_ITEM TESMIRA_WARNINGS -Werror)
elseif(TESMIRA_SANITIZE STREQUAL "thread")
  # Explicit fences are kept where the channel protocol names them; TSan only warns it cannot model them.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
endif()

# One suppression file per sanitizer for every test (child processes inherit the variable).
set(_supp ${CMAKE_CURRENT_LIST_DIR}/sanitizers)
set(TESMIRA_SANITIZER_TEST_ENV "")
if(TESMIRA_SANITIZE STREQUAL "address")
  set(TESMIRA_SANITIZER_TEST_ENV "LSAN_OPTIONS=suppressions=${_supp}/lsan.supp:print_suppressions=0")
elseif(TESMIRA_SANITIZE STREQUAL "thread")
  set(TESMIRA_SANITIZER_TEST_ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${_supp}/tsan.supp")
endif()

# Our own code builds with warnings as errors.
function(tesmira_target_defaults target)
  target_compile_options(${target} PRIVATE ${TESMIRA_WARNINGS})
endfunction()

# tesmira_add_tests(NAME <name> DIR <folder> LIBS <libs...>)
# Every *_test.cpp in DIR goes into test executable NAME, every
# *_concurrency_test.cpp into NAME_concurrency (label "concurrency", also run under TSan).
# Each test case runs as its own process, so cases never share a machine root.
function(tesmira_add_tests)
  cmake_parse_arguments(T "" "NAME;DIR" "LIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${T_DIR}/*_test.cpp)
  file(GLOB conc CONFIGURE_DEPENDS ${T_DIR}/*_concurrency_test.cpp)
  set(plain ${all})
  if(conc)
    list(REMOVE_ITEM plain ${conc})
  endif()
  if(plain AND NOT TESMIRA_ONLY_CONCURRENCY_TESTS)
    _tesmira_test_exe(${T_NAME} "unit" "${plain}" "${T_LIBS}")
  endif()
  if(conc)
    _tesmira_test_exe(${T_NAME}_concurrency "concurrency" "${conc}" "${T_LIBS}")
  endif()
endfunction()

function(_tesmira_test_exe name label sources libs)
  add_executable(${name} ${sources})
  tesmira_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${libs} tesmira_test_support GTest::gtest GTest::gmock Threads::Threads)
  set(env "")
  if(TESMIRA_SANITIZER_TEST_ENV)
    set(env ENVIRONMENT "${TESMIRA_SANITIZER_TEST_ENV}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label} TIMEOUT 120 ${env})
endfunction()

# tesmira_add_benchmark(<name> <sources...> LIBS <libs...>)
function(tesmira_add_benchmark name)
  cmake_parse_arguments(B "" "" "LIBS" ${ARGN})
  if(NOT TESMIRA_BENCHMARKS OR TESMIRA_ONLY_CONCURRENCY_TESTS OR NOT TESMIRA_SANITIZE STREQUAL "none")
    return()
  endif()
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_UNPARSED_ARGUMENTS})
  tesmira_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

include(GoogleTest)

# tesmira_add_window_tests(NAME <name> DIR <folder> LIBS <libs...>)
# Every *_window_test.cpp in DIR goes into NAME, labelled "window": these tests open real
# windows and run under xvfb-run, one at a time (see ./tesmira), never in the TSan flavour.
function(tesmira_add_window_tests)
  cmake_parse_arguments(T "" "NAME;DIR" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${T_DIR}/*_window_test.cpp)
  if(sources AND NOT TESMIRA_ONLY_CONCURRENCY_TESTS)
    _tesmira_test_exe(${T_NAME} "window" "${sources}" "${T_LIBS}")
  endif()
endfunction()
