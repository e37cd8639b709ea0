# What the Linux cross toolchain files share (aarch64-linux-gnu.cmake, s390x-linux-gnu.cmake):
# Debian's cross compiler for PBO_CROSS_TRIPLE, the target's libraries from
# /usr/PBO_CROSS_TRIPLE, GoogleTest built from /usr/src/googletest, and, where qemu-user
# is installed, CTest running every test through qemu-PBO_QEMU_CPU with that folder as the
# target's root for libraries. qemu-user sees the host's files, so the tests read their
# inputs by the same paths as natively.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${PBO_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PBO_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${PBO_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No installed GoogleTest can serve a cross build: build it from Debian's source package.
set(PBO_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(PBO_QEMU qemu-${PBO_QEMU_CPU} qemu-${PBO_QEMU_CPU}-static NO_CMAKE_FIND_ROOT_PATH)
  if(PBO_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PBO_QEMU} -L /usr/${PBO_CROSS_TRIPLE})
  endif()
endif()
