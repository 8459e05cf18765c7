# What the two Windows cross builds share (Debian's mingw-w64); the
# toolchain files set MINGW_PREFIX and the processor, then include this.
#
# The posix thread model of the compiler: the tests use std::thread and
# std::mutex, which its win32 model lacks.  Everything is linked statically,
# so the executables need no DLL beyond the system's own.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Cross-built executables (the tests) run under Wine, in a prefix inside the
# build folder of the build's own architecture (WINE_ARCH: win64 or win32).
set(CMAKE_CROSSCOMPILING_EMULATOR
    env KARVELO_WINE_ARCH=${WINE_ARCH} ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
