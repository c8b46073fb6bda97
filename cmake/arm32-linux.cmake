# Toolchain for the arm32 preset: the host side and the tests as a 32-bit ARM Linux program, run
# under QEMU's user-mode emulation.
#
# Debian's armel port: ARMv5TE, little-endian, soft-float, the closest Debian has to the module's
# ARMv4I/ARMv5 cores (armhf needs ARMv7 and a floating-point unit the module lacks). What the
# module's code meets there and a 64-bit host hides: 32-bit pointers, sizes and ptrdiff_t, an
# unsigned plain char, and the ARM compiler's code for every access. qemu-arm runs it as an ARMv5
# core (arm926); it performs a misaligned word access silently, where the module's cores do not, so
# the preset adds UBSan's alignment check.
#
#   cmake --preset arm32 && cmake --build --preset arm32 && ctest --preset arm32

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KALVORI_ARM32_TARGET arm-linux-gnueabi)
set(KALVORI_ARM32_SYSROOT /usr/${KALVORI_ARM32_TARGET})

set(CMAKE_C_COMPILER ${KALVORI_ARM32_TARGET}-gcc) # GoogleTest's project enables C too
set(CMAKE_CXX_COMPILER ${KALVORI_ARM32_TARGET}-g++)

find_program(KALVORI_QEMU_ARM qemu-arm REQUIRED)
# Every test program, and every program a test starts, runs under the emulator with the cross
# libraries (there is no binfmt registration to do it behind our back).
set(CMAKE_CROSSCOMPILING_EMULATOR ${KALVORI_QEMU_ARM};-cpu;arm926;-L;${KALVORI_ARM32_SYSROOT})

set(CMAKE_FIND_ROOT_PATH ${KALVORI_ARM32_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
