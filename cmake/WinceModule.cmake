# The module executable, launcher.exe: the device code and the Windows CE platform layer, built with
# the toolchain of cmake/wince-arm.cmake. Nothing of the host (simulator, tools, tests) is built.

if(MSVC AND NOT MSVC_CXX_ARCHITECTURE_ID MATCHES "^ARM")
  message(FATAL_ERROR "module build: ${CMAKE_CXX_COMPILER} builds for ${MSVC_CXX_ARCHITECTURE_ID}, "
                      "not for the module's ARM processor; use the Windows CE ARM compiler")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/DeviceSources.cmake)
kalvori_device_sources(module_sources)

# The main ID register is read by one coprocessor instruction, assembled by the family's assembler.
if(MSVC)
  get_filename_component(_module_compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
  find_program(WINCE_ARMASM NAMES armasm.exe armasm HINTS "${_module_compiler_dir}" REQUIRED)
  set(WINCE_ARMASM_FLAGS "-arch 4T" CACHE STRING "Options of the Microsoft ARM assembler")
  separate_arguments(_module_armasm_flags WINDOWS_COMMAND "${WINCE_ARMASM_FLAGS}")
  set(cpu_main_id_source ${PROJECT_SOURCE_DIR}/platform/wince/cpu_main_id.asm)
  set(cpu_main_id_object ${PROJECT_BINARY_DIR}/cpu_main_id.obj)
  add_custom_command(
    OUTPUT ${cpu_main_id_object}
    COMMAND ${WINCE_ARMASM} ${_module_armasm_flags} ${cpu_main_id_source} ${cpu_main_id_object}
    DEPENDS ${cpu_main_id_source}
    COMMENT "armasm cpu_main_id.asm"
    VERBATIM)
else()
  set(cpu_main_id_source ${PROJECT_SOURCE_DIR}/platform/wince/cpu_main_id.S)
  set(cpu_main_id_object ${PROJECT_BINARY_DIR}/cpu_main_id.o)
  separate_arguments(_module_cxx_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
  add_custom_command(
    OUTPUT ${cpu_main_id_object}
    COMMAND ${CMAKE_CXX_COMPILER} ${_module_cxx_flags} -x assembler-with-cpp -c ${cpu_main_id_source}
            -o ${cpu_main_id_object}
    DEPENDS ${cpu_main_id_source}
    COMMENT "as cpu_main_id.S"
    VERBATIM)
endif()
set_source_files_properties(${cpu_main_id_object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

add_executable(launcher WIN32 ${module_sources} ${cpu_main_id_object})
target_include_directories(launcher PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(launcher PRIVATE UNICODE _UNICODE)
if(MSVC)
  target_compile_options(launcher PRIVATE /W3)
else()
  target_compile_options(launcher PRIVATE -Wall -fno-exceptions -fno-rtti)
endif()

# The main thread's stack. The launcher's own frames take at most 40 KiB (the stack_tests hold it
# to that: the deepest AutoCopy tree, and a bad-block replacement nested once for every spare of
# the largest chip); the rest is for the operating system's services and the runtime start-up.
set(WINCE_STACK_RESERVE 131072 CACHE STRING "Bytes of stack reserved for the launcher's main thread")
if(MSVC)
  target_link_options(launcher PRIVATE /STACK:${WINCE_STACK_RESERVE})
else()
  target_link_options(launcher PRIVATE -Wl,--stack,${WINCE_STACK_RESERVE})
endif()
