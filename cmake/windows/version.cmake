# gpuproc_version_resource(TARGET FILENAME DESCRIPTION): compiles a VERSIONINFO
# resource carrying PROJECT_VERSION into TARGET (a DLL or an executable), with
# the resource compiler of the toolchain (windres for MinGW, rc for MSVC).
function(gpuproc_version_resource target filename description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(GPUPROC_RC_FILETYPE VFT_DLL)
  else()
    set(GPUPROC_RC_FILETYPE VFT_APP)
  endif()
  set(GPUPROC_RC_FILENAME ${filename})
  get_filename_component(GPUPROC_RC_INTERNAL_NAME ${filename} NAME_WE)
  set(GPUPROC_RC_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
