# stack_usage: compiles the module executable's sources (cmake/DeviceSources.cmake) with an ARM GCC
# as the module's compilers see them (C++03, ARMv4T, a 16-bit wchar_t, optimised as the module build
# is) and has it write each function's frame and calls (-fcallgraph-info=su: one .ci file per
# source). The stack_tests read them and add up the deepest chain of calls from the entry.
#
# The Windows CE layer is compiled against the desktop headers of mingw-w64 (those of the device
# check): the ARM compiler does not know their calling-convention keywords, which are defined away
# here (they change nothing on ARM), and their <malloc.h> wants a header of the x86 compiler, which
# an empty stand-in replaces. Its frames are what the module's layer puts on the stack; what the
# operating system's own services use below it is not measured.
find_program(KALVORI_STACK_CXX NAMES arm-linux-gnueabi-g++)
set(KALVORI_MINGW_HEADERS /usr/share/mingw-w64/include)

if(NOT KALVORI_STACK_CXX OR NOT EXISTS ${KALVORI_MINGW_HEADERS}/windows.h)
  message(STATUS "stack_usage: arm-linux-gnueabi-g++ or mingw-w64's headers not found; the stack check is skipped")
  return()
endif()

set(KALVORI_STACK_DIR ${CMAKE_BINARY_DIR}/stack_usage)
set(KALVORI_STACK_FLAGS -std=c++03 -O2 -march=armv4t -marm -fshort-wchar -fno-exceptions -fno-rtti -D_WIN32
                        -fcallgraph-info=su)
set(KALVORI_STACK_CE_FLAGS -D__MINGW32__ -DKALVORI_DEVICE_CHECK=1 "-D__declspec(x)=" -D__cdecl= -D__stdcall=
                           -D__fastcall= -D__thiscall= -isystem ${KALVORI_STACK_DIR}/shim -isystem
                           ${KALVORI_MINGW_HEADERS})
file(MAKE_DIRECTORY ${KALVORI_STACK_DIR}/shim)
file(WRITE ${KALVORI_STACK_DIR}/shim/mm_malloc.h "/* stands in for the x86 compiler's header */\n")

include(${CMAKE_CURRENT_LIST_DIR}/DeviceSources.cmake)
kalvori_device_sources(stack_sources)

set(stack_outputs)
foreach(source ${stack_sources})
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${source})
  string(REPLACE "/" "_" stem "${rel}")
  set(object ${KALVORI_STACK_DIR}/${stem}.o)
  set(graph ${KALVORI_STACK_DIR}/${stem}.ci)
  set(flags ${KALVORI_STACK_FLAGS})
  if(rel MATCHES "^platform/wince/")
    list(APPEND flags ${KALVORI_STACK_CE_FLAGS})
  endif()
  add_custom_command(
    OUTPUT ${graph}
    BYPRODUCTS ${object}
    COMMAND ${KALVORI_STACK_CXX} ${flags} -I${PROJECT_SOURCE_DIR} -MD -MF ${object}.d -c ${source} -o ${object}
    DEPENDS ${source}
    DEPFILE ${object}.d
    COMMENT "stack_usage ${rel}"
    VERBATIM)
  list(APPEND stack_outputs ${graph})
endforeach()

add_custom_target(stack_usage ALL DEPENDS ${stack_outputs})
