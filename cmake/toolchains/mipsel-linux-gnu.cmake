# Cross build for 32-bit little-endian MIPS (MIPS32r2) recorders with Debian's g++-mipsel-linux-gnu.
set(PLIMD_TRIPLE mipsel-linux-gnu)
set(PLIMD_PROCESSOR mipsel)
set(PLIMD_QEMU qemu-mipsel)
set(PLIMD_DEB_ARCH mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
