# Cross-compilation for Windows with MinGW-w64 (posix threads).
# ZEL_ARCH picks the target: i686 (the service as it ships, 32-bit) or x86_64.
# Left empty it is i686 where this machine can run 32-bit programs, so Wine
# can run the tests, and x86_64 where it cannot (docs/wine.md, "A machine that
# runs no 32-bit programs").
if(NOT ZEL_ARCH)
    execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE zel_ia32 OUTPUT_QUIET ERROR_QUIET)
    if(zel_ia32 EQUAL 0)
        set(ZEL_ARCH i686)
    else()
        set(ZEL_ARCH x86_64)
    endif()
endif()
set(ZEL_ARCH ${ZEL_ARCH} CACHE STRING "Target of the Windows programs: i686 or x86_64")
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ZEL_ARCH})
set(TOOLCHAIN_PREFIX ${ZEL_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
