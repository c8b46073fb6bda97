# The sources of the module executable: every device source, the Windows CE platform layer and the
# formatter that both platform layers share. device_check compiles exactly these; the module build
# links them into launcher.exe.
function(kalvori_device_sources out)
  set(depends CONFIGURE_DEPENDS)
  if(CMAKE_SCRIPT_MODE_FILE) # a test script asking what the build holds
    set(depends)
  endif()
  file(GLOB_RECURSE sources ${depends}
    ${PROJECT_SOURCE_DIR}/launcher/*.cpp ${PROJECT_SOURCE_DIR}/tester/*.cpp ${PROJECT_SOURCE_DIR}/flash/*.cpp
    ${PROJECT_SOURCE_DIR}/hw/*.cpp ${PROJECT_SOURCE_DIR}/platform/wince/*.cpp)
  list(APPEND sources ${PROJECT_SOURCE_DIR}/platform/format.cpp)
  set(${out} ${sources} PARENT_SCOPE)
endfunction()
