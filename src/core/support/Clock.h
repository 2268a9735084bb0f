// The support library's clock.
#pragma once

#include <cstdint>

#include "Export.h"

// Milliseconds of a monotonic clock; only differences mean anything.
IOTCLOUD_API int64_t get_time();
