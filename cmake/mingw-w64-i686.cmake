# Cross build for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686-posix):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# The executables run alone (statically linked). tests/wine/run_win32.sh runs the reference
# runs under 32-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CHUNKSIEVE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
