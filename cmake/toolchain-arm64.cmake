# Cross build for a 64-bit ARM controller (Debian arm64, aarch64-linux-gnu):
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
# See cmake/toolchain-common.cmake and scripts/cross.
set(QAX_CROSS_ARCH arm64)
set(QAX_CROSS_TRIPLET aarch64-linux-gnu)
set(QAX_CROSS_PROCESSOR aarch64)
set(QAX_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
