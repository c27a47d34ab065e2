# Linux on 64-bit ARM.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VEMK_TRIPLE aarch64-linux-gnu)
set(VEMK_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
