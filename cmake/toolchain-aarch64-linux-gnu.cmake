# Cross build for 64-bit ARM devices with Debian's cross compiler and the
# arm64 multiarch libraries (zlib1g-dev:arm64, libgtest-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The multiarch libraries live in the host's /usr, so the search is not
# confined to a sysroot; the library architecture keeps it to arm64 files.
set(OAM_DEB_ARCH arm64)
# No -L: the program's interpreter resolves through the multiarch paths
# (libc6, libstdc++6, zlib1g of the target architecture).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
