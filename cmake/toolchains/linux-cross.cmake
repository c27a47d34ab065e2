# Linux on another processor, built with Debian's cross compiler for
# VEMK_TRIPLE and run under qemu-user (VEMK_QEMU). Included by the
# toolchain file of each such preset.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VEMK_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VEMK_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${VEMK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VEMK_QEMU} -L /usr/${VEMK_TRIPLE})
# Static programs: qemu-user then needs no target libraries at run time,
# and threads work under it (a dynamic i686 program hangs in qemu 7.2 at
# its first thread).
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
