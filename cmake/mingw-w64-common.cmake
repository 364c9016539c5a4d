# What both MinGW-w64 toolchain files share; CHUNKSIEVE_MINGW_TRIPLE names the target.
# The -posix compilers are the ones whose libstdc++ has std::thread and std::mutex.
set(CMAKE_C_COMPILER ${CHUNKSIEVE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHUNKSIEVE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CHUNKSIEVE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CHUNKSIEVE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every executable carries its C and C++ runtimes and the threading library, so that the .exe
# needs no DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# So does the library's DLL: it needs none of the compiler's beside it.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest runs the test programs under Wine, in a Wine prefix of this build's own (see
# tests/wine/wine_run.sh). A 64-bit Wine starts a 32-bit .exe through its 32-bit loader, which
# this kernel can only run through qemu-user: see tests/wine/run_win32.sh.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine_run.sh --prefix ${CMAKE_BINARY_DIR}/wineprefix)
endif()
