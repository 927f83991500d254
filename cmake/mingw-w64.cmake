# Cross toolchain for the Windows build: x86_64-w64-mingw32 with posix threads (std::thread and
# std::mutex need them), linking the static libraries of scripts/build-win-deps and Debian's mingw
# zlib, running built executables (tests) under Wine.
#
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-w64.cmake \
#         -DVELKA_DEPS_PREFIX="$(scripts/build-win-deps | tail -n 1)"

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELKA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELKA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKA_MINGW_TRIPLE}-windres)

set(VELKA_DEPS_PREFIX "$ENV{VELKA_DEPS_PREFIX}" CACHE PATH
    "Prefix of the static Windows libraries printed by scripts/build-win-deps")
if(NOT VELKA_DEPS_PREFIX)
  message(FATAL_ERROR "VELKA_DEPS_PREFIX is not set; pass "
          "-DVELKA_DEPS_PREFIX=\"$(scripts/build-win-deps | tail -n 1)\"")
endif()
# try_compile projects read this file again and need the same search roots.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELKA_DEPS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${VELKA_MINGW_TRIPLE} ${VELKA_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The executables must run with nothing beside them but system DLLs, so find_library() has to
# take libz.a over the libz.dll.a import library sitting next to it. The Windows-GNU platform
# module sets the suffix order after this file is read; the rules override runs after it.
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-static.cmake)

# Executables (the tests under ctest) run under Wine through scripts/wine-run, which readies the
# prefix and keeps Wine's long-lived helper processes off ctest's output pipe.
find_program(VELKA_WINE NAMES wine wine64)
if(VELKA_WINE)
  get_filename_component(VELKA_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKA_WINE_RUN} ${VELKA_WINE})
endif()
