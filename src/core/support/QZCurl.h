// libcurl's process-wide set-up, shared by every user in the process.
#pragma once

#include "Export.h"

class IOTCLOUD_API QZCurl {
 public:
  // Reference-counted: the first call runs curl_global_init, later calls
  // only count. Returns 0, or -1 when libcurl could not be initialised (the
  // count is then unchanged). Thread-safe.
  static int global_init_curl();
  // Undoes one successful global_init_curl; the last one runs
  // curl_global_cleanup. Extra calls are ignored. Thread-safe.
  static void global_deinit_curl();
};
