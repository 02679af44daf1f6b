# The compiler and linker flags of Debian's own package builds, as
# dpkg-buildflags gives them for the target architecture with every hardening
# feature on (stack protector, fortified functions, read-only relocations,
# immediate binding), for the project's targets (pondrel_options).
find_program(PONDREL_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
    set(_pondrel_deb_arch armhf)
else()
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _pondrel_deb_arch
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
foreach(_kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=${_pondrel_deb_arch}
                ${PONDREL_DPKG_BUILDFLAGS} --get ${_kind}
        OUTPUT_VARIABLE _pondrel_${_kind} OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(_pondrel_${_kind} UNIX_COMMAND "${_pondrel_${_kind}}")
endforeach()
# Debian's -g -O2 give way to the build type's own optimisation.
list(REMOVE_ITEM _pondrel_CXXFLAGS -g -O2)
target_compile_options(pondrel_options INTERFACE ${_pondrel_CPPFLAGS} ${_pondrel_CXXFLAGS})
target_link_options(pondrel_options INTERFACE ${_pondrel_LDFLAGS})
message(STATUS "Debian build flags (${_pondrel_deb_arch}): ${_pondrel_CPPFLAGS} ${_pondrel_CXXFLAGS} ${_pondrel_LDFLAGS}")
