# Cross build for 32-bit ARM hard-float Linux (armhf, the gateway's CPU).
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Two ways to find the target's libraries and headers:
#
# * Debian multiarch (the default, what scripts/setup-armhf.sh installs):
#   the compiler is Debian's arm-linux-gnueabihf-g++, the armhf -dev packages
#   sit in /usr/lib/arm-linux-gnueabihf and /usr/include, and the test
#   binaries run on the armhf run time those packages bring (libc6:armhf,
#   libstdc++6:armhf).
#
# * A firmware sysroot: pass -DCMAKE_SYSROOT=<dir> (a cache variable, so it
#   stays for later runs of CMake). Headers, libraries and .pc files are then
#   taken from inside <dir> only, and the test binaries run with <dir> as
#   the emulator's library root (its own loader and C library). The sysroot
#   must hold tinyxml2 and libdbus-1 with their .pc files and, to build the
#   tests, GoogleTest's CMake package (or pass -DBUILD_TESTING=OFF).
#
# MGM_ARMHF_TRIPLET (cache, default arm-linux-gnueabihf) names the compiler
# prefix and the multiarch directory; MGM_ARMHF_COMPILER_PREFIX may point at
# another toolchain's bin/<triplet>- (e.g. a vendor SDK).
#
# Test binaries run through CMAKE_CROSSCOMPILING_EMULATOR (qemu-arm, or
# qemu-arm-static, by way of cmake/qemu-armhf.sh), which CTest and
# gtest_discover_tests use at test time. No binfmt_misc set-up is needed.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MGM_ARMHF_TRIPLET "arm-linux-gnueabihf" CACHE STRING "Target triplet of the armhf cross toolchain")
set(MGM_ARMHF_COMPILER_PREFIX "${MGM_ARMHF_TRIPLET}-" CACHE STRING
    "Prefix of the cross tools (a name looked up in PATH, or a full path ending in '-')")

set(CMAKE_C_COMPILER "${MGM_ARMHF_COMPILER_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${MGM_ARMHF_COMPILER_PREFIX}g++")

# The try_compile projects CMake runs while checking the compiler see the
# same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MGM_ARMHF_TRIPLET MGM_ARMHF_COMPILER_PREFIX)

# Programs (pkg-config, qemu, the host's tools) come from the build machine;
# libraries, headers and CMake packages from the target's tree only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit file offsets and inode numbers, as 32-bit targets should have:
# without them readdir and stat fail with EOVERFLOW on directories whose
# entries carry 64-bit values (ext4 directory cookies seen through qemu, large
# file systems on the device).
# -Wno-psabi: GCC notes on every std::vector of a class type that its
# argument passing changed in GCC 7.1; nothing here links code that old.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -Wno-psabi")

# pkg-config answers for the target. The variables are read by pkg-config
# when FindPkgConfig runs it during configuration.
set(ENV{PKG_CONFIG_PATH} "")
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR}
      "${CMAKE_SYSROOT}/usr/lib/${MGM_ARMHF_TRIPLET}/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
  set(_mgm_emulator_root "${CMAKE_SYSROOT}")
else()
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${MGM_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
  set(_mgm_emulator_root "/")
endif()

# Run armhf programs on the build machine through cmake/qemu-armhf.sh. With a
# sysroot, qemu looks up the dynamic loader and every absolute library path
# in it first (-L). Without one, the programs use Debian's multiarch armhf
# run time (libc6:armhf, libstdc++6:armhf and the libraries' armhf packages),
# not the cross toolchain's copy in /usr/${MGM_ARMHF_TRIPLET}: that C library
# is an older build than libc6:armhf, and a loader of one build with the C
# library of the other crashes in thread start-up.
find_program(MGM_QEMU_ARM NAMES qemu-arm qemu-arm-static DOC "qemu user-mode emulator for 32-bit ARM")
if(MGM_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/qemu-armhf.sh;${MGM_QEMU_ARM};${_mgm_emulator_root}")
endif()
unset(_mgm_emulator_root)
