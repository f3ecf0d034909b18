# Cross-builds native 64-bit Windows executables with Debian's mingw-w64 (the
# posix-thread flavour, which std::thread needs). Everything is linked
# statically, libgcc, libstdc++ and winpthreads included, so each .exe runs
# without any DLL beside it.
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${_mingw}-gcc-posix ${_mingw}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_mingw}-g++-posix ${_mingw}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_mingw}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The header-only libraries come from the host's Debian packages; the
# packages' own CMake files would put /usr/include on the cross compiler's
# path, so small stand-ins copy just their headers into the build.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-packages CACHE PATH "")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-packages CACHE PATH "")

# Tests of the cross build run their .exe under wine; ctest gives each test
# its prefix (tests/win32/CMakeLists.txt).
find_program(ZEVUVURI_WINE NAMES wine wine64)
if(ZEVUVURI_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEVUVURI_WINE})
endif()
