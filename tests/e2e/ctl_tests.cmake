# cybersecurity_ctl against the real daemon (included by this folder's CMakeLists.txt).
if(TARGET cybersecurity_ctl)
  ev_add_test(NAME ctl_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ctl_test.cpp
    LIBS ev_e2e_support cybersecurity_core
    LABELS native-only
    TIMEOUT 900)
  add_dependencies(ctl_tests cybersecurity_ctl cybersecurity_service)
endif()
