# The version header: project() is the one place the version is written.
# The minor part keeps its leading zero in the text ("1.06") and loses it in
# the numbers of the Windows resource (1,6), where "06" would read as octal.
math(EXPR ZEVUVURI_VERSION_MINOR_NUMBER "${PROJECT_VERSION_MINOR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/zevuvuri_version.h @ONLY)
add_library(zevuvuri_version INTERFACE)
target_include_directories(zevuvuri_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
