// Symbol visibility for the iotcloud library, and the compiler attributes its
// public headers use, each behind a macro that is empty where the compiler
// has no such attribute (so MSVC can parse every public header).
//
// ELF and Mach-O: the library is built with hidden visibility; only
// declarations marked IOTCLOUD_API are exported. Windows: IOTCLOUD_API is
// dllexport while the library itself is built, dllimport for a host of the
// DLL, and nothing for a host that links the static archive (IOTCLOUD_STATIC,
// which that archive's CMake target sets for its users).
#pragma once

#if defined(_WIN32)
#if defined(IOTCLOUD_STATIC)
#define IOTCLOUD_API
#elif defined(IOTCLOUD_BUILDING_LIBRARY)
#define IOTCLOUD_API __declspec(dllexport)
#else
#define IOTCLOUD_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define IOTCLOUD_API __attribute__((visibility("default")))
#else
#define IOTCLOUD_API
#endif

// Lets the compiler check a printf-style format and its arguments (1-based
// positions of the format and of the first argument). mingw-w64 names the
// format family its stdio implements.
#if defined(__MINGW32__)
#define IOTCLOUD_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#elif defined(__GNUC__) || defined(__clang__)
#define IOTCLOUD_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define IOTCLOUD_PRINTF_FORMAT(formatIndex, firstArgument)
#endif
