# Finds libmodbus through its pkg-config file and provides libmodbus::libmodbus.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(PC_LIBMODBUS QUIET libmodbus)
endif()
find_path(libmodbus_INCLUDE_DIR modbus.h HINTS ${PC_LIBMODBUS_INCLUDE_DIRS} PATH_SUFFIXES modbus)
find_library(libmodbus_LIBRARY NAMES modbus HINTS ${PC_LIBMODBUS_LIBRARY_DIRS})
set(libmodbus_VERSION ${PC_LIBMODBUS_VERSION})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(libmodbus
    REQUIRED_VARS libmodbus_LIBRARY libmodbus_INCLUDE_DIR
    VERSION_VAR libmodbus_VERSION)

if(libmodbus_FOUND AND NOT TARGET libmodbus::libmodbus)
    add_library(libmodbus::libmodbus UNKNOWN IMPORTED)
    # Includes say <modbus/modbus.h>: the folder above modbus.h.
    get_filename_component(_libmodbus_root "${libmodbus_INCLUDE_DIR}" DIRECTORY)
    set_target_properties(libmodbus::libmodbus PROPERTIES
        IMPORTED_LOCATION "${libmodbus_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${_libmodbus_root}")
endif()
mark_as_advanced(libmodbus_INCLUDE_DIR libmodbus_LIBRARY)
