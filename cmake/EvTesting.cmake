# ev_add_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>])
#
# One GoogleTest binary registered as one CTest test. The label "native-only"
# marks tests that need what an emulated armhf run cannot give (mount
# namespaces, the real update tool, root); the cross run excludes them.
function(ev_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
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
