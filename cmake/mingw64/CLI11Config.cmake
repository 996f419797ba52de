# CLI11 for the MinGW cross build: the host's header-only package, seen
# through a folder that holds nothing but a link to its CLI/ folder, so no
# other host header can shadow MinGW's.
if(NOT TARGET CLI11::CLI11)
  set(_gpuproc_cli11_root "${CMAKE_BINARY_DIR}/cli11-include")
  if(NOT EXISTS "${_gpuproc_cli11_root}/CLI/CLI.hpp")
    file(MAKE_DIRECTORY "${_gpuproc_cli11_root}")
    file(CREATE_LINK "${GPUPROC_CLI11_HEADER_ROOT}/CLI" "${_gpuproc_cli11_root}/CLI" SYMBOLIC)
  endif()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_gpuproc_cli11_root}")
  unset(_gpuproc_cli11_root)
endif()
set(CLI11_FOUND TRUE)
