include(CMakePackageConfigHelpers)

install(TARGETS gpuproc EXPORT gpuprocTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/gpuproc/gpuproc.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gpuproc)
install(EXPORT gpuprocTargets NAMESPACE gpuproc:: FILE gpuprocTargets.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gpuproc)

configure_package_config_file(cmake/gpuprocConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/gpuprocConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gpuproc)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/gpuprocConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gpuprocConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/gpuprocConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gpuproc)

# The .pc file finds its prefix from where it lies, so `cmake --install
# --prefix` anywhere gives a working file.
file(RELATIVE_PATH GPUPROC_PC_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" GPUPROC_PC_PREFIX "${GPUPROC_PC_PREFIX}")
configure_file(cmake/gpuproc.pc.in ${CMAKE_CURRENT_BINARY_DIR}/gpuproc.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gpuproc.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The exporter's systemd unit, for a distribution's package: installed only
# where GPUPROC_SYSTEMD_UNIT_DIR names the folder, with ExecStart naming the
# installed exporter and without the opening comment on copying it by hand
# from the tree (where it names /usr/local/bin, as a plain `cmake --install`
# puts it).
set(GPUPROC_SYSTEMD_UNIT_DIR "" CACHE PATH "Where to install the exporter's systemd unit (empty: nowhere)")
if(GPUPROC_SYSTEMD_UNIT_DIR AND TARGET gpuproc_exporter)
  set(unit ${PROJECT_SOURCE_DIR}/exporter/gpuproc-exporter.service)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${unit})
  file(READ ${unit} unitText)
  string(REGEX REPLACE "^(#[^\n]*\n)+" "" unitText "${unitText}")
  string(REPLACE "/usr/local/bin/" "${CMAKE_INSTALL_FULL_BINDIR}/" unitText "${unitText}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/gpuproc-exporter.service "${unitText}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gpuproc-exporter.service DESTINATION ${GPUPROC_SYSTEMD_UNIT_DIR})
endif()
