#include "gateway-sim/FaultScript.h"

#include <cstdint>

#include "gateway-sim/RequestCheck.h"

namespace iotcloud {
namespace gateway {
namespace {

// A decimal number of 1 to `maxDigits` digits, nothing else, within [low, high].
bool ParseNumber(const std::string& text, size_t maxDigits, int64_t low, int64_t high, int64_t* value) {
  if (text.empty() || text.size() > maxDigits) return false;
  int64_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  if (result < low || result > high) return false;
  *value = result;
  return true;
}

bool IsRetryAfter(const std::string& text) {
  int64_t ignored = 0;
  return ParseNumber(text, 9, 0, 999999999, &ignored) || ParseHttpDate(text, &ignored);
}

}  // namespace

bool ParseFaultOption(const std::string& name, const std::string& value, std::vector<Fault>* faults,
                      std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = "--" + name + " " + why + ", not '" + Printable(value) + "'";
    return false;
  };
  // N, then what follows the first colon (npos: no colon).
  const size_t colon = value.find(':');
  int64_t count = 0;
  const bool countOk = ParseNumber(value.substr(0, colon), 5, 1, kMaxScriptedFaults, &count);
  const std::string rest = colon == std::string::npos ? std::string() : value.substr(colon + 1);

  Fault fault{};
  fault.path = kRegionGetPath;
  if (name == "fail-first") {
    const size_t second = rest.find(':');
    int64_t status = 0;
    if (!countOk || colon == std::string::npos || !ParseNumber(rest.substr(0, second), 3, 400, 599, &status)) {
      return fail("needs N:STATUS[:RETRY_AFTER] with N from 1 to " + std::to_string(kMaxScriptedFaults) +
                  " and STATUS from 400 to 599");
    }
    fault.kind = Fault::Kind::kErrorStatus;
    fault.status = static_cast<int>(status);
    fault.errorCode = DefaultErrorCode(fault.status);
    if (second != std::string::npos) {
      fault.retryAfter = rest.substr(second + 1);
      if (!IsRetryAfter(fault.retryAfter)) {
        return fail("needs RETRY_AFTER as seconds or an HTTP date such as 'Sun, 06 Dec 2026 23:30:00 GMT'");
      }
    }
  } else if (name == "reset-first") {
    if (!countOk || colon != std::string::npos) {
      return fail("needs N from 1 to " + std::to_string(kMaxScriptedFaults));
    }
    fault.kind = Fault::Kind::kResetConnection;
  } else if (name == "stall-first") {
    int64_t ms = 0;
    if (!countOk || !ParseNumber(rest, 6, 1, kMaxStallMs, &ms)) {
      return fail("needs N:MS with N from 1 to " + std::to_string(kMaxScriptedFaults) + " and MS from 1 to " +
                  std::to_string(kMaxStallMs));
    }
    fault.kind = Fault::Kind::kDelay;
    fault.delayMs = static_cast<int>(ms);
  } else {
    *error = "unknown fault option --" + name;
    return false;
  }
  faults->insert(faults->end(), static_cast<size_t>(count), fault);
  return true;
}

}  // namespace gateway
}  // namespace iotcloud
