# Run as a test: configures the module build (cmake/wince-arm.cmake) and checks what it would build.
#   cmake -DCOMPILER=<c++> -DSOURCE_DIR=<project> -DBINARY_DIR=<scratch> -DGENERATOR=<gen> -P ModuleBuildProbe.cmake
# No ARM compiler is at hand here, so the device check's compiler stands in for one of the GCC family
# (its ARM options are cleared); the configuration must yield launcher.exe from the device sources
# and the Windows CE platform layer, and no host target at all.
file(REMOVE_RECURSE ${BINARY_DIR})
file(WRITE ${BINARY_DIR}/.cmake/api/v1/query/codemodel-v2 "")

execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} -G ${GENERATOR}
          -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/wince-arm.cmake -DWINCE_CXX_COMPILER=${COMPILER}
          -DCMAKE_CXX_FLAGS=
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the module build does not configure:\n${output}")
endif()

file(GLOB index ${BINARY_DIR}/.cmake/api/v1/reply/codemodel-v2-*.json)
file(READ ${index} codemodel)
string(JSON target_count LENGTH "${codemodel}" configurations 0 targets)
set(targets)
set(launcher_file)
math(EXPR last "${target_count} - 1")
foreach(i RANGE ${last})
  string(JSON name GET "${codemodel}" configurations 0 targets ${i} name)
  list(APPEND targets ${name})
  if(name STREQUAL "launcher")
    string(JSON launcher_file GET "${codemodel}" configurations 0 targets ${i} jsonFile)
  endif()
endforeach()

if(NOT targets STREQUAL "launcher")
  message(FATAL_ERROR "the module build should make launcher alone, but makes: ${targets}")
endif()

file(READ ${BINARY_DIR}/.cmake/api/v1/reply/${launcher_file} launcher)
string(JSON artifact GET "${launcher}" artifacts 0 path)
if(NOT artifact MATCHES "launcher\\.exe$")
  message(FATAL_ERROR "the module executable is ${artifact}, not launcher.exe")
endif()
string(JSON source_count LENGTH "${launcher}" sources)
set(sources)
math(EXPR last "${source_count} - 1")
foreach(i RANGE ${last})
  string(JSON path GET "${launcher}" sources ${i} path)
  list(APPEND sources ${path})
endforeach()
set(PROJECT_SOURCE_DIR ${SOURCE_DIR})
include(${SOURCE_DIR}/cmake/DeviceSources.cmake)
kalvori_device_sources(device_sources)
set(required cpu_main_id.o platform/wince/entry.cpp)
foreach(source ${device_sources})
  file(RELATIVE_PATH rel ${SOURCE_DIR} ${source})
  list(APPEND required ${rel})
endforeach()
foreach(file ${required})
  string(FIND "${sources}" "${file}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "launcher.exe is built without ${file}; its sources: ${sources}")
  endif()
endforeach()
foreach(source ${sources})
  if(source MATCHES "^(platform/host|sim|tools|tests|bench)/")
    message(FATAL_ERROR "launcher.exe is built with host code (${source}); its sources: ${sources}")
  endif()
endforeach()
# The main thread's stack is reserved explicitly, not left to the linker's default.
string(JSON fragments GET "${launcher}" link commandFragments)
if(NOT fragments MATCHES "--stack,131072")
  message(FATAL_ERROR "launcher.exe is linked without its stack reserve: ${fragments}")
endif()
message(STATUS "the module build makes ${artifact} from ${source_count} sources")
