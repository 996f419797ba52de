# clang-cl and lld-link for x86_64-pc-windows-msvc, without a Windows SDK:
# enough for the C consumer that links gpuproc.lib alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
find_program(CMAKE_C_COMPILER NAMES clang-cl clang-cl-14 REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc)
find_program(CMAKE_MT NAMES llvm-mt)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
# CMake's check links a program with the C runtime, which is not there.
set(CMAKE_C_COMPILER_WORKS ON)
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "/MANIFEST:NO")
