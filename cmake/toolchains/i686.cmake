# Linux on 32-bit x86.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VEMK_TRIPLE i686-linux-gnu)
set(VEMK_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
