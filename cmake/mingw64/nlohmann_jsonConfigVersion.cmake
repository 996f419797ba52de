# The version of the host's package that cmake/mingw64/nlohmann_jsonConfig.cmake exposes.
include("${GPUPROC_NLOHMANN_HEADER_ROOT}/../share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake"
        OPTIONAL RESULT_VARIABLE _gpuproc_nlohmann_version_file)
if(NOT _gpuproc_nlohmann_version_file)
  set(PACKAGE_VERSION_UNSUITABLE TRUE)
endif()
unset(_gpuproc_nlohmann_version_file)
