# Makes an imported interface target for a header-only library installed on
# the build host, from a copy of its headers in the build tree.
#   zevuvuri_host_headers(TARGET CLI11::CLI11 HEADER CLI/CLI.hpp SUBDIR CLI)
function(zevuvuri_host_headers)
  cmake_parse_arguments(arg "" "TARGET;HEADER;SUBDIR" "" ${ARGN})
  if(TARGET ${arg_TARGET})
    return()
  endif()
  find_path(_host_include ${arg_HEADER} PATHS /usr/include /usr/local/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH NO_CACHE)
  if(NOT _host_include)
    message(FATAL_ERROR "${arg_HEADER} not found on the build host")
  endif()
  set(_copy ${CMAKE_BINARY_DIR}/host-headers/${arg_SUBDIR})
  file(COPY ${_host_include}/${arg_SUBDIR} DESTINATION ${_copy})
  add_library(${arg_TARGET} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${arg_TARGET} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_copy})
endfunction()
