# Shared part of the toolchain files for Debian's cross compilers (g++-<triple>). The including
# file sets PLIMD_TRIPLE, PLIMD_PROCESSOR, PLIMD_QEMU and PLIMD_DEB_ARCH first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${PLIMD_PROCESSOR})
set(CMAKE_C_COMPILER ${PLIMD_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PLIMD_TRIPLE}-g++)

# Libraries and headers come from the target's tree only; programs run at build time are the
# host's.
set(CMAKE_FIND_ROOT_PATH /usr/${PLIMD_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs (the test discovery, ctest) run under qemu-user; -L lets a dynamically
# linked one find the target's loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PLIMD_QEMU} -L /usr/${PLIMD_TRIPLE})

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PLIMD_DEB_ARCH})
