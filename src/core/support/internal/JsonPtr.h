// Owners for cJSON trees and for the text cJSON prints, so every path frees
// them.
#pragma once

#include <cjson/cJSON.h>

#include "core/support/internal/Owned.h"

namespace iotcloud {

// A cJSON tree (an item and everything attached to it).
using JsonPtr = Owned<cJSON, cJSON_Delete>;

// Text from cJSON_Print / cJSON_PrintUnformatted.
using JsonText = Owned<char, cJSON_free>;

}  // namespace iotcloud
