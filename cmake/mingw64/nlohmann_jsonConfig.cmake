# nlohmann_json for the MinGW cross build: the host's header-only package,
# seen through a folder that holds nothing but a link to its nlohmann/
# folder, so no other host header can shadow MinGW's.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(_gpuproc_nlohmann_root "${CMAKE_BINARY_DIR}/nlohmann-include")
  if(NOT EXISTS "${_gpuproc_nlohmann_root}/nlohmann/json.hpp")
    file(MAKE_DIRECTORY "${_gpuproc_nlohmann_root}")
    file(CREATE_LINK "${GPUPROC_NLOHMANN_HEADER_ROOT}/nlohmann" "${_gpuproc_nlohmann_root}/nlohmann"
         SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_gpuproc_nlohmann_root}")
  unset(_gpuproc_nlohmann_root)
endif()
set(nlohmann_json_FOUND TRUE)
