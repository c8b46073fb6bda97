# device_check: compiles every device source, the platform interface and the module's platform layer
# with a 32-bit Windows compiler as C++03: 16-bit wchar_t and 32-bit pointers, as on the module.
find_program(KALVORI_DEVICE_CXX NAMES i686-w64-mingw32-g++ i686-w64-mingw32-g++-win32)

if(NOT KALVORI_DEVICE_CXX)
  message(STATUS "device_check: i686-w64-mingw32-g++ not found; the C++03 device check is skipped")
  return()
endif()

# KALVORI_DEVICE_CHECK: compiled, never linked or run (the platform layer's ARM-only routine is
# declared but not assembled here). mingw's own headers are system headers, so -pedantic leaves them be.
set(KALVORI_DEVICE_FLAGS -std=c++03 -pedantic -Wall -Wextra -Werror -fno-exceptions -fno-rtti
                         -DKALVORI_DEVICE_CHECK=1)

include(${CMAKE_CURRENT_LIST_DIR}/DeviceSources.cmake)
kalvori_device_sources(device_check_sources)
list(APPEND device_check_sources ${PROJECT_SOURCE_DIR}/cmake/device_headers.cpp)

set(device_check_objects)
foreach(source ${device_check_sources})
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${source})
  set(object ${CMAKE_BINARY_DIR}/device_check/${rel}.o)
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/device_check
    COMMAND ${KALVORI_DEVICE_CXX} ${KALVORI_DEVICE_FLAGS} -I${PROJECT_SOURCE_DIR} -MD -MF ${object}.d -c ${source} -o ${object}
    DEPENDS ${source}
    DEPFILE ${object}.d
    COMMENT "device_check ${rel}"
    VERBATIM)
  list(APPEND device_check_objects ${object})
endforeach()

add_custom_target(device_check ALL DEPENDS ${device_check_objects})
