# Helpers for the project's own targets.

# pondrel_add_plugin_host(NAME SOURCES...): an executable that loads the
# plug-in with dlopen and is its host. It links the host runtime and exports
# it, so that the plug-in's host symbols resolve to it, as on the board; it is
# built after the plug-in and knows this build's plug-in as PONDREL_PLUGIN_PATH.
# Which host services answer is its own choice.
function(pondrel_add_plugin_host name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE pondrel_host_runtime pondrel_options)
    target_compile_definitions(${name} PRIVATE PONDREL_PLUGIN_PATH="$<TARGET_FILE:pondrel>")
    set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON PONDREL_OUTSIDE_PLUGIN ON)
    add_dependencies(${name} pondrel)
endfunction()

# pondrel_program(TARGET): one of the installed programs: built into the
# build folder's bin/, with the project's version as PONDREL_VERSION.
function(pondrel_program target)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
    target_compile_definitions(${target} PRIVATE PONDREL_VERSION="${PROJECT_VERSION}")
endfunction()
