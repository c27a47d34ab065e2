# Linux on IBM Z, big-endian.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VEMK_TRIPLE s390x-linux-gnu)
set(VEMK_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
