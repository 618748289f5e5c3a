# 32-bit ARM (armhf: ARMv7, hard float). Here `long` and, with Debian 12's
# C library defaults, `time_t` are 32 bits wide, unlike on the 64-bit
# machines where the code is mostly written and tested.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KX_TARGET_TRIPLE arm-linux-gnueabihf)
set(KX_QEMU qemu-arm)
set(KX_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# GCC notes, on every use of a standard container, that the passing of some
# parameters changed in GCC 7.1; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
