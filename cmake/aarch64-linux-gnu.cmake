# Cross build for Linux on AArch64 with Debian's g++-aarch64-linux-gnu,
# run under qemu-aarch64-static from ZEV_SYSROOT, the arm64 JDK and libraries
# unpacked by scripts/arm64-sysroot (there is no binfmt_misc here, so every
# arm64 program starts through the emulator).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DZEV_SYSROOT=DIR
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZEV_SYSROOT)
if(NOT ZEV_SYSROOT)
  message(FATAL_ERROR "-DZEV_SYSROOT=<the arm64 root of scripts/arm64-sysroot> is needed")
endif()
# The toolchain's own libc and libstdc++ (/usr/aarch64-linux-gnu), then the
# root's JDK and GoogleTest.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu ${ZEV_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ZEV_TARGET_JDK ${ZEV_SYSROOT}/usr/lib/jvm/java-17-openjdk-arm64)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${ZEV_SYSROOT})
