# Cross-builds for 64-bit Arm (little-endian) with Debian's g++-aarch64-linux-gnu, and runs
# the tests under qemu-user:
#   cmake -G Ninja -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PBO_CROSS_TRIPLE aarch64-linux-gnu)
set(PBO_QEMU_CPU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
