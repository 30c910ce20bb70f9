# Cross build for 64-bit ARM devices (Debian architecture arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(OAM_CROSS_TRIPLET aarch64-linux-gnu)
set(OAM_CROSS_QEMU qemu-aarch64)
set(OAM_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
