# Cross build for a 32-bit ARM controller (Debian armhf, arm-linux-gnueabihf):
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# 64-bit time_t and file offsets are switched on by CMakeLists.txt for every
# 32-bit target. See cmake/toolchain-common.cmake and scripts/cross.
set(QAX_CROSS_ARCH armhf)
set(QAX_CROSS_TRIPLET arm-linux-gnueabihf)
set(QAX_CROSS_PROCESSOR arm)
set(QAX_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
