// Symbol visibility for the iotcloud shared library. The library is built with
// hidden visibility; only declarations marked IOTCLOUD_API are exported.
#pragma once

#if defined(_WIN32)
#if defined(IOTCLOUD_BUILDING_LIBRARY)
#define IOTCLOUD_API __declspec(dllexport)
#else
#define IOTCLOUD_API __declspec(dllimport)
#endif
#else
#define IOTCLOUD_API __attribute__((visibility("default")))
#endif
