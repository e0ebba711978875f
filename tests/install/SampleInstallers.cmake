# zel_sample_installer(<target> OUTPUT <exe> DESCRIPTION d VERSION v
#     [UPDATETYPE t] [INTERNAL n] [SEQUENTIAL s] [TARGETDIR dir] [PAUSE ms]):
# a real NSIS installer built with makensis at build time.
# Cached, so that the sample installers can be built from other directories.
set(ZEL_SAMPLE_DATA ${CMAKE_CURRENT_BINARY_DIR}/sample-data CACHE INTERNAL "")
set(ZEL_SAMPLE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/samples/module.nsi CACHE INTERNAL "")
file(MAKE_DIRECTORY ${ZEL_SAMPLE_DATA})
string(REPEAT "Файл данных тестового модуля ЗЕЛ.\n" 200 sample_text)
file(WRITE ${ZEL_SAMPLE_DATA}/readme.txt "${sample_text}")
string(REPEAT "0123456789abcdef" 512 sample_bin)
file(WRITE ${ZEL_SAMPLE_DATA}/data.bin "${sample_bin}")

if(ZEL_ARCH STREQUAL "x86_64")
    set(ZEL_NSIS_TARGET -DAMD64)
endif()
function(zel_sample_installer target)
    cmake_parse_arguments(S "" "OUTPUT;DESCRIPTION;VERSION;UPDATETYPE;INTERNAL;SEQUENTIAL;TARGETDIR;PAUSE" "" ${ARGN})
    if(NOT S_TARGETDIR)
        set(S_TARGETDIR "C:\\ZELTest\\${target}")
    endif()
    if(NOT S_PAUSE)
        set(S_PAUSE 0)
    endif()
    get_filename_component(outdir ${S_OUTPUT} DIRECTORY)
    add_custom_command(OUTPUT ${S_OUTPUT}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
        COMMAND makensis -V2 -INPUTCHARSET UTF8 "-DOUTFILE=${S_OUTPUT}" "-DDESCRIPTION=${S_DESCRIPTION}"
                "-DVERSION=${S_VERSION}" "-DUPDATETYPE=${S_UPDATETYPE}" "-DINTERNAL=${S_INTERNAL}"
                "-DSEQUENTIAL=${S_SEQUENTIAL}" "-DDATADIR=${ZEL_SAMPLE_DATA}" "-DTARGETDIR=${S_TARGETDIR}"
                "-DPAUSE=${S_PAUSE}" ${ZEL_NSIS_TARGET}
                ${ZEL_SAMPLE_SCRIPT}
        DEPENDS ${ZEL_SAMPLE_SCRIPT}
        COMMENT "NSIS sample installer ${target}" VERBATIM)
    add_custom_target(${target} DEPENDS ${S_OUTPUT})
endfunction()
