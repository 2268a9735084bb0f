// Arbitrary bytes as a region lookup response and as cached region JSON.
// Checks: no crash or leak; a failed parse leaves the record unchanged; a
// successful one leaves a record whose region JSON reads back into an equal
// record, with all seven members present; a taken lookup answer has a
// region id and all three endpoints.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/api/smart/framework/IotRegionInfo.h"
#include "core/support/TovoLog.h"

namespace {

// A starting record unlike both the defaults and anything a parse produces
// from a short input, so that a member missing from toJsonString shows up.
IotRegionInfo Marked() {
  IotRegionInfo record;
  int member = 0;
  for (auto set : {&IotRegionInfo::setRegionId, &IotRegionInfo::setMqttEndpoint, &IotRegionInfo::setApiGatewayEndpoint,
                   &IotRegionInfo::setOaApiGatewayEndpoint, &IotRegionInfo::setRegionEnglishName,
                   &IotRegionInfo::setPushChannelEndpoint, &IotRegionInfo::setShortRegionId}) {
    (record.*set)("mark-member-" + std::to_string(member++));
  }
  return record;
}

bool RoundTrips(const IotRegionInfo& parsed) {
  IotRegionInfo back = Marked();
  return back.parseFromJsonString(parsed.toJsonString()) && back == parsed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool quiet = (iotcloud::SetLogMinLevel(5), true);
  const std::string text(reinterpret_cast<const char*>(data), size);
  IotRegionInfo response, cached = Marked();
  if (response.parseFromHttpResponse(text) ? response.getRegionId().empty() || response.getMqttEndpoint().empty() ||
                                                 response.getApiGatewayEndpoint().empty() ||
                                                 response.getOaApiGatewayEndpoint().empty() || !RoundTrips(response)
                                           : response != IotRegionInfo()) {
    std::abort();
  }
  if (cached.parseFromJsonString(text) ? !RoundTrips(cached) : cached != Marked()) std::abort();
  return 0;
}
