# Cross-builds for IBM Z, a big-endian machine, with Debian's g++-s390x-linux-gnu, and runs
# the tests under qemu-user: every byte-order slip in a load or store shows up here.
#   cmake -G Ninja -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(PBO_CROSS_TRIPLE s390x-linux-gnu)
set(PBO_QEMU_CPU s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
