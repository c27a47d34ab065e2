# Run by cpack after the packages are built (CPACK_POST_BUILD_SCRIPTS): takes
# out of the shared library's package the postinst and postrm that only run
# ldconfig, which its ldconfig trigger does instead.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  if(NOT name MATCHES "^libvemk[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/without-ldconfig-scripts")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${DPKG_DEB} --raw-extract "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    file(READ "${tree}/DEBIAN/${script}" text)
    if(NOT text MATCHES "ldconfig")
      message(FATAL_ERROR "${name}: ${script} does more than run ldconfig:\n${text}")
    endif()
    file(REMOVE "${tree}/DEBIAN/${script}")
  endforeach()
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build "${tree}" "${package}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
