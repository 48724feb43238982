include(GoogleTest)

set(QUORVANE_TEST_ENVIRONMENT
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "LSAN_OPTIONS=print_suppressions=0")

# quorvane_add_test(<name> SOURCES ... [LIBS ...] [TIMEOUT seconds]
#                   [PROPERTIES name value ...])
# Builds one GoogleTest program and registers each of its cases with CTest,
# every case bounded by a time-out; PROPERTIES are further CTest properties of
# every case (RESOURCE_LOCK, for instance).
function(quorvane_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/cmake/SanitizerOptions.cpp)
  # CTest hands the discovered tests only the first entry of the environment
  # list, so the options and the leak suppressions are also built into the
  # program.
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${QUORVANE_TEST_ENVIRONMENT}"
               ${ARG_PROPERTIES})
endfunction()
