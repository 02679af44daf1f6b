# Install rules and the Debian package. The plug-in goes to
# <libdir>/pondrel/pondrel.so (on Debian, lib/<multiarch triplet>/pondrel;
# the armhf preset names its triplet, which GNUInstallDirs leaves out when
# cross-compiling);
# the workstation tools, when built, to bin. No headers: nothing links
# against the plug-in; the host loads it with dlopen and brings its own
# framework headers.
include(GNUInstallDirs)

if(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    set(_pondrel_strip arm-linux-gnueabihf-strip)
else()
    set(_pondrel_strip strip)
endif()
# Installed binaries are stripped as Debian strips them: no symbols beyond the
# dynamic ones, no compiler notes (.comment).
set(CPACK_STRIP_FILES ON)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-strip.in ${CMAKE_BINARY_DIR}/debian-strip @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_STRIP ${CMAKE_BINARY_DIR}/debian-strip CACHE FILEPATH "Strips installed binaries" FORCE)

set(PONDREL_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pondrel)
install(TARGETS pondrel LIBRARY DESTINATION ${PONDREL_PLUGIN_INSTALL_DIR})
if(PONDREL_BUILD_TOOLS)
    install(TARGETS pondrel-host pondrel-meter-sim pondrel-history RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(PROGRAMS $<TARGET_PROPERTY:pondrel-check-host,FILE> DESTINATION ${CMAKE_INSTALL_BINDIR})
    # pondrel-host as a service: its unit (installed, neither enabled nor
    # started), its configuration (a conffile) and its system user (postinst).
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/doc/service/pondrel-host.service DESTINATION /lib/systemd/system)
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/doc/service/pondrel.toml DESTINATION /etc/pondrel)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        ${CMAKE_CURRENT_SOURCE_DIR}/doc/service/postinst ${CMAKE_CURRENT_SOURCE_DIR}/doc/service/conffiles)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pondrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Debian revision 1 of the project's version, as in doc/changelog.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_VENDOR "The pondrel developers")
set(CPACK_PACKAGE_CONTACT "The pondrel developers <pondrel-maintainers@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus RTU driver plug-in for an 18-circuit electricity meter")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
if(PONDREL_BUILD_TOOLS)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "pondrel.so is loaded by the board's host controller to poll an 18-circuit\n"
        "meter over Modbus RTU. This package adds pondrel-host, which runs the\n"
        "plug-in against a meter on a serial line or a simulated one,\n"
        "pondrel-meter-sim, the simulated meter, pondrel-history, which lists and\n"
        "exports the history, and pondrel-check-host, which tells whether the\n"
        "plug-in fits a given host program. pondrel-host also runs as the service\n"
        "pondrel-host.service, polling the site of /etc/pondrel/pondrel.toml.")
    # pondrel-check-host is a Python program; its needs are not in any ELF file.
    # The meter pages draw their charts with the Chart.js Debian installs.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-pyelftools, binutils, adduser, libjs-chart.js, tzdata")
else()
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "pondrel.so is loaded by the board's host controller to poll an 18-circuit\n"
        "meter over Modbus RTU, publish its readings and answer control requests.")
endif()
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})

# Dependencies from the shared libraries the binaries need (dpkg-shlibdeps
# reads the armhf plug-in too, from the armhf packages installed here).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
