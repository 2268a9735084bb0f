// What `iotcloud` prints: text for people, escaped so that no byte from the
// gateway or the cache acts on a terminal, or JSON with --json.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/api/smart/framework/IotRegionInfo.h"
#include "core/io/network/http/AsyncHttpTypes.h"
#include "core/support/internal/JsonPtr.h"

namespace iotcloud {
namespace cli {

// Text from the gateway or the cache as the tool prints it: control
// characters and bytes that are not UTF-8 escaped, so that no answer can
// retitle the terminal, clear it or forge a line of the tool's output.
std::string Shown(const std::string& text);

// Prints `object` as JSON on stdout. Strings may hold any bytes the gateway
// sent: the output is made valid UTF-8 with every control character escaped.
void PrintJson(const JsonPtr& object);

// The seven members of a region, one line each, indented.
void PrintRegionTable(const IotRegionInfo& region);
// The seven members of a region as a JSON object.
JsonPtr RegionJson(const IotRegionInfo& region);

// Collects what the observer hears and, without --json, prints it at once.
// It runs on the library's HTTP manager thread; reports() on the main thread.
class Observer : public IIotGlobalActivationCallback {
 public:
  explicit Observer(bool json) : json_(json) {}
  void OnRegionInfoChanged(const IotRegionInfo& regionInfo) override;
  std::vector<IotRegionInfo> reports();

 private:
  const bool json_;
  std::mutex mutex_;
  std::vector<IotRegionInfo> reports_;  // guarded by mutex_
};

// Collects the transport's record of every transfer, for --trace. Records
// arrive on the HTTP manager thread; records() is read on the main thread
// once the runtime has stopped.
class TransferTrace : public IAsyncHttpTransferObserver {
 public:
  void OnTransfer(const IotTransferRecord& record) override;
  std::vector<IotTransferRecord> records();

 private:
  std::mutex mutex_;
  std::vector<IotTransferRecord> records_;  // guarded by mutex_
};

// What one `region lookup` found out.
struct LookupReport {
  IotGlobalActivation::LookupResult result;
  IotRegionInfo before;                 // the region before the lookup
  IotRegionInfo region;                 // the region after it
  bool saved = true;                    // no cache write failed
  std::vector<IotRegionInfo> observed;  // what the observer was told
  int64_t clockOffsetMs = 0;            // the gateway's clock minus this computer's, as learnt
  // --trace: the lookup's POSTs, one per attempt, in order.
  bool trace = false;
  std::vector<IotTransferRecord> attempts;
};

// Prints the outcome and, after an answer that named a region, that region
// (text); or everything, the current region among it (--json).
void PrintLookupReport(const LookupReport& report, bool json);

}  // namespace cli
}  // namespace iotcloud
