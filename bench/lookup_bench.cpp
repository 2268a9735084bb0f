// Region lookups through the library against the same signed POST made with
// blocking libcurl on a reused handle, both against the in-process gateway
// over warm TLS connections, with the default platform's real cache (an
// SQLite file in a temporary folder).
//
// 1. One thread: lookups that leave the region unchanged, lookups that
//    change it (two accounts of different regions, alternately), and
//    blocking POSTs, in alternating blocks so all three see the same machine
//    state. Prints the median over the blocks of each block's ratio. Run
//    twice: with the threads free to move, then with every thread of the
//    process on one CPU. A lookup
//    hands over twice (caller -> HTTP manager thread -> caller); across two
//    CPUs each hand-off costs tens of microseconds of scheduler latency, on
//    one CPU a few. The pinned run measures the library's own cost and is
//    held to the target; the free run shows what the placement adds.
// 2. 1, 8 and 32 threads at once: lookups per second against as many
//    threads doing blocking POSTs (alternating runs; the median of five
//    pairs' ratios), with
//    the context switches of the process per operation. No target: on
//    loopback it is CPU-bound (latency_bench holds it to one at real latency).
//
// 3. 10,000 asynchronous lookups started from one thread against the same
//    number of blocking lookups spread over 32 threads (alternating runs,
//    the median of three pairs' ratios), with each run's peak resident set.
//    No target here either, for the same reason.
//
// 4. A host thread while another lookup's answer is being saved on a slow
//    disk (each region write takes 300 ms): the longest getRegionInfo() and
//    the longest cancel() of a third lookup in flight, over several saves.
//
// Usage: lookup_bench [blocks] [operations-per-concurrent-run] [asynchronous-lookups]
#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/io/network/http/HttpUtil.h"
#include "core/support/Mutex.h"
#include "core/support/PlatformServices.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "gateway-sim/GatewaySim.h"
#include "platform/DefaultPlatform.h"

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = IotGlobalActivation::LookupOutcome;
constexpr char kAppKey[] = "bench-app-key";
constexpr char kAppSecret[] = "bench-app-secret";
using iotcloud_bench::kRegionPath;
// Two accounts the gateway places in different regions.
constexpr char kAccountA[] = "bench@example.de";
constexpr char kAccountB[] = "bench@example.com";
constexpr int kBlock = 30;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

const char* Verdict(bool met) { return met ? "met" : "NOT MET"; }

// Signs with the installed platform, like the library's own callback.
size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One thread's blocking client: a reused easy handle and its own signer.
class BlockingClient {
 public:
  BlockingClient(const std::string& url, const std::string& caPem) : lookup_(kAppKey), easy_(curl_easy_init()) {
    curl_blob blob{const_cast<char*>(caPem.data()), caPem.size(), CURL_BLOB_COPY};
    curl_easy_setopt(easy_, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &answer_);
  }
  ~BlockingClient() { curl_easy_cleanup(easy_); }
  BlockingClient(const BlockingClient&) = delete;
  BlockingClient& operator=(const BlockingClient&) = delete;

  // The lookup's request, built, signed and posted; true on a region answer.
  bool Post(const char* email) {
    const CURLcode rc = lookup_.Post(easy_, email, &answer_);
    if (rc != CURLE_OK) std::fprintf(stderr, "blocking POST failed: %s\n", curl_easy_strerror(rc));
    return rc == CURLE_OK && answer_.find("\"regionId\"") != std::string::npos;
  }

 private:
  iotcloud_bench::PlainLookup lookup_;
  CURL* easy_;
  std::string answer_;
};

bool Lookup(const char* email, Outcome expected) {
  IotGlobalActivation::getInstance()->regionGetByEmail(email);
  const IotGlobalActivation::LookupResult result = IotGlobalActivation::getInstance()->getLastLookupResult();
  if (result.outcome == expected) return true;
  std::fprintf(stderr, "lookup: %s, expected %s (%s)\n", IotGlobalActivation::OutcomeName(result.outcome),
               IotGlobalActivation::OutcomeName(expected), result.detail.c_str());
  return false;
}

