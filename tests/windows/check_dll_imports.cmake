# Checks the export and import tables of the built gpuproc.dll with
# `objdump -p`:
# - exactly the three entry points, undecorated;
# - imports from KERNEL32.dll, pdh.dll, dxgi.dll and the C runtime only, so
#   that the DLL needs nothing beyond a bare Windows (no libstdc++, libgcc or
#   libwinpthread DLL);
# - exactly the PDH and DXGI functions the Windows binding calls;
# - no winpthreads folded in (its symbols, in a build that keeps them): it
#   takes a TLS index and handles at every load that FreeLibrary never gives
#   back.
#
#   cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DLIBRARY=gpuproc.dll -P check_dll_imports.cmake
cmake_minimum_required(VERSION 3.20)

set(expectedExports GetGPUDataForAllProcesses GetGPUDataForProcess GetGPUSnapshotForAllProcesses)
set(expectedPdhImports
  PdhAddEnglishCounterW
  PdhCloseQuery
  PdhCollectQueryData
  PdhEnumObjectItemsW
  PdhEnumObjectsW
  PdhGetCounterInfoW
  PdhGetFormattedCounterArrayW
  PdhGetFormattedCounterValue
  PdhGetRawCounterArrayW
  PdhOpenQueryW
  PdhRemoveCounter
)
set(expectedDxgiImports CreateDXGIFactory1)

if(NOT OBJDUMP OR NOT LIBRARY)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DLIBRARY=<dll> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}"
  OUTPUT_VARIABLE dump RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${LIBRARY} failed: ${errors}")
endif()

string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

set(section "")
set(currentDll "")
set(exports "")
set(dlls "")
set(pdhImports "")
set(dxgiImports "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(section exports)
  elseif(line MATCHES "^The Import Tables")
    set(section imports)
  elseif(line MATCHES "^The Export Tables|^The Function Table|^PE File Base Relocations|^There is ")
    set(section "")
  elseif(section STREQUAL "exports" AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] (.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(section STREQUAL "exports" AND line STREQUAL "")
    set(section "")
  elseif(section STREQUAL "imports" AND line MATCHES "^[ \t]+DLL Name: (.+)$")
    set(currentDll "${CMAKE_MATCH_1}")
    list(APPEND dlls "${currentDll}")
  elseif(section STREQUAL "imports" AND line STREQUAL "")
    set(currentDll "")
  elseif(section STREQUAL "imports" AND currentDll STREQUAL "pdh.dll"
         AND line MATCHES "^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+([A-Za-z_][A-Za-z0-9_]*)$")
    list(APPEND pdhImports "${CMAKE_MATCH_1}")
  elseif(section STREQUAL "imports" AND currentDll STREQUAL "dxgi.dll"
         AND line MATCHES "^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+([A-Za-z_][A-Za-z0-9_]*)$")
    list(APPEND dxgiImports "${CMAKE_MATCH_1}")
  endif()
endforeach()

set(failures "")
if(NOT exports STREQUAL expectedExports)
  string(APPEND failures "exports are [${exports}], expected [${expectedExports}]\n")
endif()
foreach(dll IN LISTS dlls)
  string(TOLOWER "${dll}" lowerDll)
  if(NOT lowerDll MATCHES "^(kernel32\\.dll|pdh\\.dll|dxgi\\.dll|msvcrt\\.dll|ucrtbase\\.dll|api-ms-win-crt-[a-z0-9-]+\\.dll)$")
    string(APPEND failures "imports from ${dll}, which is not a system DLL\n")
  endif()
endforeach()
list(SORT pdhImports)
if(NOT pdhImports STREQUAL expectedPdhImports)
  string(APPEND failures "PDH imports are [${pdhImports}], expected [${expectedPdhImports}]\n")
endif()
if(NOT dxgiImports STREQUAL expectedDxgiImports)
  string(APPEND failures "DXGI imports are [${dxgiImports}], expected [${expectedDxgiImports}]\n")
endif()
execute_process(COMMAND "${OBJDUMP}" -t "${LIBRARY}"
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result ERROR_QUIET)
string(REGEX MATCHALL "[A-Za-z_]*pthread[A-Za-z0-9_]*" pthreadSymbols "${symbols}")
if(pthreadSymbols)
  list(REMOVE_DUPLICATES pthreadSymbols)
  list(SUBLIST pthreadSymbols 0 5 pthreadSymbols)
  string(APPEND failures "winpthreads is linked in: [${pthreadSymbols}]\n")
endif()
if(failures)
  message(FATAL_ERROR "${LIBRARY}:\n${failures}")
endif()
message(STATUS "${LIBRARY}: exports [${exports}]; imports from [${dlls}]; PDH [${pdhImports}]; DXGI [${dxgiImports}]")
