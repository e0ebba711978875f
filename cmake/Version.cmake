# The product version: every binary's version resource takes it from here.
set(ZEL_VERSION "1.2.0.5" CACHE STRING "Product version (major.minor.release.build)")
# A later version of the same program, built for the self-update tests.
set(ZEL_NEXT_VERSION "1.2.0.9" CACHE STRING "Version of the newer test build of the service")

set(ZEL_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# zel_version_resource(<target> VERSION <a.b.c.d> DESCRIPTION <text>
#     INTERNAL <name> ORIGINAL <file name> [TYPE APP|DLL] [STRINGS "Name=Value" ...])
# Adds a version resource with the fixed file version and a string block
# 041904E3 (Russian, code page 1251). The template is UTF-8; the generated
# script is converted to 1251 before windres reads it.
function(zel_version_resource target)
    cmake_parse_arguments(V "" "VERSION;DESCRIPTION;INTERNAL;ORIGINAL;TYPE" "STRINGS" ${ARGN})
    if(NOT V_VERSION)
        set(V_VERSION ${ZEL_VERSION})
    endif()
    string(REPLACE "." ";" parts "${V_VERSION}")
    list(GET parts 0 V_MAJOR)
    list(GET parts 1 V_MINOR)
    list(GET parts 2 V_RELEASE)
    list(GET parts 3 V_BUILD)
    if(V_TYPE STREQUAL "DLL")
        set(V_FILETYPE "VFT_DLL")
    else()
        set(V_FILETYPE "VFT_APP")
    endif()
    set(V_EXTRA "")
    foreach(s IN LISTS V_STRINGS)
        string(FIND "${s}" "=" eq)
        string(SUBSTRING "${s}" 0 ${eq} key)
        math(EXPR vstart "${eq} + 1")
        string(SUBSTRING "${s}" ${vstart} -1 value)
        string(APPEND V_EXTRA "            VALUE \"${key}\", \"${value}\"\n")
    endforeach()
    set(V_TEXT_VERSION "${V_VERSION}")
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.res)
    file(MAKE_DIRECTORY ${dir})
    configure_file(${ZEL_VERSION_RC_TEMPLATE} ${dir}/version.utf8.rc @ONLY)
    add_custom_command(OUTPUT ${dir}/version.rc
        COMMAND iconv -f utf-8 -t cp1251 ${dir}/version.utf8.rc -o ${dir}/version.rc
        DEPENDS ${dir}/version.utf8.rc
        COMMENT "Version resource of ${target} in code page 1251")
    target_sources(${target} PRIVATE ${dir}/version.rc)
endfunction()
