# Cross build for 32-bit ARM devices with hardware floating point (Debian
# architecture armhf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(OAM_CROSS_TRIPLET arm-linux-gnueabihf)
set(OAM_CROSS_QEMU qemu-arm)
set(OAM_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
