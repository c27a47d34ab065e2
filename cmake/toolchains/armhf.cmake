# Linux on 32-bit ARM with hardware floating point.
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(VEMK_TRIPLE arm-linux-gnueabihf)
set(VEMK_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
