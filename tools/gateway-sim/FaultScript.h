// Scripted faults as the program's command line gives them, for people and
// demos that reproduce a failure with a separate gateway process.
//
// Pure functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "gateway-sim/GatewaySim.h"

namespace iotcloud {
namespace gateway {

// The largest N of one fault option, and the longest stall.
constexpr int kMaxScriptedFaults = 10000;
constexpr int kMaxStallMs = 600000;

// Appends to *faults what the option `name` (without its dashes) with `value`
// asks for, each fault only for lookup requests (Fault::path is
// kRegionGetPath), so that they apply to the next lookups in the order the
// options were given:
//   "fail-first"   N:STATUS[:RETRY_AFTER]  N refusals with STATUS (400..599),
//                  the error code DefaultErrorCode(STATUS) and its reason as
//                  the message; RETRY_AFTER, when given, is sent as
//                  "Retry-After": seconds (up to 9 digits) or an HTTP date
//                  ("Sun, 06 Dec 2026 23:30:00 GMT"; the colons in it are
//                  part of it)
//   "reset-first"  N                       N connections reset without an answer
//   "stall-first"  N:MS                    N answers held back MS milliseconds
//                                          (1..600000) each
// N is 1..kMaxScriptedFaults. Returns false with *error, a message naming the
// option, for an unknown name or a bad value; *faults is then unchanged.
bool ParseFaultOption(const std::string& name, const std::string& value, std::vector<Fault>* faults,
                      std::string* error);

}  // namespace gateway
}  // namespace iotcloud
