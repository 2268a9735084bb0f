# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix thread
# model: std::thread and std::mutex need it).
#
#   cmake -S . -B build/windows \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#     -DIOTCLOUD_WINDOWS_DEPS=<prefix printed by scripts/windows-deps.sh>
#
# IOTCLOUD_WINDOWS_DEPS is the prefix holding OpenSSL, libcurl, cJSON, SQLite,
# GoogleTest and cpp-httplib built for this target; find_package and
# pkg-config look there and in the toolchain's own sysroot, never on the host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(IOTCLOUD_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${IOTCLOUD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${IOTCLOUD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${IOTCLOUD_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${IOTCLOUD_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${IOTCLOUD_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# Carried into try_compile projects, which see only listed variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES IOTCLOUD_WINDOWS_DEPS)
if(NOT IOTCLOUD_WINDOWS_DEPS AND DEFINED ENV{IOTCLOUD_WINDOWS_DEPS})
  set(IOTCLOUD_WINDOWS_DEPS "$ENV{IOTCLOUD_WINDOWS_DEPS}")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${IOTCLOUD_MINGW_TRIPLE})
if(IOTCLOUD_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${IOTCLOUD_WINDOWS_DEPS}")
  set(ENV{PKG_CONFIG_LIBDIR} "${IOTCLOUD_WINDOWS_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under wine (tests, gtest discovery).
find_program(IOTCLOUD_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(IOTCLOUD_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${IOTCLOUD_WINE})
endif()
