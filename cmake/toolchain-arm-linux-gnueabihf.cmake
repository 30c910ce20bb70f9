# Cross build for 32-bit ARM devices (hard-float) with Debian's cross
# compiler and the armhf multiarch libraries (zlib1g-dev:armhf,
# libgtest-dev:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(OAM_DEB_ARCH armhf)
# No -L: the program's interpreter resolves through the multiarch paths
# (libc6, libstdc++6, zlib1g of the target architecture).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
