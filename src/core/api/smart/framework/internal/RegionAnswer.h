// Reading a region lookup answer, parsed once and without logging: what the
// answer is (a complete region, an incomplete one, a service error, not a
// lookup answer at all) and the region it names. Both
// IotRegionInfo::parseFromHttpResponse and a lookup's answer classifier read
// answers through it. Pure; any thread.
#pragma once

#include <string>
#include <vector>

#include "core/api/smart/framework/IotRegionInfo.h"

namespace iotcloud {

struct RegionAnswer {
  enum class Kind {
    kRegion,        // "code" 200 and a "data" object naming the region completely
    kIncomplete,    // "code" 200, but "data" is missing, not an object, or lacks a required member
    kServiceError,  // a "code" other than 200
    kNotJson,       // not JSON at all
    kNoCode,        // JSON without "code"
    kNulEscape,     // "code" 200, but a string holds \u0000, which cannot be kept whole
  };
  Kind kind = Kind::kNotJson;
  int code = 0;         // the integer view of "code" (a string "200" reads as 0)
  std::string message;  // "message" when it is a string
  std::string missing;  // kIncomplete: the first required member absent or empty, "data" for data itself
  // kRegion: the optional members that were absent or not strings; their
  // fields keep their values.
  std::vector<const char*> absent;
};

// Reads `response`. On kRegion every member present as a string replaces its
// field of *region; otherwise *region is unchanged.
RegionAnswer ReadRegionAnswer(const std::string& response, IotRegionInfo* region);

}  // namespace iotcloud
