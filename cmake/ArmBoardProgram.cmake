# arm_board_program: the flash library on an emulated ARM board. The device code (flash front end, NOR
# and NAND drivers, physical windows, pins, tester hand-off), unchanged, with the platforms' formatter
# and the module's main-ID routine, and a platform layer of the board's own (tests/arm_board/program/),
# built as a bare-metal program for QEMU's "virt" ARM board. tests/arm_board runs it and checks the image.
#
# The module's cores are ARMv4I and ARMv5: the program is built for ARMv4T in ARM state, C++03,
# 16-bit wchar_t, with -Wcast-align, which warns about every cast that may misalign on ARM.
find_program(KALVORI_BARE_CXX NAMES arm-none-eabi-g++)
find_program(KALVORI_QEMU_SYSTEM_ARM NAMES qemu-system-arm)

if(NOT KALVORI_BARE_CXX OR NOT KALVORI_QEMU_SYSTEM_ARM)
  message(STATUS "arm_board_program: arm-none-eabi-g++ or qemu-system-arm not found; the emulated-board test "
                 "is skipped (scripts/setup.sh installs both)")
  return()
endif()

set(KALVORI_BOARD_FLAGS -std=c++03 -pedantic -Wall -Wextra -Werror -Wcast-align -ffreestanding -fno-exceptions
                        -fno-rtti -march=armv4t -marm -mfloat-abi=soft -fshort-wchar -O2 -g
                        # the program brings its own memcpy and memset: loops are not to become calls to them
                        -fno-tree-loop-distribute-patterns)

file(GLOB_RECURSE board_sources CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/flash/*.cpp ${PROJECT_SOURCE_DIR}/hw/*.cpp ${PROJECT_SOURCE_DIR}/tester/*.cpp
  ${PROJECT_SOURCE_DIR}/tests/arm_board/program/*.cpp ${PROJECT_SOURCE_DIR}/tests/arm_board/program/*.S)
list(APPEND board_sources ${PROJECT_SOURCE_DIR}/platform/format.cpp
                          ${PROJECT_SOURCE_DIR}/platform/wince/cpu_main_id.S)

set(board_objects)
foreach(source ${board_sources})
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${source})
  set(object ${PROJECT_BINARY_DIR}/arm_board_program/${rel}.o)
  get_filename_component(object_dir ${object} DIRECTORY)
  set(language)
  if(source MATCHES "\\.S$")
    set(language -x assembler-with-cpp)
  endif()
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${object_dir}
    COMMAND ${KALVORI_BARE_CXX} ${KALVORI_BOARD_FLAGS} -I${PROJECT_SOURCE_DIR} -MD -MF ${object}.d ${language}
            -c ${source} -o ${object}
    DEPENDS ${source}
    DEPFILE ${object}.d
    COMMENT "arm_board_program ${rel}"
    VERBATIM)
  list(APPEND board_objects ${object})
endforeach()

set(KALVORI_ARM_BOARD_PROGRAM ${PROJECT_BINARY_DIR}/arm_board_program/board.elf)
set(board_script ${PROJECT_SOURCE_DIR}/tests/arm_board/program/board.ld)
add_custom_command(
  OUTPUT ${KALVORI_ARM_BOARD_PROGRAM}
  COMMAND ${KALVORI_BARE_CXX} ${KALVORI_BOARD_FLAGS} -nostdlib -T ${board_script} -Wl,--no-wchar-size-warning
          ${board_objects} -lgcc -o ${KALVORI_ARM_BOARD_PROGRAM}
  DEPENDS ${board_objects} ${board_script}
  COMMENT "arm_board_program board.elf"
  VERBATIM)
add_custom_target(arm_board_program ALL DEPENDS ${KALVORI_ARM_BOARD_PROGRAM})
