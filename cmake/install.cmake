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
