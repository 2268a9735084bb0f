// What an answer of the gateway means to a lookup, as pure functions of the
// response: the result fields every answer gives, the outcome of a refusal
// (a status outside 2xx), and what a 2xx region lookup answer names, parsed
// once. Nothing here logs, touches the region or knows the time.
#pragma once

#include <vector>

#include "core/api/smart/framework/IotGlobalActivation.h"

namespace iotcloud {
namespace lookup {

using Result = IotGlobalActivation::LookupResult;
using Outcome = IotGlobalActivation::LookupOutcome;

// Fills the fields every answer gives: the HTTP status, the gateway's error
// code and message and its request id (header values cut to
// IotGlobalActivation::kHeaderValueBytes).
void TakeAnswerFields(const IotResponse& response, Result* result);

// The outcome of an answer whose status is outside 2xx, with its detail:
// kGatewayRefused for a status of 400 or above that carries the gateway's
// error code, kHttpStatus otherwise (a 3xx quotes its Location). Never a
// region, whatever the body says. *result holds TakeAnswerFields already.
void JudgeRefusal(const IotResponse& response, Result* result);

// What a 2xx answer's body names.
struct RegionVerdict {
  Result result;  // the outcome (kUnchanged for a region: the region store decides) and detail
  bool hasRegion = false;
  IotRegionInfo region;             // when hasRegion: the China defaults overwritten by the answer's members
  std::vector<const char*> absent;  // optional members the answer lacked
  bool save = false;                // the current region is saved after this answer (every 2xx but an incomplete one)
};
RegionVerdict ClassifyRegionAnswer(const std::string& body);

}  // namespace lookup
}  // namespace iotcloud
