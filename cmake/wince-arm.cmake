# Toolchain for the module: Windows CE 5.0 on its ARM processor (instruction set ARMV4I).
#
#   cmake -S . -B build/module -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/wince-arm.cmake \
#         -DWINCE_SDK_ROOT=<SDK folder> [-DWINCE_TOOLCHAIN=msvc|gnu] [-DWINCE_CXX_COMPILER=<compiler>]
#   cmake --build build/module        # -> build/module/launcher.exe
#
# Two compiler families are understood:
#   msvc  The Microsoft ARM compiler that builds for a Windows CE 5.0 SDK (cl.exe for ARMV4I, with
#         armasm.exe beside it), run on Windows from a command prompt in which that cl.exe runs.
#         WINCE_SDK_ROOT is the SDK's folder, holding Include/Armv4i and Lib/ARMV4I; WINCE_VC_ROOT,
#         when set, is the compiler's VC folder, whose ce/bin/x86_arm, ce/include and ce/lib/armv4i
#         are used.
#   gnu   A GCC cross compiler for Windows CE on ARM (arm-mingw32ce-g++), which brings its own headers
#         and import libraries. WINCE_SDK_ROOT is optional; when set, its Include/Armv4i is searched
#         after the compiler's own headers.
# Without WINCE_TOOLCHAIN the family follows the compiler: WINCE_CXX_COMPILER when given, else the
# first of cl.exe and arm-mingw32ce-g++ found.
#
# With this toolchain CMakeLists.txt builds only the module executable (cmake/WinceModule.cmake):
# no host libraries, tools or tests.

set(CMAKE_SYSTEM_NAME WindowsCE)
set(CMAKE_SYSTEM_VERSION 5.0)
set(CMAKE_SYSTEM_PROCESSOR ARMV4I)

set(WINCE_TOOLCHAIN "" CACHE STRING "Compiler family for the module build: msvc or gnu (empty: find one)")
set(WINCE_SDK_ROOT "$ENV{WINCE_SDK_ROOT}" CACHE PATH "Folder of the Windows CE 5.0 SDK for ARMV4I")
set(WINCE_VC_ROOT "$ENV{WINCE_VC_ROOT}" CACHE PATH "VC folder of the Microsoft compiler for Windows CE")
set(WINCE_CXX_COMPILER "" CACHE FILEPATH "The module's C++ compiler (empty: found by name)")

# try_compile projects run this file again and need the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINCE_TOOLCHAIN WINCE_SDK_ROOT WINCE_VC_ROOT WINCE_CXX_COMPILER)

if(NOT WINCE_CXX_COMPILER)
  if(WINCE_TOOLCHAIN STREQUAL "" OR WINCE_TOOLCHAIN STREQUAL "msvc")
    set(_wince_hints)
    if(WINCE_VC_ROOT)
      list(APPEND _wince_hints "${WINCE_VC_ROOT}/ce/bin/x86_arm")
    endif()
    find_program(_wince_cl NAMES cl.exe HINTS ${_wince_hints} NO_CACHE)
    if(_wince_cl)
      set(WINCE_CXX_COMPILER "${_wince_cl}")
    endif()
  endif()
  if(NOT WINCE_CXX_COMPILER AND NOT WINCE_TOOLCHAIN STREQUAL "msvc")
    find_program(_wince_gxx NAMES arm-mingw32ce-g++ arm-wince-mingw32ce-g++ NO_CACHE)
    if(_wince_gxx)
      set(WINCE_CXX_COMPILER "${_wince_gxx}")
    endif()
  endif()
  if(NOT WINCE_CXX_COMPILER)
    message(FATAL_ERROR "wince-arm: no compiler for the module found: put the ARM cl.exe or "
                        "arm-mingw32ce-g++ on the path, or set WINCE_CXX_COMPILER")
  endif()
endif()

if(WINCE_TOOLCHAIN STREQUAL "")
  get_filename_component(_wince_name "${WINCE_CXX_COMPILER}" NAME_WE)
  if(_wince_name STREQUAL "cl")
    set(WINCE_TOOLCHAIN msvc)
  else()
    set(WINCE_TOOLCHAIN gnu)
  endif()
endif()

set(CMAKE_CXX_COMPILER "${WINCE_CXX_COMPILER}")

if(WINCE_TOOLCHAIN STREQUAL "msvc")
  # CMake's WindowsCE platform adds _WIN32_WCE=0x500, UNDER_CE, the ARM defines, /QRarch4T, the
  # WinMainCRTStartup entry and /machine:THUMB from the system version and the compiler's target.
  set(_wince_includes)
  set(_wince_libs)
  if(WINCE_VC_ROOT)
    list(APPEND _wince_includes "${WINCE_VC_ROOT}/ce/include")
    list(APPEND _wince_libs "${WINCE_VC_ROOT}/ce/lib/armv4i")
  endif()
  if(WINCE_SDK_ROOT)
    list(APPEND _wince_includes "${WINCE_SDK_ROOT}/Include/Armv4i")
    list(APPEND _wince_libs "${WINCE_SDK_ROOT}/Lib/ARMV4I")
  endif()
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${_wince_includes})
  foreach(_wince_lib ${_wince_libs})
    string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " /LIBPATH:\"${_wince_lib}\"")
  endforeach()
  # Every service the launcher calls lives in coredll; corelibc holds the C runtime's start-up.
  set(CMAKE_CXX_STANDARD_LIBRARIES "coredll.lib corelibc.lib" CACHE STRING "Libraries of the module build")
elseif(WINCE_TOOLCHAIN STREQUAL "gnu")
  set(CMAKE_CXX_FLAGS_INIT "-DUNDER_CE -D_WIN32_WCE=0x500 -DARM -D_ARM_ -march=armv4t")
  if(WINCE_SDK_ROOT)
    # after the compiler's own headers: only what they lack is taken from the SDK
    string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter \"${WINCE_SDK_ROOT}/Include/Armv4i\"")
  endif()
else()
  message(FATAL_ERROR "wince-arm: WINCE_TOOLCHAIN is '${WINCE_TOOLCHAIN}'; expected msvc or gnu")
endif()

# Programs (the assembler) come from the build machine; headers and libraries only from the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