int64_t ContextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Runs `threads` threads doing `total` operations between them; returns
// operations per second and adds the context switches per operation.
template <typename Operation>
double Throughput(int threads, int total, const Operation& operation, double* switchesPerOp, bool* ok) {
  const int each = total / threads;
  std::vector<std::thread> workers;
  std::vector<char> fine(threads, 1);
  const int64_t switches = ContextSwitches();
  const auto start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < each && fine[t]; ++i) fine[t] = operation(t) ? 1 : 0;
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds = Ms(Clock::now() - start) / 1000.0;
  *switchesPerOp = static_cast<double>(ContextSwitches() - switches) / (each * threads);
  for (char f : fine) *ok = *ok && f;
  return each * threads / seconds;
}

// The process's peak resident set since the last ResetPeakRss(), in MiB.
double PeakRssMiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  double kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %lf kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib / 1024.0;
}

// Starts the peak resident set afresh from the current one.
void ResetPeakRss() {
  FILE* refs = std::fopen("/proc/self/clear_refs", "w");
  if (refs == nullptr) return;
  std::fputs("5", refs);
  std::fclose(refs);
}

// `count` asynchronous lookups started from this thread; returns lookups per
// second once every completion came, and whether all were unchanged.
double AsyncThroughput(int count, bool* ok) {
  iotcloud::Mutex mutex;
  iotcloud::CondVar allDone(&mutex);
  int done = 0;
  bool fine = true;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    IotGlobalActivation::getInstance()->regionGetByEmailAsync(kAccountA,
                                                              [&](const IotGlobalActivation::LookupResult& result) {
                                                                iotcloud::MutexLock lock(&mutex);
                                                                fine = fine && result.outcome == Outcome::kUnchanged;
                                                                if (++done == count) allDone.Signal();
                                                              });
  }
  iotcloud::MutexLock lock(&mutex);
  while (done < count) allDone.Wait();
  const double seconds = Ms(Clock::now() - start) / 1000.0;
  *ok = *ok && fine;
  return count / seconds;
}

