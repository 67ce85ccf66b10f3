# Installs the built project into SCRATCH/<prefix> with DESTDIR and checks the
# tree a device would get: the daemon, the tool, the two units (the daemon and
# its endpoint's socket) and the two configuration files, with the daemon's
# unit naming the installed paths.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=<deploy> -DSCRATCH=... -DEXPECT_CTL=ON|OFF -P check_install_tree.cmake

set(failures "")
macro(fail message)
  list(APPEND failures "${message}")
endmacro()

find_program(SYSTEMD_ANALYZE systemd-analyze)

foreach(prefix /usr /usr/local)
  set(root "${SCRATCH}${prefix}-root")
  file(REMOVE_RECURSE "${root}")
  set(ENV{DESTDIR} "${root}")
  execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  unset(ENV{DESTDIR})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install with prefix ${prefix} failed (${rc}):\n${out}\n${err}")
  endif()

  set(daemon "${prefix}/sbin/cybersecurity_service")
  # /etc for the packages' prefix /usr, the prefix's own etc otherwise.
  if(prefix STREQUAL "/usr")
    set(etc "/etc")
  else()
    set(etc "${prefix}/etc")
  endif()
  set(unit "${root}${prefix}/lib/systemd/system/cybersecurity_service.service")
  if(NOT EXISTS "${root}${daemon}")
    fail("${prefix}: daemon not at ${daemon}")
  endif()
  if(EXPECT_CTL AND NOT EXISTS "${root}${prefix}/bin/cybersecurity_ctl")
    fail("${prefix}: tool not in ${prefix}/bin")
  endif()
  if(NOT EXISTS "${unit}")
    fail("${prefix}: unit not in ${prefix}/lib/systemd/system")
  endif()
  set(socket_unit "${root}${prefix}/lib/systemd/system/cybersecurity_service.socket")
  set(socket_text "")
  if(EXISTS "${socket_unit}")
    file(READ "${socket_unit}" socket_text)
  endif()
  file(READ "${SOURCE_DIR}/systemd/cybersecurity_service.socket" shipped_socket)
  if(NOT socket_text STREQUAL shipped_socket)
    fail("${prefix}: cybersecurity_service.socket not installed as shipped")
  endif()
  foreach(name cybersecurity_service.desc.json cybersecurity_service.json)
    file(READ "${SOURCE_DIR}/config/${name}" shipped)
    set(installed "")
    if(EXISTS "${root}${etc}/cybersecurity_service/${name}")
      file(READ "${root}${etc}/cybersecurity_service/${name}" installed)
    endif()
    if(NOT installed STREQUAL shipped)
      fail("${prefix}: ${etc}/cybersecurity_service/${name} differs from the shipped file")
    endif()
  endforeach()

  if(EXISTS "${unit}")
    file(STRINGS "${unit}" exec REGEX "^ExecStart=")
    separate_arguments(words UNIX_COMMAND "${exec}")
    list(GET words 0 first)
    if(NOT first STREQUAL "ExecStart=${daemon}")
      fail("${prefix}: unit starts '${first}', not ${daemon}")
    endif()
    foreach(option -c -f)
      list(FIND words ${option} at)
      if(at EQUAL -1)
        fail("${prefix}: unit passes no ${option}")
        continue()
      endif()
      math(EXPR at "${at} + 1")
      list(GET words ${at} path)
      if(NOT EXISTS "${root}${path}")
        fail("${prefix}: unit's ${option} ${path} is not installed")
      endif()
    endforeach()
    # The verifier wants the programs on this machine's own paths, so it
    # checks a copy that starts the daemon inside the scratch root, beside
    # the socket unit it requires.
    if(SYSTEMD_ANALYZE)
      file(READ "${unit}" text)
      string(REPLACE "ExecStart=${daemon}" "ExecStart=${root}${daemon}" text "${text}")
      file(WRITE "${root}-verify/cybersecurity_service.service" "${text}")
      file(WRITE "${root}-verify/cybersecurity_service.socket" "${socket_text}")
      execute_process(COMMAND ${SYSTEMD_ANALYZE} verify --man=no
                              "${root}-verify/cybersecurity_service.service"
                              "${root}-verify/cybersecurity_service.socket"
                      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
      # It only warns about a setting it cannot parse, and ignores it.
      if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
        fail("${prefix}: systemd-analyze verify: ${out}${err}")
      endif()
    endif()
  endif()
endforeach()

# Without DESTDIR, an install into a scratch prefix writes nothing outside it.
set(confined "${SCRATCH}/confined")
file(REMOVE_RECURSE "${confined}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${confined}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  fail("install with prefix ${confined} failed (${rc}): ${out}${err}")
else()
  file(STRINGS "${BUILD_DIR}/install_manifest.txt" written)
  foreach(path ${written})
    string(FIND "${path}" "${confined}/" at)
    if(NOT at EQUAL 0)
      fail("install with prefix ${confined} wrote ${path}")
    endif()
  endforeach()
  foreach(expected etc/cybersecurity_service/cybersecurity_service.json
                   include/ev_common/version.hpp include/ev_common/service/service.hpp
                   ${LIBDIR}/cmake/ev_common/ev_commonConfig.cmake
                   ${LIBDIR}/cmake/ev_common/ev_commonConfigVersion.cmake ${LIBDIR}/pkgconfig/ev_common.pc
                   ${LIBDIR}/cmake/ev_common/ev_common_serviceTargets.cmake
                   ${LIBDIR}/pkgconfig/ev_common_service.pc include/ev_common/config/typed_parameter.hpp)
    if(NOT EXISTS "${confined}/${expected}")
      fail("install with prefix ${confined}: no ${expected}")
    endif()
  endforeach()
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "install tree:\n  ${text}")
endif()
message(STATUS "install tree as expected for /usr and /usr/local")
