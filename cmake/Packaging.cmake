# Install rules and the Debian package. The plug-in goes to
# <libdir>/pondrel/pondrel.so (on Debian, lib/<multiarch triplet>/pondrel;
# the armhf preset names its triplet, which GNUInstallDirs leaves out when
# cross-compiling);
# the workstation tools, when built, to bin. No headers: nothing links
# against the plug-in; the host loads it with dlopen and brings its own
# framework headers.
include(GNUInstallDirs)

set(PONDREL_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pondrel)
install(TARGETS pondrel LIBRARY DESTINATION ${PONDREL_PLUGIN_INSTALL_DIR})
if(PONDREL_BUILD_TOOLS)
    install(TARGETS pondrel-host pondrel-meter-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(PROGRAMS ${PONDREL_CHECK_HOST} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pondrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The pondrel developers")
set(CPACK_PACKAGE_CONTACT "The pondrel developers <pondrel-maintainers@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus RTU driver plug-in for an 18-circuit electricity meter")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
if(PONDREL_BUILD_TOOLS)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "pondrel.so is loaded by the board's host controller to poll an 18-circuit\n"
        "meter over Modbus RTU. This package adds pondrel-host, which runs the\n"
        "plug-in against a meter on a serial line or a simulated one, and\n"
        "pondrel-meter-sim, the simulated meter, and pondrel-check-host, which tells\n"
        "whether the plug-in fits a given host program.")
    # pondrel-check-host is a Python program; its needs are not in any ELF file.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-pyelftools, binutils")
else()
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "pondrel.so is loaded by the board's host controller to poll an 18-circuit\n"
        "meter over Modbus RTU, publish its readings and answer control requests.")
endif()
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})

if(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    set(CMAKE_STRIP arm-linux-gnueabihf-strip)
endif()
# Dependencies from the shared libraries the binaries need (dpkg-shlibdeps
# reads the armhf plug-in too, from the armhf packages installed here).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
