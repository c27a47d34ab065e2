# Install directories (GNUInstallDirs). On Debian and its derivatives the
# libraries go into the multiarch directory, lib/x86_64-linux-gnu and the
# like, whatever the prefix: the loader, pkg-config and CMake look there
# under /usr/local too, and the Debian packages must use it for cross
# builds to find the right architecture's files. An explicit
# -DCMAKE_INSTALL_LIBDIR wins.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING
   AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)
