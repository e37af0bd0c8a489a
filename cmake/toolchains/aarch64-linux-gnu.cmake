# Cross build for 64-bit ARM (ARMv8-A) recorders with Debian's g++-aarch64-linux-gnu.
set(PLIMD_TRIPLE aarch64-linux-gnu)
set(PLIMD_PROCESSOR aarch64)
set(PLIMD_QEMU qemu-aarch64)
set(PLIMD_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
