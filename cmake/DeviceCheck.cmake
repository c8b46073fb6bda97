# device_check: compiles every device source, the platform interface and the module's platform layer
# as the module's compilers see them, C++03 with a 16-bit wchar_t and 32-bit pointers. Compiled,
# never linked or run. Two passes:
# - x86: a 32-bit Windows compiler (i686-w64-mingw32-g++) with its own headers.
# - ARM: the ARM compiler (arm-none-eabi-g++) for the module's ARMv4T core in ARM state, on the same
#   desktop Windows headers (an ARM compiler for Windows CE is not to be had here) with -fshort-wchar,
#   and with -Wcast-align, which on ARM flags every cast that may misalign a 16- or 32-bit access.
#   The main ID routine (platform/wince/cpu_main_id.S) is assembled for ARM too.
find_program(KALVORI_DEVICE_CXX NAMES i686-w64-mingw32-g++ i686-w64-mingw32-g++-win32)
find_program(KALVORI_DEVICE_ARM_CXX NAMES arm-none-eabi-g++)

if(NOT KALVORI_DEVICE_CXX)
  message(STATUS "device_check: i686-w64-mingw32-g++ not found; the C++03 device check is skipped")
  return()
endif()

# KALVORI_DEVICE_CHECK lets the x86 pass compile the platform layer, which otherwise insists on an ARM
# target (its main ID routine is ARM code). mingw's headers are system headers: -pedantic leaves them be.
set(KALVORI_DEVICE_FLAGS -std=c++03 -pedantic -Wall -Wextra -Werror -fno-exceptions -fno-rtti
                         -DKALVORI_DEVICE_CHECK=1)

include(${CMAKE_CURRENT_LIST_DIR}/DeviceSources.cmake)
kalvori_device_sources(device_check_sources)
list(APPEND device_check_sources ${PROJECT_SOURCE_DIR}/cmake/device_headers.cpp)

# Compiles each source with the compiler and flags into folder; the objects' paths go to out.
function(kalvori_device_check_pass out folder compiler)
  set(objects)
  foreach(source ${ARGN})
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${source})
    set(object ${CMAKE_BINARY_DIR}/${folder}/${rel}.o)
    set(flags ${KALVORI_PASS_FLAGS})
    if(source MATCHES "\\.S$")
      set(flags ${KALVORI_PASS_ASM_FLAGS} -x assembler-with-cpp)
    endif()
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${compiler} ${flags} -I${PROJECT_SOURCE_DIR} -MD -MF ${object}.d -c ${source} -o ${object}
      DEPENDS ${source}
      DEPFILE ${object}.d
      COMMENT "${folder} ${rel}"
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  set(${out} ${objects} PARENT_SCOPE)
endfunction()

set(KALVORI_PASS_FLAGS ${KALVORI_DEVICE_FLAGS})
kalvori_device_check_pass(device_check_objects device_check ${KALVORI_DEVICE_CXX} ${device_check_sources})

if(KALVORI_DEVICE_ARM_CXX)
  # The desktop headers that mingw-w64 ships, in place of the ARM compiler's own C library (-nostdinc);
  # only the compiler's freestanding headers (stddef.h, stdarg.h) are kept. What the headers expect of
  # a Windows compiler is defined as mingw's compilers define it; calling conventions mean nothing on ARM.
  execute_process(COMMAND ${KALVORI_DEVICE_ARM_CXX} -print-file-name=include
                  OUTPUT_VARIABLE arm_compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_path(KALVORI_WINDOWS_HEADERS windows.h PATHS /usr/share/mingw-w64/include /usr/i686-w64-mingw32/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  set(KALVORI_DEVICE_ARM_FLAGS
      -std=c++03 -pedantic -Wall -Wextra -Werror -Wcast-align -fno-exceptions -fno-rtti
      -march=armv4t -marm -mfloat-abi=soft -fshort-wchar
      -nostdinc -isystem ${arm_compiler_include} -isystem ${KALVORI_WINDOWS_HEADERS}
      -isystem ${PROJECT_SOURCE_DIR}/cmake/device_check_arm
      -D_WIN32 -D__WIN32__ -D__MSVCRT__ -D__MINGW32__ "-D__declspec(x)=__attribute__((x))"
      -D__stdcall= -D__cdecl= -D__fastcall= -D__thiscall= -D_stdcall= -D_cdecl=)
  set(KALVORI_PASS_FLAGS ${KALVORI_DEVICE_ARM_FLAGS})
  set(KALVORI_PASS_ASM_FLAGS -march=armv4t -marm)
  kalvori_device_check_pass(device_check_arm_objects device_check_arm ${KALVORI_DEVICE_ARM_CXX}
                            ${device_check_sources} ${PROJECT_SOURCE_DIR}/platform/wince/cpu_main_id.S)
  list(APPEND device_check_objects ${device_check_arm_objects})
else()
  message(STATUS "device_check: arm-none-eabi-g++ not found; the device code is checked for x86 only")
endif()

add_custom_target(device_check ALL DEPENDS ${device_check_objects})
