// Owners for cJSON trees and for the text cJSON prints, so every path frees
// them.
#pragma once

#include <cjson/cJSON.h>

#include <memory>

namespace iotcloud {

struct JsonDeleter {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
// A cJSON tree (an item and everything attached to it).
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct JsonTextDeleter {
  void operator()(char* text) const { cJSON_free(text); }
};
// Text from cJSON_Print / cJSON_PrintUnformatted.
using JsonText = std::unique_ptr<char, JsonTextDeleter>;

}  // namespace iotcloud
