# What the toolchain files share: Debian's cross compiler for the triplet
# OAM_CROSS_TRIPLET and the target's multiarch libraries (zlib1g-dev:ARCH,
# libzstd-dev:ARCH, libgtest-dev:ARCH).  The multiarch libraries live in
# this machine's /usr, so the search is not confined to a sysroot; the
# library architecture keeps it to the target's files.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${OAM_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OAM_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${OAM_CROSS_TRIPLET})
# Test programs run through qemu-user without -L: the program's interpreter
# resolves through the multiarch paths (libc6, libstdc++6, zlib1g, libzstd1
# of the target architecture).
set(CMAKE_CROSSCOMPILING_EMULATOR ${OAM_CROSS_QEMU})
