# SPDX-License-Identifier: MIT
# The device's architecture: Debian's aarch64-linux-gnu cross compiler with the arm64 multiarch
# libraries beside the build machine's own (dpkg --add-architecture arm64, then the :arm64
# -dev packages). No sysroot: multiarch puts the arm64 headers and libraries under /usr.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config answers for the arm64 libraries only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu-user, without binfmt: ctest and the GoogleTest discovery put
# the emulator in front. No -L prefix: qemu would remap "/" itself into the prefix, and
# libudev's walk of /sys would find nothing; multiarch's loader at /lib/ld-linux-aarch64.so.1
# and the libraries under /usr/lib/aarch64-linux-gnu are found as they are.
find_program(CHARGED_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CHARGED_QEMU_AARCH64})
