# 64-bit ARM (arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KX_TARGET_TRIPLE aarch64-linux-gnu)
set(KX_QEMU qemu-aarch64)
set(KX_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
