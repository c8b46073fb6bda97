# The JSON and command-line libraries are header-only, so a cross build takes them from the build
# machine. Their package files name the build machine's /usr/include, which would put its C library
# in front of the cross compiler's own: the headers are reached through a folder that holds them
# alone instead.
set(_host_headers ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${_host_headers})

function(_kalvori_host_header_library target header folder)
  find_path(_include_dir ${header} PATHS /usr/include /usr/local/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH NO_CACHE)
  if(NOT _include_dir)
    message(FATAL_ERROR "${header} not found on the build machine (scripts/setup.sh installs it)")
  endif()
  file(CREATE_LINK ${_include_dir}/${folder} ${_host_headers}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_host_headers})
endfunction()

_kalvori_host_header_library(nlohmann_json::nlohmann_json nlohmann/json.hpp nlohmann)
_kalvori_host_header_library(CLI11::CLI11 CLI/CLI.hpp CLI)
