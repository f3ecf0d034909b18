include(${CMAKE_CURRENT_LIST_DIR}/HeaderOnly.cmake)
zevuvuri_host_headers(TARGET nlohmann_json::nlohmann_json HEADER nlohmann/json.hpp SUBDIR nlohmann)
