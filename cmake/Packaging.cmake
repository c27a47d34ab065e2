# Debian packages, split as Debian ships libraries: cpack -G DEB in a
# release build gives
#   vemk         the program and its manual page (linked statically with the
#                C++ runtime: needs only libc)
#   libvemk0     the shared library libvemk.so.0, named after its SONAME
#   libvemk-dev  headers, static archive, libvemk.so link, pkg-config file
#                and CMake package; needs exactly the same libvemk0
# Each holds /usr/share/doc/<package>/copyright and changelog.Debian.gz.

set(vemk_deb_revision 1)
set(vemk_deb_version "${PROJECT_VERSION}-${vemk_deb_revision}")
set(vemk_runtime_package "libvemk${PROJECT_VERSION_MAJOR}")

# The changelog's latest entry must be the version that is packaged.
file(STRINGS cmake/debian/changelog vemk_changelog_top LIMIT_COUNT 1)
if(NOT vemk_changelog_top MATCHES "^vemk \\(${vemk_deb_version}\\) ")
  message(WARNING "cmake/debian/changelog does not start with version ${vemk_deb_version}: add an entry")
endif()

# The Debian-only files go only into the packages, not into a plain
# `cmake --install` (EXCLUDE_FROM_ALL: installed when the component is
# asked for by name, as cpack does).
if(VEMK_GZIP)
  foreach(component_package IN ITEMS "program;vemk" "runtime;${vemk_runtime_package}" "development;libvemk-dev")
    list(GET component_package 0 component)
    list(GET component_package 1 package)
    install(FILES cmake/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
      COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/overrides/${package}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
      COMPONENT ${component} EXCLUDE_FROM_ALL)
  endforeach()
endif()

# The exported symbols, for dpkg-shlibdeps of programs linked with the
# library: each with the version that brought it. scripts/test.sh checks
# that this list is exactly what the library exports.
set(vemk_symbols
  "vemk_compress 0.1.0"
  "vemk_compress_bound 0.1.0"
  "vemk_compress_file 0.1.0"
  "vemk_compress_threads 0.1.0"
  "vemk_decompress 0.1.0"
  "vemk_decompress_file 0.1.0"
  "vemk_decompressed_size 0.1.0"
  "vemk_dstream_decode 0.2.0"
  "vemk_dstream_end 0.2.0"
  "vemk_dstream_free 0.2.0"
  "vemk_dstream_new 0.2.0"
  "vemk_message 0.1.0"
  "vemk_version 0.1.0")
set(vemk_symbols_file "libvemk.so.${PROJECT_VERSION_MAJOR} ${vemk_runtime_package} #MINVER#\n* Build-Depends-Package: libvemk-dev\n")
foreach(symbol IN LISTS vemk_symbols)
  string(REPLACE " " "@Base " symbol "${symbol}")
  string(APPEND vemk_symbols_file " ${symbol}\n")
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/symbols "${vemk_symbols_file}")
# For tools that read no symbols file: any version from this one on will do.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs
  "libvemk ${PROJECT_VERSION_MAJOR} ${vemk_runtime_package} (>= ${PROJECT_VERSION})\n")
file(COPY_FILE cmake/debian/triggers ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers)

# These packages are not uploaded to Debian, so no bug of its archive is
# there to close (lintian asks a first upload to close one).
foreach(package IN ITEMS vemk ${vemk_runtime_package} libvemk-dev)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/overrides/${package}
    "# Not uploaded to the Debian archive: there is no ITP bug to close.\n"
    "${package}: initial-upload-closes-no-bugs\n")
endforeach()

set(CPACK_PACKAGE_NAME vemk)
set(CPACK_PACKAGE_VENDOR "vemk developers")
set(CPACK_PACKAGE_CONTACT "vemk developers <maintainers@users.noreply.c-seed-f1c21789.example>")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program)
if(VEMK_SHARED)
  list(APPEND CPACK_COMPONENTS_ALL runtime)
endif()
list(APPEND CPACK_COMPONENTS_ALL development)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${vemk_deb_revision})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME vemk)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "file compressor with an order-0 model and a range coder
vemk compresses one file into another and restores it byte for byte.
Each file is coded with one static order-0 model and a carry-propagating
range coder. It is fast, and strong on files whose byte values are very
unevenly spread; it finds no repeated strings, so general-purpose
compressors beat it on most text and programs.
.
This package holds the command-line program and its manual page.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${vemk_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs
  ${CMAKE_CURRENT_BINARY_DIR}/debian/symbols ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers)
# CPack also writes postinst and postrm scripts that run ldconfig for a
# library in /usr/lib; the trigger above already does that, so the library's
# package is rebuilt without them once cpack is done.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/DropLdconfigScripts.cmake)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "vemk compression library
The vemk library compresses and restores whole byte buffers and whole
files with one static order-0 model and a carry-propagating range coder,
in the same format as the vemk program. Its C interface writes into
buffers that the caller provides and reports every failure as a result;
it never exits, prints or throws, and is safe on any input.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvemk-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
if(VEMK_SHARED)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${vemk_runtime_package} (= ${vemk_deb_version})")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "vemk compression library - development files
The vemk library compresses and restores whole byte buffers and whole
files with one static order-0 model and a carry-propagating range coder,
in the same format as the vemk program.
.
This package holds the C header vemk.h, the C++ header vemk/vemk.h, the
static archive, the pkg-config file and the CMake package.")

include(CPack)
