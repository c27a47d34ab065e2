# Install rules. Each file belongs to one component, and each component is
# one Debian package (cmake/Packaging.cmake):
#   program      the command line and its manual page        -> vemk
#   runtime      the shared library                          -> libvemk0
#   development  headers, static archive, the .so link,
#                pkg-config file, CMake package              -> libvemk-dev

include(CMakePackageConfigHelpers)

# The C header states the version for programs compiled against it; it must
# be the project's.
file(STRINGS include/vemk.h vemk_header_version REGEX "^#define VEMK_VERSION_(MAJOR|MINOR|PATCH) ")
string(REGEX REPLACE "[^;]*MAJOR ([0-9]+);[^;]*MINOR ([0-9]+);[^;]*PATCH ([0-9]+)" "\\1.\\2.\\3"
       vemk_header_version "${vemk_header_version}")
if(NOT vemk_header_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "include/vemk.h says version ${vemk_header_version}, the project ${PROJECT_VERSION}")
endif()

# Manual page and Debian changelog, compressed as Debian wants them (-n: no
# name or time stamp, so the same sources give the same bytes).
find_program(VEMK_GZIP gzip)
set(vemk_man_page ${CMAKE_CURRENT_SOURCE_DIR}/docs/vemk.1)
if(VEMK_GZIP)
  set(vemk_built_docs ${CMAKE_CURRENT_BINARY_DIR}/vemk.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/vemk.1.gz
    COMMAND ${VEMK_GZIP} -9n -c ${vemk_man_page} > vemk.1.gz
    DEPENDS ${vemk_man_page} VERBATIM)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
    COMMAND ${VEMK_GZIP} -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog > changelog.Debian.gz
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
  add_custom_target(vemk_docs ALL DEPENDS ${vemk_built_docs})
  set(vemk_man_page ${CMAKE_CURRENT_BINARY_DIR}/vemk.1.gz)
endif()

install(TARGETS vemk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES ${vemk_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)

install(TARGETS vemkcore EXPORT vemkTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
if(VEMK_SHARED)
  install(TARGETS vemkshared EXPORT vemkTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()
install(FILES include/vemk.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES include/vemk/vemk.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vemk COMPONENT development)

# CMake package: find_package(vemk) gives vemk::vemk (static) and, when
# built, vemk::shared.
install(EXPORT vemkTargets NAMESPACE vemk:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vemk COMPONENT development)
configure_package_config_file(cmake/vemkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vemkConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vemk)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vemkConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vemkConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/vemkConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vemk COMPONENT development)

# pkg-config: written when installing, so that it names the prefix really
# installed into (/usr in the Debian packages, whatever --prefix says
# otherwise). -lvemk finds the shared library where there is one; linking
# the static archive (pkg-config --static) also needs the C++ runtime.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(vemk_pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(vemk_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
# Without the shared library, -lvemk is the static archive: its C++ runtime
# and VEMK_STATIC then belong to every link and compile.
if(VEMK_SHARED)
  set(vemk_pc_cflags "")
  set(vemk_pc_libs "-lvemk")
  set(vemk_pc_libs_private "-lstdc++ -lm")
else()
  set(vemk_pc_cflags " -DVEMK_STATIC")
  set(vemk_pc_libs "-lvemk -lstdc++ -lm")
  set(vemk_pc_libs_private "")
endif()
set(vemk_pc_prefix "@vemk_pc_prefix@") # filled in at install time
configure_file(cmake/vemk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vemk.pc.in @ONLY)
install(CODE "
  set(vemk_pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(vemk_pc_dir \"${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
  if(NOT IS_ABSOLUTE \"\${vemk_pc_dir}\")
    set(vemk_pc_dir \"\${CMAKE_INSTALL_PREFIX}/\${vemk_pc_dir}\")
  endif()
  message(STATUS \"Installing: \$ENV{DESTDIR}\${vemk_pc_dir}/vemk.pc\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/vemk.pc.in\" \"\$ENV{DESTDIR}\${vemk_pc_dir}/vemk.pc\" @ONLY)
  " COMPONENT development)
