# SPDX-License-Identifier: GPL-3.0-or-later
# 64-bit ARM Linux (Raspberry Pi OS 64-bit, Debian 12 arm64), cross-built on a Debian amd64
# machine against the multiarch arm64 packages installed beside its own (scripts/deps arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Multiarch: the target's libraries and CMake packages live in /usr/lib/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /)
# Libraries, headers and packages for the target only; programs (moc, rcc, uic) are the build
# machine's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Qt's build tools come from the build machine's Qt.
set(QT_HOST_PATH /usr CACHE PATH "Qt for the build machine (its moc, rcc and uic)")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake CACHE PATH
    "CMake packages of the build machine's Qt")

# Tests run under user-mode qemu, called by name: binfmt_misc may not be set up on a build
# machine. The multiarch root / holds the arm64 loader and libraries (the cross compiler's own
# root lacks the Qt runtime).
find_program(QUILLON_QEMU_AARCH64 qemu-aarch64)
if(QUILLON_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLON_QEMU_AARCH64} -L /)
endif()
