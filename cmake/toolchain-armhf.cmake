# Cross build for 32-bit ARM (arm-linux-gnueabihf) on a Debian multiarch host:
# the target's libraries are the :armhf packages installed beside the native
# ones (scripts/install-cross-armhf.sh), so there is no sysroot. Test binaries
# run under qemu-user, which lets ctest run the unit tests unchanged.
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# 32-bit time_t stays the default on purpose: the armhf libraries of Debian 12
# (libcrypto among them) are built with it, and a -D_TIME_BITS=64 build would
# hand them 64-bit values where they read 32 bits.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(EV_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${EV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${EV_CROSS_TRIPLET}-g++)

# GCC notes on every std::vector of a class type that the ARM parameter-passing
# ABI changed in GCC 7.1; nothing here links code built by an older compiler.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Selects /usr/lib/arm-linux-gnueabihf (and its cmake/ folder) for every
# find_library and find_package, and never the native /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${EV_CROSS_TRIPLET})

# pkgconf's cross personality searches only the target's .pc files.
find_program(EV_CROSS_PKG_CONFIG NAMES ${EV_CROSS_TRIPLET}-pkg-config REQUIRED)
set(PKG_CONFIG_EXECUTABLE ${EV_CROSS_PKG_CONFIG} CACHE FILEPATH "pkg-config for the armhf target")

# With "-L /" qemu loads the target's dynamic loader and libraries from the
# multiarch paths, the same ones the binaries were linked against. (Pointing it
# at /usr/arm-linux-gnueabihf instead mixes the cross toolchain's libc with
# libc6:armhf, and then every thread start crashes.)
find_program(EV_QEMU_ARM NAMES qemu-arm-static qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${EV_QEMU_ARM} -L /)

# Programs (code generators, pkg-config) come from the host; libraries,
# headers and package configs only from the target's multiarch folders, which
# CMAKE_LIBRARY_ARCHITECTURE already picks within the root "/".
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
