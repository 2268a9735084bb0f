#include "core/support/Version.h"

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <openssl/crypto.h>
#include <sqlite3.h>

namespace iotcloud {

const char* Version() { return IOTCLOUD_VERSION_STRING; }

std::string DependencyVersions() {
  const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
  return std::string("libcurl ") + (curl != nullptr && curl->version != nullptr ? curl->version : "?") + ", OpenSSL " +
         OpenSSL_version(OPENSSL_VERSION_STRING) + ", SQLite " + sqlite3_libversion() + ", cJSON " + cJSON_Version();
}

}  // namespace iotcloud
