# Cross-builds the Windows (x86-64) executables with Debian's mingw-w64 toolchain:
#   cmake -G Ninja -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The "-posix" compiler is the threads variant GoogleTest needs. libgcc and libstdc++ are
# linked statically, so the .exe files run anywhere (and under Wine) without DLLs beside
# them. Where Wine is installed, CTest and GoogleTest run the executables through it, each
# build folder with a Wine prefix of its own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PBO_MINGW_PREFIX x86_64-w64-mingw32)
find_program(PBO_MINGW_CXX NAMES ${PBO_MINGW_PREFIX}-g++-posix ${PBO_MINGW_PREFIX}-g++)
find_program(PBO_MINGW_CC NAMES ${PBO_MINGW_PREFIX}-gcc-posix ${PBO_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${PBO_MINGW_CXX})
set(CMAKE_C_COMPILER ${PBO_MINGW_CC})
set(CMAKE_RC_COMPILER ${PBO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PBO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# No installed GoogleTest can serve a cross build: build it from Debian's source package.
set(PBO_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(PBO_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(PBO_WINE)
    # No display, no debug chatter, no prompt to install Gecko or Mono.
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all
        "WINEDLLOVERRIDES=mscoree,mshtml=" DISPLAY= ${PBO_WINE})
  endif()
endif()
