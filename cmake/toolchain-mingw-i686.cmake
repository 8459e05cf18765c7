# Cross build for 32-bit Windows (i686), for the few 32-bit systems left.
# Its tests run under 32-bit Wine, only where the machine starts 32-bit
# programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_PREFIX i686-w64-mingw32)
set(WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
