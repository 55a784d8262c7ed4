# What `make install` and `make package` ship: the daemon, quorvanectl, the virtual Mac with its
# machine profiles, the systemd units (their paths follow the install prefix), the control
# service's configuration, the web face and the group that may read the control service's API,
# manual pages, shell completion, the launchd property list, and a Debian
# package built by CPack whose maintainer scripts enable the daemon and the control service and
# stop them before their files go, so that every fan is back under automatic control after removal.
# `make install` strips the programs and keeps their debug information in separate files under
# lib/debug/.build-id; the package strips them as it installs and ships no debug files.
include(GNUInstallDirs)

set(QUORVANE_DATADIR ${CMAKE_INSTALL_DATADIR}/quorvane)
set(QUORVANE_UNITDIR lib/systemd/system)
if(NOT QUORVANE_PROFILE_DIR STREQUAL "${CMAKE_INSTALL_FULL_DATADIR}/quorvane/profiles")
  message(STATUS "The virtual Mac reads its profiles from ${QUORVANE_PROFILE_DIR}; an installed copy "
                 "needs -DQUORVANE_PROFILE_DIR=${CMAKE_INSTALL_FULL_DATADIR}/quorvane/profiles (make install does that)")
endif()

install(TARGETS com.quorvane.SMCService RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS quorvanectl quorvane-virtual-mac quorvane-web RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Split each installed program into a stripped binary and a debug file found by its build id.
find_program(QUORVANE_OBJCOPY NAMES objcopy REQUIRED)
foreach(_program ${CMAKE_INSTALL_SBINDIR}/com.quorvane.SMCService ${CMAKE_INSTALL_BINDIR}/quorvanectl
                 ${CMAKE_INSTALL_BINDIR}/quorvane-virtual-mac ${CMAKE_INSTALL_BINDIR}/quorvane-web)
  install(CODE "execute_process(COMMAND ${PROJECT_SOURCE_DIR}/cmake/split-debug ${QUORVANE_OBJCOPY}
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_program}\"
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/debug\" COMMAND_ERROR_IS_FATAL ANY)")
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sim/profiles/ DESTINATION ${QUORVANE_DATADIR}/profiles
        FILES_MATCHING PATTERN "*.json")
# Real Macs' key tables, their CPU topology and where each came from: data read at run time.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sim/tables/ DESTINATION ${QUORVANE_DATADIR}/tables)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/com.quorvane.SMCService.plist DESTINATION ${QUORVANE_DATADIR})

set(QUORVANE_UNIT_SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(QUORVANE_UNIT_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(QUORVANE_CONFIG ${CMAKE_INSTALL_FULL_SYSCONFDIR}/quorvane/control.json)
foreach(_unit com.quorvane.SMCService.service quorvane-virtual-mac@.service quorvane-control.service quorvane-web.service)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${_unit}.in ${CMAKE_BINARY_DIR}/packaging/${_unit} @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${_unit} DESTINATION ${QUORVANE_UNITDIR})
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/control.json DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/quorvane)
# The group that may read the control service's API socket, created by the postinst.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/sysusers/quorvane.conf DESTINATION lib/sysusers.d)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/quorvanectl.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quorvanectl)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/_quorvanectl DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)

# Manual pages, compressed as Debian wants them.
set(_manpages)
foreach(_page quorvanectl.1 quorvane-virtual-mac.1 quorvane-web.1 quorvane-control.json.5 com.quorvane.SMCService.8)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" _section ${_page})
  set(_gz ${CMAKE_BINARY_DIR}/packaging/man/${_page}.gz)
  add_custom_command(OUTPUT ${_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/man/${_page} > ${_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${_page} VERBATIM)
  list(APPEND _manpages ${_gz})
  install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
endforeach()

# Debian wants a copyright file and a changelog compressed reproducibly beside the documentation.
set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${_changelog}
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(quorvane-changelog ALL DEPENDS ${_changelog} ${_manpages})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvane)
install(FILES ${_changelog} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvane RENAME changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME quorvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvane maintainers <maintainers@quorvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fan-control daemon with an SMC stand-in")
set(CPACK_PACKAGE_DESCRIPTION
  "Quorvane's privileged fan-control daemon (com.quorvane.SMCService), its\n\
command-line client quorvanectl with its control service, the web face\n\
quorvane-web, and the virtual Mac that serves a machine profile's SMC on\n\
Linux. Whatever happens to a client or to the daemon itself, every fan goes\n\
back to the firmware's automatic control.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# quorvane-web serves Debian's Chart.js from /usr/share/javascript/chart.js rather than a copy of
# its own, so the library's security updates reach the dashboard without a rebuild.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjs-chart.js")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
include(CPack)
