# kestralune_add_test(NAME SOURCES... LIBS ...): one GoogleTest binary registered with CTest.
function(kestralune_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(ARG_LABELS)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# kestralune_add_fuzzer(NAME SOURCE LIBS ...): a libFuzzer target under clang with
# KESTRALUNE_LIBFUZZER, otherwise a standalone driver that replays seeds and a bounded
# number of pseudo-random inputs, run as an ordinary test.
function(kestralune_add_fuzzer name source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  if(KESTRALUNE_LIBFUZZER)
    add_executable(${name} ${source})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(${name} ${source} ${PROJECT_SOURCE_DIR}/tests/fuzz/standalone_driver.cc)
    add_test(NAME ${name} COMMAND ${name} --runs=20000)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()
