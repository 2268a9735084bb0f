#include "core/support/QZCurl.h"

#include <curl/curl.h>

#include "core/support/Mutex.h"

namespace {
// Guards g_users and every curl_global_init/cleanup call, which libcurl
// requires to be serialised.
iotcloud::Mutex g_curlMutex;
int g_users IOTCLOUD_GUARDED_BY(g_curlMutex) = 0;
}  // namespace

int QZCurl::global_init_curl() {
  iotcloud::MutexLock lock(&g_curlMutex);
  if (g_users == 0 && curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return -1;
  ++g_users;
  return 0;
}

void QZCurl::global_deinit_curl() {
  iotcloud::MutexLock lock(&g_curlMutex);
  if (g_users == 0) return;
  if (--g_users == 0) curl_global_cleanup();
}
