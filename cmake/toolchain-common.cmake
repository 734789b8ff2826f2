# Shared part of the toolchain files for cross builds with Debian's cross
# compilers and multiarch libraries (cmake/toolchain-armhf.cmake,
# cmake/toolchain-arm64.cmake set QAX_CROSS_TRIPLET, QAX_CROSS_ARCH,
# QAX_CROSS_PROCESSOR and QAX_CROSS_QEMU, then include this file).
#
#   scripts/setup-cross ARCH      installs the compilers and libraries
#   scripts/cross ARCH            builds, runs the tests under qemu-user and
#                                 compares a simulated day with the native build
#
# Libraries come from the multiarch folders (/usr/lib/TRIPLET): SQLite and
# GoogleTest as packages of the foreign architecture. FreeIPMI's development
# package cannot be installed beside the machine's own, so scripts/setup-cross
# unpacks it into QAX_CROSS_SYSROOT, which pkg-config is pointed at.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QAX_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${QAX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QAX_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QAX_CROSS_TRIPLET})
# GCC notes that the ARM calling convention for some aggregates changed in
# GCC 7; nothing here is linked against code that old.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The foreign packages unpacked by scripts/setup-cross (a cache entry, so a
# build folder keeps the one it was configured with).
get_filename_component(_qax_source ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(QAX_CROSS_SYSROOT ${_qax_source}/.cross/${QAX_CROSS_ARCH}/sysroot
    CACHE PATH "Foreign packages unpacked by scripts/setup-cross (FreeIPMI)")

# Programs of the build machine; libraries, headers and packages of the
# target only: its multiarch folders and the private sysroot.
set(CMAKE_FIND_ROOT_PATH / ${QAX_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the private sysroot
# (FreeIPMI, whose paths it prefixes with the sysroot): only FreeIPMI is
# found through it.
set(ENV{PKG_CONFIG_LIBDIR} "${QAX_CROSS_SYSROOT}/usr/lib/${QAX_CROSS_TRIPLET}/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QAX_CROSS_SYSROOT}")

# CTest and GoogleTest's test discovery run the target's executables through
# qemu-user. -L: where a dynamically linked one finds its loader and
# libraries first (the private sysroot; the multiarch folders of the machine
# follow, since qemu falls back to the real paths).
find_program(QAX_CROSS_QEMU_PROGRAM ${QAX_CROSS_QEMU})
if(QAX_CROSS_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QAX_CROSS_QEMU_PROGRAM} -L ${QAX_CROSS_SYSROOT})
endif()