// Every thread of this process on CPU 0 (`one`), or on every CPU again.
// The real platform on a slow disk: each write of the region takes 300 ms
// more. `saving` tells whether one is under way.
class SlowDiskPlatform : public iotcloud::DefaultPlatform {
 public:
  using DefaultPlatform::DefaultPlatform;
  bool writeCache(std::string key, std::string storedText) override {
    if (key == PLATFORM_REGION_INFO_KEY) {
      saving = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    const bool written = DefaultPlatform::writeCache(std::move(key), std::move(storedText));
    saving = false;
    return written;
  }
  std::atomic<bool> saving{false};
};

// Section 4: the longest host calls while saves take 300 ms; false on a fault.
bool LongestHostCallsDuringSlowSaves(iotcloud::gateway::GatewaySim& sim, const std::string& cachePath,
                                     double* longestReadMs, double* longestCancelMs) {
  auto platform = std::make_shared<SlowDiskPlatform>(iotcloud_test::PlatformOptions(cachePath, kAppKey, kAppSecret));
  setSharedPlatformImpl(platform);
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->setRetryPolicy({1, 1, 1, 30000});
  *longestReadMs = *longestCancelMs = 0;
  for (int save = 0; save < 6; ++save) {
    sim.PushFault({iotcloud::gateway::Fault::Kind::kDelay, 2000});
    std::atomic<int> ended{0};
    auto count = [&ended](const IotGlobalActivation::LookupResult&) { ++ended; };
    IotGlobalActivation::LookupHandle inFlight = activation->regionGetByEmailAsync(kAccountA, count);
    activation->regionGetByEmailAsync(save % 2 ? kAccountA : kAccountB, count);  // changes the region: a save
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!platform->saving && Clock::now() < giveUp) std::this_thread::yield();
    if (!platform->saving) return false;
    auto start = Clock::now();
    const bool cancelled = inFlight.cancel();
    *longestCancelMs = std::max(*longestCancelMs, Ms(Clock::now() - start));
    while (platform->saving) {
      start = Clock::now();
      static_cast<void>(activation->getRegionInfo());
      *longestReadMs = std::max(*longestReadMs, Ms(Clock::now() - start));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    while (ended < 2 && Clock::now() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!cancelled || ended < 2) return false;
  }
  return true;
}

void PlaceAllThreads(bool one) {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int cpus = static_cast<int>(std::thread::hardware_concurrency());
  for (int cpu = 0; cpu < (one ? 1 : std::max(cpus, 1)); ++cpu) CPU_SET(cpu, &set);
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return;
  while (const dirent* entry = readdir(tasks)) {
    const int tid = std::atoi(entry->d_name);
    if (tid > 0) sched_setaffinity(tid, sizeof set, &set);
  }
  closedir(tasks);
}

struct SingleThreadRatios {
  double postMs = 0, unchangedMs = 0, changedMs = 0, unchanged = 0, changed = 0;
};

// Alternating blocks of unchanged lookups, changed lookups and blocking POSTs.
bool MeasureSingleThread(int blocks, BlockingClient& blocking, SingleThreadRatios* out) {
  bool ok = true;
  // Each block's medians are compared within the block, so a drift of the
  // machine between blocks cancels out; the figures are the medians over the
  // blocks.
  std::vector<double> unchanged, changed, posts, unchangedRatios, changedRatios;
  for (int b = 0; b < blocks && ok; ++b) {
    const size_t first = posts.size();
    ok = Lookup(kAccountA, Outcome::kUnchanged);  // the previous block ended on A
    for (int i = 0; i < kBlock && ok; ++i) {
      const auto start = Clock::now();
      ok = Lookup(kAccountA, Outcome::kUnchanged);
      unchanged.push_back(Ms(Clock::now() - start));
    }
    for (int i = 0; i < kBlock && ok; ++i) {
      const auto start = Clock::now();
      ok = Lookup(i % 2 ? kAccountA : kAccountB, Outcome::kChanged);
      changed.push_back(Ms(Clock::now() - start));
    }
    for (int i = 0; i < kBlock && ok; ++i) {
      const auto start = Clock::now();
      ok = blocking.Post(kAccountA);
      posts.push_back(Ms(Clock::now() - start));
    }
    if (!ok) break;
    auto blockMedian = [first](const std::vector<double>& all) {
      return Median(std::vector<double>(all.begin() + static_cast<long>(first), all.end()));
    };
    unchangedRatios.push_back(blockMedian(unchanged) / blockMedian(posts));
    changedRatios.push_back(blockMedian(changed) / blockMedian(posts));
  }
  if (!ok) return false;
  *out = {Median(posts), Median(unchanged), Median(changed), Median(unchangedRatios), Median(changedRatios)};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int blocks = argc > 1 ? std::atoi(argv[1]) : 10;
  const int concurrentOps = argc > 2 ? std::atoi(argv[2]) : 1920;
  iotcloud::SetLogMinLevel(5);
  iotcloud::gateway::GatewayConfig config;
  config.applications[kAppKey] = kAppSecret;
  iotcloud::gateway::GatewaySim sim(config);
  std::string error;
  if (!sim.Start(&error)) {
    std::fprintf(stderr, "gateway: %s\n", error.c_str());
    return 1;
  }

  const std::string folder = iotcloud_bench::SetUpPlatform("/tmp/iotcloud-lookup-bench-XXXXXX", kAppKey, kAppSecret);
  if (folder.empty()) return 1;
  AsyncHttpOptions options = IotAsyncManager::getInstance()->getHttpOptions();
  options.caPem = sim.caPem();
  IotAsyncManager::getInstance()->setHttpOptions(options);
  IotAsyncManager::getInstance()->init();
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->setGatewayHosts(sim.hostPort(), sim.hostPort());
  const std::string url = "https://" + sim.hostPort() + kRegionPath;

  bool ok = true;
  // 1. One thread, alternating blocks. Warm-up: connections open, cache file written.
  BlockingClient blocking(url, sim.caPem());
  for (int i = 0; i < 20 && ok; ++i)
    ok = blocking.Post(kAccountA) && Lookup(i % 2 ? kAccountA : kAccountB, Outcome::kChanged);
  double unchangedRatio = 0;
  for (bool pinned : {false, true}) {
    PlaceAllThreads(pinned);
    SingleThreadRatios r;
    if (!ok || !MeasureSingleThread(blocks, blocking, &r)) return 1;
    const char* where = pinned ? "all threads on one CPU" : "threads free to move";
    std::printf("[%s] signed blocking POST: median %.3f ms\n", where, r.postMs);
    if (pinned) {
      unchangedRatio = r.unchanged;
      std::printf("[%s] unchanged-region lookup: median %.3f ms, %.2fx the blocking POST (target <= 1.5x): %s\n", where,
                  r.unchangedMs, r.unchanged, Verdict(r.unchanged <= 1.5));
    } else {
      std::printf(
          "[%s] unchanged-region lookup: median %.3f ms, %.2fx the blocking POST (no target: adds two"
          " cross-CPU hand-offs)\n",
          where, r.unchangedMs, r.unchanged);
    }
    std::printf(
        "[%s] changed-region lookup (saved with an fsync): median %.3f ms, %.2fx the blocking POST"
        " (no target)\n",
        where, r.changedMs, r.changed);
  }

  PlaceAllThreads(false);

  // 2. Concurrent lookups against as many blocking threads.
  std::vector<std::unique_ptr<BlockingClient>> clients;
  for (int t = 0; t < 32; ++t) clients.push_back(std::make_unique<BlockingClient>(url, sim.caPem()));
  ok = Lookup(kAccountA, Outcome::kUnchanged);
  for (int threads : {1, 8, 32}) {
    std::vector<double> lookupRates, postRates, ratios, lookupSwitches, postSwitches;
    // Warm: every blocking thread's connection open, the transport's pool full.
    double ignored = 0;
    Throughput(
        threads, threads * 4, [&](int t) { return clients[t]->Post(kAccountA); }, &ignored, &ok);
    Throughput(
        threads, threads * 4, [&](int) { return Lookup(kAccountA, Outcome::kUnchanged); }, &ignored, &ok);
    for (int run = 0; run < 5 && ok; ++run) {
      double switches = 0;
      lookupRates.push_back(Throughput(
          threads, concurrentOps, [&](int) { return Lookup(kAccountA, Outcome::kUnchanged); }, &switches, &ok));
      lookupSwitches.push_back(switches);
      postRates.push_back(Throughput(
          threads, concurrentOps, [&](int t) { return clients[t]->Post(kAccountA); }, &switches, &ok));
      postSwitches.push_back(switches);
      ratios.push_back(lookupRates.back() / postRates.back());
    }
    if (!ok) return 1;
    // No target at any count: on loopback this is CPU-bound on two cores;
    // latency_bench judges it at real latency.
    std::printf(
        "%2d threads: %.0f lookups/s (%.1f switches each), %.0f blocking POSTs/s (%.1f switches each),"
        " ratio %.2fx (no target)\n",
        threads, Median(lookupRates), Median(lookupSwitches), Median(postRates), Median(postSwitches), Median(ratios));
  }
  clients.clear();

  // 3. Asynchronous lookups from one thread against blocking ones on 32.
  const int asyncLookups = argc > 3 ? std::atoi(argv[3]) : 10000;
  std::vector<double> asyncRates, blockingRates, asyncRss, blockingRss, asyncRatios;
  for (int run = 0; run < 3 && ok; ++run) {
    ResetPeakRss();
    asyncRates.push_back(AsyncThroughput(asyncLookups, &ok));
    asyncRss.push_back(PeakRssMiB());
    ResetPeakRss();
    double switches = 0;
    blockingRates.push_back(Throughput(
        32, asyncLookups, [&](int) { return Lookup(kAccountA, Outcome::kUnchanged); }, &switches, &ok));
    blockingRss.push_back(PeakRssMiB());
    asyncRatios.push_back(asyncRates.back() / blockingRates.back());
  }
  if (!ok) return 1;
  const double asyncRatio = Median(asyncRatios);
  std::printf(
      "%d asynchronous lookups from one thread: %.0f lookups/s, peak RSS %.1f MiB; blocking on 32 threads: %.0f"
      " lookups/s, peak RSS %.1f MiB; ratio %.2fx (no target: judged at real latency in latency_bench)\n",
      asyncLookups, Median(asyncRates), Median(asyncRss), Median(blockingRates), Median(blockingRss), asyncRatio);

  // 4. Host calls during slow saves.
  double longestReadMs = 0, longestCancelMs = 0;
  if (!LongestHostCallsDuringSlowSaves(sim, folder + "/slow.db", &longestReadMs, &longestCancelMs)) return 1;
  const bool hostCallsMet = longestReadMs <= 5 && longestCancelMs <= 5;
  std::printf("while another lookup's save takes 300 ms: longest getRegionInfo() %.2f ms (target <= 5 ms): %s\n",
              longestReadMs, Verdict(longestReadMs <= 5));
  std::printf("while another lookup's save takes 300 ms: longest cancel() %.2f ms (target <= 5 ms): %s\n",
              longestCancelMs, Verdict(longestCancelMs <= 5));

  IotAsyncManager::getInstance()->deInit();
  setSharedPlatformImpl(nullptr);
  sim.Stop();
  std::filesystem::remove_all(folder);
  return unchangedRatio <= 1.5 && hostCallsMet ? 0 : 2;
}
