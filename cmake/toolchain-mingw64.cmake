# Cross-builds the 64-bit Windows library, host and tests on Debian with
# mingw-w64 (package g++-mingw-w64-x86-64-win32) and runs them under Wine:
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
#   cmake --build build-win -j2
#   .ci/windows.sh        (or: ctest --test-dir build-win, with a booted WINEPREFIX)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GPUPROC_MINGW_TRIPLET x86_64-w64-mingw32)
# The win32 flavour: its libstdc++ is built on the Win32 primitives alone.
# The posix flavour's runs on winpthreads, which static linking folds into the
# DLL, and winpthreads takes a TLS index, an event, a thread handle and two
# semaphores at every load that FreeLibrary never gives back: a host that
# loads and unloads the DLL runs out of TLS indexes after about a thousand
# cycles. The win32 flavour has no std::thread, std::mutex or
# std::call_once (GCC 12): the library uses SRWLOCK and CONDITION_VARIABLE,
# the tests CreateThread.
find_program(CMAKE_C_COMPILER NAMES ${GPUPROC_MINGW_TRIPLET}-gcc-win32 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${GPUPROC_MINGW_TRIPLET}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${GPUPROC_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${GPUPROC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static folds libstdc++ and libgcc in, so the binaries import only system
# DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The host's nlohmann/json is header-only and serves any target, but its
# package config points at /usr/include, which would put glibc's headers in
# front of MinGW's. The package config in cmake/mingw64 exposes only the
# nlohmann folder.
set(nlohmann_json_DIR "${CMAKE_CURRENT_LIST_DIR}/mingw64" CACHE PATH
    "nlohmann_json package config for the cross build")
set(GPUPROC_NLOHMANN_HEADER_ROOT "/usr/include" CACHE PATH
    "Folder holding the host's nlohmann/ header folder")
# CLI11 (the command line's parser) is header-only as well: the same way in.
set(CLI11_DIR "${CMAKE_CURRENT_LIST_DIR}/mingw64" CACHE PATH "CLI11 package config for the cross build")
set(GPUPROC_CLI11_HEADER_ROOT "/usr/include" CACHE PATH "Folder holding the host's CLI/ header folder")

# Tests and test discovery run under Wine. wine64 itself rather than the
# /usr/bin/wine wrapper, which prints a warning about a missing wine32 on
# standard error of every run.
find_program(GPUPROC_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine)
if(GPUPROC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${GPUPROC_WINE}")
endif()
# Discover tests when ctest runs, so that building never starts Wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
