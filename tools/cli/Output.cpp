#include "cli/Output.h"

#include <cstdio>
#include <utility>

#include "core/support/UntrustedText.h"

namespace iotcloud {
namespace cli {
namespace {

std::vector<std::pair<const char*, std::string>> RegionFields(const IotRegionInfo& region) {
  return {{"regionId", region.getRegionId()},
          {"mqttEndpoint", region.getMqttEndpoint()},
          {"apiGatewayEndpoint", region.getApiGatewayEndpoint()},
          {"oaApiGatewayEndpoint", region.getOaApiGatewayEndpoint()},
          {"regionEnglishName", region.getRegionEnglishName()},
          {"pushChannelEndpoint", region.getPushChannelEndpoint()},
          {"shortRegionId", region.getShortRegionId()}};
}

// --trace: what the attempt's number is; today's lookups leave it 0, and
// then the order tells.
int AttemptNumber(const IotTransferRecord& record, size_t index) {
  return record.attempt > 0 ? record.attempt : static_cast<int>(index + 1);
}

const char* HttpVersionName(int32_t version) {
  switch (version) {
    case 10: return "http/1.0";
    case 11: return "http/1.1";
    case 20: return "h2";
    case 30: return "h3";
    default: return "-";
  }
}

// The attempt's outcome in words: its HTTP status, or libcurl's error.
std::string AttemptOutcome(const IotTransferRecord& record) {
  if (record.curlCode != 0) {
    return "curl error " + std::to_string(record.curlCode) + " (" + Shown(CurlCodeDescription(record.curlCode)) + ")";
  }
  return "HTTP " + std::to_string(record.httpStatus);
}

std::string Millis(int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(us) / 1000.0);
  return text;
}

void PrintTraceLines(const std::vector<IotTransferRecord>& attempts) {
  for (size_t i = 0; i < attempts.size(); ++i) {
    const IotTransferRecord& r = attempts[i];
    std::printf(
        "attempt %d: %s, %s, reused %s, queued %s, dns %s, connect %s, tls %s, first byte %s, total %s, sent %lld B, "
        "received %lld B\n",
        AttemptNumber(r, i), AttemptOutcome(r).c_str(), HttpVersionName(r.httpVersion),
        r.connectionReused ? "yes" : "no", Millis(r.queuedUs).c_str(), Millis(r.resolvedAtUs).c_str(),
        Millis(r.connectedAtUs).c_str(), Millis(r.tlsDoneAtUs).c_str(), Millis(r.firstByteAtUs).c_str(),
        Millis(r.totalUs).c_str(), static_cast<long long>(r.bytesSent), static_cast<long long>(r.bytesReceived));
  }
}

cJSON* TraceJson(const std::vector<IotTransferRecord>& attempts) {
  cJSON* array = cJSON_CreateArray();
  for (size_t i = 0; i < attempts.size(); ++i) {
    const IotTransferRecord& r = attempts[i];
    cJSON* item = cJSON_CreateObject();
    cJSON_AddNumberToObject(item, "attempt", AttemptNumber(r, i));
    cJSON_AddStringToObject(item, "host", r.host.c_str());
    cJSON_AddStringToObject(item, "path", r.path.c_str());
    cJSON_AddNumberToObject(item, "httpStatus", r.httpStatus);
    cJSON_AddNumberToObject(item, "curlCode", r.curlCode);
    if (r.curlCode != 0) cJSON_AddStringToObject(item, "curlError", CurlCodeDescription(r.curlCode).c_str());
    cJSON_AddStringToObject(item, "httpVersion", HttpVersionName(r.httpVersion));
    cJSON_AddBoolToObject(item, "connectionReused", r.connectionReused);
    const std::pair<const char*, int64_t> numbers[] = {
        {"queuedUs", r.queuedUs},       {"resolvedAtUs", r.resolvedAtUs}, {"connectedAtUs", r.connectedAtUs},
        {"tlsDoneAtUs", r.tlsDoneAtUs}, {"requestAtUs", r.requestAtUs},   {"firstByteAtUs", r.firstByteAtUs},
        {"totalUs", r.totalUs},         {"bytesSent", r.bytesSent},       {"bytesReceived", r.bytesReceived},
    };
    for (const auto& [name, value] : numbers) cJSON_AddNumberToObject(item, name, static_cast<double>(value));
    cJSON_AddItemToArray(array, item);
  }
  return array;
}

void PrintLookupJson(const LookupReport& report) {
  using Outcome = IotGlobalActivation::LookupOutcome;
  const IotGlobalActivation::LookupResult& result = report.result;
  JsonPtr out(cJSON_CreateObject());
  cJSON_AddStringToObject(out.get(), "outcome", IotGlobalActivation::OutcomeName(result.outcome));
  cJSON_AddStringToObject(out.get(), "detail", result.detail.c_str());
  if (result.outcome == Outcome::kServiceError) {
    cJSON_AddNumberToObject(out.get(), "serviceCode", result.serviceCode);
    cJSON_AddStringToObject(out.get(), "serviceMessage", result.serviceMessage.c_str());
  }
  if (result.outcome == Outcome::kTransportFailure) cJSON_AddNumberToObject(out.get(), "curlCode", result.curlCode);
  if (result.httpStatus != 0) {
    cJSON_AddNumberToObject(out.get(), "httpStatus", result.httpStatus);
    cJSON_AddStringToObject(out.get(), "gatewayErrorCode", result.gatewayErrorCode.c_str());
    cJSON_AddStringToObject(out.get(), "gatewayErrorMessage", result.gatewayErrorMessage.c_str());
    cJSON_AddStringToObject(out.get(), "requestId", result.requestId.c_str());
  }
  cJSON_AddNumberToObject(out.get(), "attempts", result.attempts);
  cJSON* earlier = cJSON_AddArrayToObject(out.get(), "earlierAttempts");
  for (const std::string& line : result.earlierAttempts)
    cJSON_AddItemToArray(earlier, cJSON_CreateString(line.c_str()));
  cJSON_AddNumberToObject(out.get(), "clockOffsetMs", static_cast<double>(report.clockOffsetMs));
  cJSON_AddStringToObject(out.get(), "previousRegionId", report.before.getRegionId().c_str());
  cJSON_AddBoolToObject(out.get(), "saved", report.saved);
  cJSON* reports = cJSON_AddArrayToObject(out.get(), "observer");
  for (const IotRegionInfo& observed : report.observed) cJSON_AddItemToArray(reports, RegionJson(observed).release());
  cJSON_AddItemToObject(out.get(), "region", RegionJson(report.region).release());
  if (report.trace) cJSON_AddItemToObject(out.get(), "attemptsTrace", TraceJson(report.attempts));
  PrintJson(out);
}

// One line with what the gateway's answer said about itself; nothing when no
// answer came.
void PrintAnswerLine(const IotGlobalActivation::LookupResult& result) {
  if (result.httpStatus == 0) return;
  std::string line = "answer: HTTP " + std::to_string(result.httpStatus);
  if (!result.gatewayErrorCode.empty()) line += ", gateway error " + Shown(result.gatewayErrorCode);
  if (!result.gatewayErrorMessage.empty()) line += " \"" + Shown(result.gatewayErrorMessage) + "\"";
  if (!result.requestId.empty()) line += ", request id " + Shown(result.requestId);
  line += ", attempts " + std::to_string(result.attempts);
  std::printf("%s\n", line.c_str());
}

void PrintLookupText(const LookupReport& report) {
  switch (report.result.outcome) {
    case IotGlobalActivation::LookupOutcome::kChanged:
      std::printf("region changed: %s -> %s\n", Shown(report.before.getRegionId()).c_str(),
                  Shown(report.region.getRegionId()).c_str());
      break;
    case IotGlobalActivation::LookupOutcome::kUnchanged:
      std::printf("region unchanged: the gateway answered the current region %s\n",
                  Shown(report.region.getRegionId()).c_str());
      break;
    default:
      // The detail may quote the service's message: a line, not a page.
      std::printf("region unchanged: %s\n", iotcloud::EscapeUntrustedExcerpt(report.result.detail, 512).c_str());
      break;
  }
  for (const std::string& line : report.result.earlierAttempts) {
    std::printf("retried: %s\n", iotcloud::EscapeUntrustedExcerpt(line, 512).c_str());
  }
  PrintAnswerLine(report.result);
  if (report.clockOffsetMs != 0) {
    const long long seconds = ((report.clockOffsetMs < 0 ? -report.clockOffsetMs : report.clockOffsetMs) + 500) / 1000;
    std::printf("clock: the gateway's clock is %lld s %s this computer's; requests are dated by it\n", seconds,
                report.clockOffsetMs > 0 ? "ahead of" : "behind");
  }
  if (report.trace) PrintTraceLines(report.attempts);
  // The region only when the answer named it: after a failure the table
  // would read as the lookup's result.
  if (report.result.outcome == IotGlobalActivation::LookupOutcome::kChanged ||
      report.result.outcome == IotGlobalActivation::LookupOutcome::kUnchanged) {
    PrintRegionTable(report.region);
  }
}

}  // namespace

std::string Shown(const std::string& text) { return iotcloud::EscapeUntrusted(text); }

void PrintJson(const JsonPtr& object) {
  JsonText text(cJSON_Print(object.get()));
  if (text) std::printf("%s\n", iotcloud::MakeJsonTerminalSafe(text.get()).c_str());
}

void PrintRegionTable(const IotRegionInfo& region) {
  for (const auto& [name, value] : RegionFields(region)) {
    std::printf("  %-22s %s\n", name, Shown(value).c_str());
  }
}

JsonPtr RegionJson(const IotRegionInfo& region) {
  JsonPtr object(cJSON_CreateObject());
  for (const auto& [name, value] : RegionFields(region)) cJSON_AddStringToObject(object.get(), name, value.c_str());
  return object;
}

void Observer::OnRegionInfoChanged(const IotRegionInfo& regionInfo) {
  std::lock_guard<std::mutex> lock(mutex_);
  reports_.push_back(regionInfo);
  if (!json_) {
    std::printf("observer: region changed to %s (%s)\n", Shown(regionInfo.getRegionId()).c_str(),
                Shown(regionInfo.getRegionEnglishName()).c_str());
    std::fflush(stdout);
  }
}

void TransferTrace::OnTransfer(const IotTransferRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(record);
}

std::vector<IotTransferRecord> TransferTrace::records() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<IotRegionInfo> Observer::reports() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

void PrintLookupReport(const LookupReport& report, bool json) {
  if (json) {
    PrintLookupJson(report);
  } else {
    PrintLookupText(report);
  }
}

}  // namespace cli
}  // namespace iotcloud
