# Cross build for 32-bit ARM with hardware floating point (ARMv7-A) recorders with Debian's g++-arm-linux-gnueabihf.
set(PLIMD_TRIPLE arm-linux-gnueabihf)
set(PLIMD_PROCESSOR arm)
set(PLIMD_QEMU qemu-arm)
set(PLIMD_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
