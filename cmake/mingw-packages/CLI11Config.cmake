include(${CMAKE_CURRENT_LIST_DIR}/HeaderOnly.cmake)
zevuvuri_host_headers(TARGET CLI11::CLI11 HEADER CLI/CLI.hpp SUBDIR CLI)
