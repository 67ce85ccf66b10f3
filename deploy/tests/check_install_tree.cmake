# Installs the built project into SCRATCH/<prefix> with DESTDIR and checks the
# tree a device would get: the daemon, the tool, the unit and the two
# configuration files, with the unit naming the installed paths.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=<deploy> -DSCRATCH=... -DEXPECT_CTL=ON|OFF -P check_install_tree.cmake

set(failures "")
macro(check condition message)
  if(NOT (${condition}))
    list(APPEND failures "${message}")
  endif()
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
  set(unit "${root}${prefix}/lib/systemd/system/cybersecurity_service.service")
  check("EXISTS \"${root}${daemon}\"" "${prefix}: daemon not at ${daemon}")
  if(EXPECT_CTL)
    check("EXISTS \"${root}${prefix}/bin/cybersecurity_ctl\"" "${prefix}: tool not in ${prefix}/bin")
  endif()
  check("EXISTS \"${unit}\"" "${prefix}: unit not in ${prefix}/lib/systemd/system")
  foreach(name cybersecurity_service.desc.json cybersecurity_service.json)
    file(READ "${SOURCE_DIR}/config/${name}" shipped)
    set(installed "")
    if(EXISTS "${root}/etc/cybersecurity_service/${name}")
      file(READ "${root}/etc/cybersecurity_service/${name}" installed)
    endif()
    check("\"${installed}\" STREQUAL \"${shipped}\"" "${prefix}: /etc/cybersecurity_service/${name} differs from the shipped file")
  endforeach()

  if(EXISTS "${unit}")
    file(STRINGS "${unit}" exec REGEX "^ExecStart=")
    separate_arguments(words UNIX_COMMAND "${exec}")
    list(GET words 0 first)
    check("\"${first}\" STREQUAL \"ExecStart=${daemon}\"" "${prefix}: unit starts '${first}', not ${daemon}")
    foreach(option -c -f)
      list(FIND words ${option} at)
      check("NOT at EQUAL -1" "${prefix}: unit passes no ${option}")
      if(NOT at EQUAL -1)
        math(EXPR at "${at} + 1")
        list(GET words ${at} path)
        check("EXISTS \"${root}${path}\"" "${prefix}: unit's ${option} ${path} is not installed")
      endif()
    endforeach()
    if(SYSTEMD_ANALYZE)
      execute_process(COMMAND ${SYSTEMD_ANALYZE} verify --man=no --root=${root}
                              ${prefix}/lib/systemd/system/cybersecurity_service.service
                      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
      check("rc EQUAL 0" "${prefix}: systemd-analyze verify: ${out}${err}")
    endif()
  endif()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "install tree:\n  ${text}")
endif()
message(STATUS "install tree as expected for /usr and /usr/local")
