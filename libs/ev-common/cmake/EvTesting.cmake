# ev_add_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>])
#
# One GoogleTest binary registered as one CTest test. Without LIBS, a test in
# libs/ev-common/tests/<folder> links the part of ev_common it tests, so that
# it builds while other folders are in flux. The label "native-only" marks
# tests that need what an emulated armhf run cannot give (mount namespaces,
# the real update tool, root); the cross run excludes them.
include_guard(GLOBAL)

function(ev_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  if(NOT T_LIBS)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    if(TARGET ev_common_${folder})
      set(T_LIBS ev_common_${folder})
    else()
      set(T_LIBS ev_common)
    endif()
  endif()
  target_link_libraries(${T_NAME} PRIVATE ev_test_support ${T_LIBS} GTest::gmock GTest::gtest_main)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
