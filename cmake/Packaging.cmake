# Debian packages with CPack (cpack -G DEB in the build folder), one per install component:
#   tamo        component daemon: the daemon, its unit, the sample settings (a conffile) and
#               the example scripts
#   tamo-tools  component tools: tamoctl, zeld-sim and the Wireshark dissector
# Build with -DCMAKE_INSTALL_PREFIX=/usr so the unit, the multiarch plugin folder and the paths
# inside the files match the package. A cross build (cmake/armhf-toolchain.cmake) gives the
# target's packages. Run-time dependencies come from dpkg-shlibdeps, which reads the libraries
# each binary links: liblua5.3-0, liblog4cpp5v5, libsystemd0 when the daemon uses it, libc6,
# libstdc++6 and libgcc-s1.

# Debian architecture of the binaries: the target's on a cross build, else the machine's.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t${CMAKE_LIBRARY_ARCHITECTURE}
        OUTPUT_VARIABLE tamo_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
else()
    execute_process(COMMAND dpkg --print-architecture
        OUTPUT_VARIABLE tamo_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tamo developers <tamo-dev@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://tamo.example.org/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(tamo_deb_arch)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${tamo_deb_arch})
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME tamo)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SUGGESTS tamo-tools)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "configuration daemon for embedded Linux devices
tamo receives configuration requests (set, get, delete, replace) as Quorrel
messages over UDP, runs the Lua 5.3 script that serves the objects addressed
and sends the script's answer back. Requests that no script serves are
forwarded to the upstream daemon.

This package holds the daemon, its systemd unit, the sample settings and the
example configuration scripts.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tamo-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "tools to talk to the tamo configuration daemon
tamoctl sends one configuration request to a tamo daemon and prints the
reply; zeld-sim stands in for the upstream daemon on a development machine.

The package also holds a Wireshark dissector (Lua) for the Quorrel protocol,
which Wireshark and tshark load from their global plugin folder.")

# The sample settings stay the administrator's: dpkg keeps local changes on upgrade. Only a file
# under /etc can be a conffile; a build with the settings elsewhere packages it as a plain file.
if(TAMO_CONFIG_FILE MATCHES "^/etc/")
    file(WRITE ${CMAKE_BINARY_DIR}/packaging/daemon/conffiles "${TAMO_CONFIG_FILE}\n")
    set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/daemon/conffiles)
endif()

# Each package carries the copyright file and a compressed changelog in its doc folder.
foreach(pkg tamo tamo-tools)
    set(dir ${CMAKE_BINARY_DIR}/packaging/doc/${pkg})
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog
        OUTPUT_FILE ${dir}/changelog.Debian.gz)
    set(component daemon)
    if(pkg STREQUAL "tamo-tools")
        set(component tools)
    endif()
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${dir}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${component})
endforeach()

# Manual pages: tamo(8) from packaging/tamo.8.in; tamoctl(1) and zeld-sim(1) from their --help
# (cmake/HelpToMan.cmake), run through the emulator on a cross build.
set(tamo_man ${CMAKE_BINARY_DIR}/man)
configure_file(${PROJECT_SOURCE_DIR}/packaging/tamo.8.in ${tamo_man}/tamo.8 @ONLY)
execute_process(COMMAND gzip -9nc ${tamo_man}/tamo.8 OUTPUT_FILE ${tamo_man}/tamo.8.gz)
install(FILES ${tamo_man}/tamo.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT daemon)
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" tamo_man_emulator)
set(tamo_man_summary_tamoctl "send configuration requests to a tamo daemon, hear its notifications")
set(tamo_man_summary_zeld-sim "stand-in for the upstream daemon of tamo")
foreach(prog tamoctl zeld-sim)
    add_custom_command(OUTPUT ${tamo_man}/${prog}.1 ${tamo_man}/${prog}.1.gz
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${prog}> -DEMULATOR=${tamo_man_emulator}
            -DNAME=${prog} -DSUMMARY=${tamo_man_summary_${prog}} -DVERSION=${PROJECT_VERSION}
            -DOUTPUT=${tamo_man}/${prog}.1 -P ${PROJECT_SOURCE_DIR}/cmake/HelpToMan.cmake
        DEPENDS ${prog} ${PROJECT_SOURCE_DIR}/cmake/HelpToMan.cmake
        COMMENT "Writing the manual page of ${prog}"
        VERBATIM)
    list(APPEND tamo_man_pages ${tamo_man}/${prog}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${tamo_man_pages})
install(FILES ${tamo_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

include(CPack)
