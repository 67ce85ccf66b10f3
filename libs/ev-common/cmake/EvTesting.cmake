# ev_add_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>])
#
# One GoogleTest binary registered as one CTest test. Without LIBS, a test in
# libs/ev-common/tests/<folder> links the part of ev_common it tests, so that
# it builds while other folders are in flux. The label "native-only" marks
# tests that need what an emulated armhf run cannot give (mount namespaces,
# the real update tool, root); the cross run excludes them.
#
# Which tests a build holds: EV_TEST_FILTER (a regular expression over test
# names, empty for all) and EV_NATIVE_ONLY_TESTS (OFF leaves out the tests
# labelled native-only). A test left out is neither built by default nor
# registered, so a build that runs a few tests compiles only those. Each test
# binary is compiled as one unit (EV_UNITY_TESTS): its files share the test
# framework's headers, which dominate their compile time.
include_guard(GLOBAL)

set(EV_TEST_FILTER "" CACHE STRING "Regular expression over the test names to build (empty: all)")
option(EV_NATIVE_ONLY_TESTS "Build the tests labelled native-only" ON)
option(EV_UNITY_TESTS "Compile each test binary as one unit" ON)

function(ev_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  set(wanted ON)
  if(EV_TEST_FILTER AND NOT T_NAME MATCHES "${EV_TEST_FILTER}")
    set(wanted OFF)
  endif()
  if(NOT EV_NATIVE_ONLY_TESTS AND "native-only" IN_LIST T_LABELS)
    set(wanted OFF)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  # Left out: still a target (a CMakeLists may add to it), never built by
  # default, never run.
  if(NOT wanted)
    set_target_properties(${T_NAME} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
  # Line tables are all a test binary needs: full debug information of the
  # optimised test bodies doubles their compile time.
  target_compile_options(${T_NAME} PRIVATE $<$<CONFIG:RelWithDebInfo>:-g1>)
  if(EV_UNITY_TESTS)
    set_target_properties(${T_NAME} PROPERTIES UNITY_BUILD ON UNITY_BUILD_MODE BATCH
                                               UNITY_BUILD_BATCH_SIZE 0)
    # A fixture in a file's anonymous namespace is fine in its own unit; GCC
    # only warns because the unit now includes the file.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${T_NAME} PRIVATE -Wno-subobject-linkage)
    endif()
  endif()
  if(NOT T_LIBS)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    if(TARGET ev_common_${folder})
      set(T_LIBS ev_common_${folder})
    else()
      set(T_LIBS ev_common)
    endif()
  endif()
  target_link_libraries(${T_NAME} PRIVATE ev_test_support ${T_LIBS} GTest::gmock GTest::gtest_main)
  if(NOT wanted)
    return()
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
