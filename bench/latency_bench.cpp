// Latency benchmark: the library at real round-trip times, against a plain
// libcurl multi loop and against 32 blocking threads with plain libcurl easy
// handles (each thread its own). The servers run in a child process forked
// before any thread starts, so this process's CPU time and heap are the
// clients' alone: the local gateway, nginx in front of it (HTTP/2 and
// HTTP/1.1 over TLS; POST /ok it answers itself), and for every round-trip
// time a delay proxy to each of nginx's two ports.
//
// For each set of transport options and each round-trip time it prints,
// each with its target and met / NOT MET (judged on the median of the runs,
// the range beside it), with the loops it compares alternating run by run:
//   a cold POST and a cold lookup (new connection) in round trips, a warm
//     lookup; plain libcurl's beside them
//   32 concurrent lookups over HTTP/1.1 against 32 blocking threads
//   256 concurrent POSTs over HTTP/2 and over HTTP/1.1 against a plain multi
//     loop with the same connection cap: time, new connections per burst,
//     CPU and HTTP manager thread wake-ups per POST, heap per POST in flight
//   sequential POSTs: CPU and wake-ups per POST against the plain multi loop,
//     and against the plain multi loop on a thread of its own, handed each
//     POST and calling back the way the library does (the cost of the
//     library's two thread hand-offs alone)
//   at one round-trip time (async-rtt): asynchronous lookups from one thread
//     against as many blocking ones on 32 threads, over HTTP/2 and HTTP/1.1,
//     with the lookups that failed
// At 0 ms the figures counted in round trips and the two thread ratios have
// no target (everything is CPU-bound there; see lookup_bench). With latency,
// CPU per sequential POST is mostly what waking from an idle CPU costs: on a
// virtual machine a thread that slept 150 ms can cost more to wake than the
// POST's own work, so those figures vary from run to run far more than the
// times do.
//
// Usage: latency_bench [rtt=0,30,150] [runs=5] [lookups=10000] [async-rtt=30]
//                      [options=default,32/256]
//   rtt: round-trip times in ms (even numbers: each way takes half);
//   options: "default" or maxHostConnections/maxTransfers.
//   A quick run: latency_bench rtt=30 runs=3 lookups=1000
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <dirent.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/io/network/http/HttpUtil.h"
#include "core/support/PlatformServices.h"
#include "core/support/QZCurl.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "gateway-sim/GatewaySim.h"
#include "platform/DefaultPlatform.h"
#include "support/DelayProxy.h"
#include "support/Nginx.h"

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = IotGlobalActivation::LookupOutcome;
constexpr char kAppKey[] = "latency-bench-app-key";
constexpr char kAppSecret[] = "latency-bench-app-secret";
using iotcloud_bench::kRegionPath;
constexpr char kEmail[] = "bench@example.de";
constexpr size_t kThreads = 32;
constexpr size_t kBurst = 256;
const std::string kBody = "{\"id\":\"0123456789abcdef0123456789abcdef\",\"params\":{\"type\":\"PHONE\"}}";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
const char* Verdict(bool met) { return met ? "met" : "NOT MET"; }

// Samples of one figure over the runs.
struct Figure {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  double Median() const {
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  }
  // "median [lowest .. highest]" with `digits` decimals.
  std::string Text(int digits = 2) const {
    if (values.empty()) return "-";
    char text[128];
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    std::snprintf(text, sizeof text, "%.*f [%.*f .. %.*f]", digits, Median(), digits, *low, digits, *high);
    return text;
  }
};

bool g_allMet = true;
// "<what>: <figure> (target ...): met" or "(no target)".
void Row(const std::string& label, const std::string& figures, const char* target, bool met) {
  if (target == nullptr) {
    std::printf("  %s: %s (no target)\n", label.c_str(), figures.c_str());
    return;
  }
  g_allMet = g_allMet && met;
  std::printf("  %s: %s (target %s): %s\n", label.c_str(), figures.c_str(), target, Verdict(met));
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Bytes handed out by malloc, all arenas (not hidden by memory the heap keeps).
double HeapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

// The heap's peak above where it was when made, sampled every half
// millisecond on a thread of its own until Stop.
class HeapPeak {
 public:
  HeapPeak()
      : start_(HeapBytes()), peak_(start_), thread_([this] {
          while (!stop_.load()) {
            peak_ = std::max(peak_.load(), HeapBytes());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
          }
        }) {}
  double Stop() {
    stop_.store(true);
    thread_.join();
    return peak_.load() - start_;
  }

 private:
  const double start_;
  std::atomic<double> peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- The servers, in a child process ---------------------------------------------

// cpp-httplib listens with a backlog of 5: when nginx opens tens of upstream
// connections at once, the ones past it wait for SYN retransmits (1 s, 3 s
// ...), which would land in whatever row is measured then. A second
// listen() on the same socket widens the queue.
void WidenBacklog(int port) {
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return;
  while (const dirent* entry = readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    int listening = 0;
    socklen_t length = sizeof listening;
    sockaddr_in address{};
    socklen_t addressLength = sizeof address;
    if (fd > 2 && getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0 && address.sin_family == AF_INET &&
        ntohs(address.sin_port) == port)
      listen(fd, 4096);
  }
  closedir(fds);
}

// The child's side: serves until the control socket closes. Writes "ok", the
// proxies' ports (per round-trip time: to nginx's HTTP/2 port, to its
// HTTP/1.1 port) and nginx's CA, then answers "accepted <proxy>" with the
// connections that proxy accepted so far.
[[noreturn]] void Serve(int control, const std::vector<int>& rtts) {
  FILE* in = fdopen(control, "r");
  FILE* out = fdopen(dup(control), "w");
  std::string error;
  {
    iotcloud::gateway::GatewayConfig config;
    config.applications[kAppKey] = kAppSecret;
    config.serverThreads = 768;  // above nginx's upstream connections: each holds one
    config.maxRecordedRequests = 0;
    iotcloud::gateway::GatewaySim sim(config);
    std::unique_ptr<iotcloud_test::Nginx> nginx;
    std::vector<std::unique_ptr<iotcloud_test::DelayProxy>> proxies;
    bool ok = sim.Start(&error);
    if (ok) WidenBacklog(sim.port());
    if (ok && !iotcloud_test::Nginx::Installed()) {
      error = "nginx is not installed (scripts/install-deps.sh installs it)";
      ok = false;
    }
    if (ok) {
      nginx =
          std::make_unique<iotcloud_test::Nginx>(iotcloud_test::Nginx::Config{{{"/", sim.port(), sim.caFile()}}, 512});
      ok = nginx->Start(&error);
    }
    iotcloud_test::DelayProxy::Limits limits;
    limits.maxConnections = 2048;
    limits.idleTimeout = std::chrono::minutes(30);
    limits.lifetime = std::chrono::hours(3);
    for (int rtt : rtts) {
      for (const bool http2 : {true, false}) {
        if (!ok) break;
        const int port = http2 ? nginx->http2Port() : nginx->http1Port();
        proxies.push_back(std::make_unique<iotcloud_test::DelayProxy>(limits));
        ok = proxies.back()->Start(std::chrono::milliseconds(rtt / 2), port, &error);
      }
    }
    if (!ok) {
      std::fprintf(out, "fail %s\n", error.c_str());
    } else {
      std::fprintf(out, "ok");
      for (const auto& proxy : proxies) std::fprintf(out, " %d", proxy->port());
      std::fprintf(out, "\n%zu\n%s", nginx->caPem().size(), nginx->caPem().c_str());
    }
    std::fflush(out);
    for (char line[64]; ok && std::fgets(line, sizeof line, in) != nullptr;) {
      size_t index = 0;
      if (std::sscanf(line, "accepted %zu", &index) == 1 && index < proxies.size())
        std::fprintf(out, "%zu\n", proxies[index]->AcceptedConnections());
      else
        std::fprintf(out, "0\n");
      std::fflush(out);
    }
  }  // proxies, nginx and the gateway stop here
  _exit(0);
}

// The parent's side.
class Servers {
 public:
  ~Servers() {
    if (in_ != nullptr) std::fclose(in_);
    if (out_ != nullptr) std::fclose(out_);
    if (child_ > 0) waitpid(child_, nullptr, 0);
  }
  // Forks the child; call before any thread starts.
  bool Start(const std::vector<int>& rtts, std::string* error) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    child_ = fork();
    if (child_ < 0) return false;
    if (child_ == 0) {
      close(fds[0]);
      Serve(fds[1], rtts);
    }
    close(fds[1]);
    in_ = fdopen(fds[0], "r");
    out_ = fdopen(dup(fds[0]), "w");
    char line[512];
    if (std::fgets(line, sizeof line, in_) == nullptr) return false;
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word != "ok") {
      *error = line;
      return false;
    }
    for (int port; words >> port;) ports_.push_back(port);
    if (std::fgets(line, sizeof line, in_) == nullptr) return false;
    const size_t length = std::strtoul(line, nullptr, 10);
    caPem_.resize(length);
    return std::fread(caPem_.data(), 1, length, in_) == length && ports_.size() == 2 * rtts.size();
  }
  // Through the delay proxy of round-trip time number `rtt` to nginx's HTTP/2 or HTTP/1.1 port.
  std::string Host(size_t rtt, bool http2) const { return "127.0.0.1:" + std::to_string(ports_[Index(rtt, http2)]); }
  size_t Accepted(size_t rtt, bool http2) {
    std::fprintf(out_, "accepted %zu\n", Index(rtt, http2));
    std::fflush(out_);
    char line[64];
    return std::fgets(line, sizeof line, in_) != nullptr ? std::strtoul(line, nullptr, 10) : 0;
  }
  const std::string& caPem() const { return caPem_; }

 private:
  static size_t Index(size_t rtt, bool http2) { return 2 * rtt + (http2 ? 0 : 1); }
  pid_t child_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
  std::vector<int> ports_;
  std::string caPem_;
};

// ---- Clients ------------------------------------------------------------------------

// Completions of library POSTs and lookups, counted over the whole run.
class Completions : public IAsyncHttpReqCallback {
 public:
  void OnFailure(const IotRequest*, const IotException* exception, _AsyncHttpReqType) override {
    Add(false, exception->message);
  }
  void OnResponse(const IotRequest*, IotResponse* response, _AsyncHttpReqType) override {
    Add(response->httpStatus == 200, "HTTP " + std::to_string(response->httpStatus));
  }
  IotGlobalActivation::LookupCompletion Lookup() {
    return [this](const IotGlobalActivation::LookupResult& result) {
      Add(result.outcome == Outcome::kChanged || result.outcome == Outcome::kUnchanged, result.detail);
    };
  }
  // Waits until `total` completions in all; false after two minutes.
  bool WaitFor(size_t total) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::minutes(2), [&] { return done_ >= total; });
  }
  size_t done() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }
  size_t failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }

 private:
  // Notified once the lock is released, so the woken waiter does not block
  // on it again (a context switch more per completion).
  void Add(bool ok, const std::string& why) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ok && failed_++ < 3) std::fprintf(stderr, "failed: %s\n", why.c_str());
      ++done_;
    }
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  size_t done_ = 0, failed_ = 0;
};

Completions g_completions;
IotAsyncManager* Runtime() { return IotAsyncManager::getInstance(); }
IotGlobalActivation* Activation() { return IotGlobalActivation::getInstance(); }
uint64_t Wakeups() { return Runtime()->getAsyncHttpRequestManage()->WakeupCount(); }

// What one measured loop did.
struct Run {
  double ms = 0;
  double cpuUsPerRequest = 0;
  double wakeupsPerRequest = 0;
  size_t failed = 0;
};

// `count` POSTs to /ok through the library at once (or one after another),
// until all have completed.
bool LibraryPosts(const std::string& host, size_t count, bool sequential, Run* run) {
  const size_t failedBefore = g_completions.failed(), doneBefore = g_completions.done();
  const uint64_t wakeups = Wakeups();
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    auto* request =
        new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET, Runtime()->getAsyncHttpRequestManage(), &g_completions, 443);
    IotRequest record{0, 0, host, "/ok", "", "", QZRandom::getRandomGUID(32)};
    std::map<std::string, std::string> headers{{"Content-Type", "application/json"}};
    if (request->Post(&record, headers, kBody) != 0) {
      delete request;
      return false;
    }
    if (sequential && !g_completions.WaitFor(doneBefore + i + 1)) return false;
  }
  if (!g_completions.WaitFor(doneBefore + count)) return false;
  run->ms = Ms(Clock::now() - start);
  run->cpuUsPerRequest = (CpuSeconds() - cpu) * 1e6 / count;
  run->wakeupsPerRequest = static_cast<double>(Wakeups() - wakeups) / count;
  run->failed = g_completions.failed() - failedBefore;
  return true;
}

// `count` asynchronous lookups started at once from this thread.
bool LibraryLookups(size_t count, Run* run) {
  const size_t failedBefore = g_completions.failed(), doneBefore = g_completions.done();
  const auto start = Clock::now();
  for (size_t i = 0; i < count; ++i) Activation()->regionGetByEmailAsync(kEmail, g_completions.Lookup());
  if (!g_completions.WaitFor(doneBefore + count)) return false;
  run->ms = Ms(Clock::now() - start);
  run->failed = g_completions.failed() - failedBefore;
  return true;
}

// One blocking lookup through the library; its time in ms, or -1.
double BlockingLookup() {
  const auto start = Clock::now();
  Activation()->regionGetByEmail(kEmail);
  const double ms = Ms(Clock::now() - start);
  const Outcome outcome = Activation()->getLastLookupResult().outcome;
  return outcome == Outcome::kChanged || outcome == Outcome::kUnchanged ? ms : -1;
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// The options the library sets on every transfer that matter here.
void SetCommonOptions(CURL* easy, const std::string& url, const std::string& caPem, std::string* answer) {
  curl_blob blob{const_cast<char*>(caPem.data()), caPem.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 8000L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 20000L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, answer);
}

// A new easy handle for POST /ok with kBody: the common options, the body
// and `headers`.
CURL* NewPost(const std::string& url, const std::string& caPem, curl_slist* headers, std::string* answer) {
  CURL* easy = curl_easy_init();
  SetCommonOptions(easy, url, caPem, answer);
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(kBody.size()));
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, kBody.data());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  return easy;
}

// Signs with the installed platform, like the library's own callback.
// A blocking client of plain libcurl: the lookup's request, built, signed
// and posted on one reused easy handle.
class BlockingClient {
 public:
  BlockingClient(const std::string& host, const std::string& caPem) : lookup_(kAppKey), easy_(curl_easy_init()) {
    SetCommonOptions(easy_, "https://" + host + kRegionPath, caPem, &answer_);
  }
  ~BlockingClient() { curl_easy_cleanup(easy_); }
  BlockingClient(const BlockingClient&) = delete;
  BlockingClient& operator=(const BlockingClient&) = delete;

  bool Post() {
    const CURLcode rc = lookup_.Post(easy_, kEmail, &answer_);
    return rc == CURLE_OK && answer_.find("\"regionId\"") != std::string::npos;
  }

 private:
  iotcloud_bench::PlainLookup lookup_;
  CURL* easy_;
  std::string answer_;
};

// kThreads threads, each with its own BlockingClient, started together.
class BlockingThreads {
 public:
  BlockingThreads(const std::string& host, const std::string& caPem) {
    for (size_t t = 0; t < kThreads; ++t) {
      clients_.push_back(std::make_unique<BlockingClient>(host, caPem));
      threads_.emplace_back([this, t] { Work(t); });
    }
  }
  ~BlockingThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }
  // Each thread makes `each` lookups; the wall time of all.
  Run Go(size_t each) {
    std::unique_lock<std::mutex> lock(mutex_);
    each_ = each;
    finished_ = 0;
    failed_ = 0;
    ++round_;
    const auto start = Clock::now();
    cv_.notify_all();
    cv_.wait(lock, [&] { return finished_ == kThreads; });
    Run run;
    run.ms = Ms(Clock::now() - start);
    run.failed = failed_;
    return run;
  }

 private:
  void Work(size_t t) {
    uint64_t seen = 0;
    for (;;) {
      size_t each = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return stop_ || round_ != seen; });
        if (stop_) return;
        seen = round_;
        each = each_;
      }
      size_t failed = 0;
      for (size_t i = 0; i < each; ++i) failed += clients_[t]->Post() ? 0 : 1;
      std::lock_guard<std::mutex> lock(mutex_);
      failed_ += failed;
      if (++finished_ == kThreads) cv_.notify_all();
    }
  }
  std::vector<std::unique_ptr<BlockingClient>> clients_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t round_ = 0;
  size_t each_ = 0, finished_ = 0, failed_ = 0;
  bool stop_ = false;
};

// The plain multi loop: one multi handle kept across runs (its connections
// with it), fresh easy handles per run, POST /ok with the library's options.
class PlainMulti {
 public:
  PlainMulti(const std::string& host, const std::string& caPem, long maxHostConnections)
      : url_("https://" + host + "/ok"), caPem_(caPem), multi_(curl_multi_init()) {
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, maxHostConnections);
    headers_ = curl_slist_append(nullptr, "Content-Type: application/json");
  }
  ~PlainMulti() {
    curl_multi_cleanup(multi_);
    curl_slist_free_all(headers_);
  }
  PlainMulti(const PlainMulti&) = delete;
  PlainMulti& operator=(const PlainMulti&) = delete;

  // `count` POSTs at once, or one after another; false on a failure.
  bool Posts(size_t count, bool sequential, Run* run, double* heapPerRequest = nullptr) {
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    std::unique_ptr<HeapPeak> heap = heapPerRequest ? std::make_unique<HeapPeak>() : nullptr;
    bool ok = true;
    if (sequential) {
      for (size_t i = 0; i < count && ok; ++i) ok = Burst(1);
    } else {
      ok = Burst(count);
    }
    if (heap) *heapPerRequest = heap->Stop() / count;
    run->ms = Ms(Clock::now() - start);
    run->cpuUsPerRequest = (CpuSeconds() - cpu) * 1e6 / count;
    run->failed = ok ? 0 : 1;
    return ok;
  }

 private:
  bool Burst(size_t count) {
    struct Transfer {
      CURL* easy;
      std::string answer;
    };
    std::vector<Transfer> transfers(count);
    for (Transfer& t : transfers) {
      t.easy = NewPost(url_, caPem_, headers_, &t.answer);
      curl_multi_add_handle(multi_, t.easy);
    }
    size_t done = 0;
    bool ok = true;
    while (done < count) {
      int running = 0;
      curl_multi_perform(multi_, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        ok = ok && message->data.result == CURLE_OK;
        curl_multi_remove_handle(multi_, message->easy_handle);
        ++done;
      }
      // libcurl shortens the wait to its own next timer.
      if (done < count) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    for (Transfer& t : transfers) curl_easy_cleanup(t.easy);
    return ok;
  }
  std::string url_, caPem_;
  CURLM* multi_;
  curl_slist* headers_ = nullptr;
};

// The plain multi loop run the way the library runs a transfer: on a thread
// of its own that sleeps in curl_multi_poll, handed each POST under a lock
// with curl_multi_wakeup, and telling the poster of the end through a
// condition variable from that thread. What it costs above the plain loop is
// the two thread hand-offs of the library's threading model (the host's
// thread posts, the HTTP manager thread runs the transfer and calls back),
// which no driver of that model can save: the floor under the library's CPU
// per sequential POST. One POST at a time.
class HandedOffMulti {
 public:
  HandedOffMulti(const std::string& host, const std::string& caPem, long maxHostConnections)
      : url_("https://" + host + "/ok"), caPem_(caPem), multi_(curl_multi_init()) {
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, maxHostConnections);
    headers_ = curl_slist_append(nullptr, "Content-Type: application/json");
    thread_ = std::thread([this] { Loop(); });
  }
  ~HandedOffMulti() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    curl_multi_wakeup(multi_);
    thread_.join();
    for (const auto& t : abandoned_) {
      curl_multi_remove_handle(multi_, t->easy);  // no-op for one never added
      curl_easy_cleanup(t->easy);
    }
    curl_multi_cleanup(multi_);
    curl_slist_free_all(headers_);
  }
  HandedOffMulti(const HandedOffMulti&) = delete;
  HandedOffMulti& operator=(const HandedOffMulti&) = delete;

  // `count` POSTs one after another; false on a failure.
  bool Posts(size_t count, Run* run) {
    const uint64_t wakeups = wakeups_.load();
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    bool ok = true;
    for (size_t i = 0; i < count && ok; ++i) {
      auto t = std::make_unique<Transfer>();
      t->easy = NewPost(url_, caPem_, headers_, &t->answer);
      curl_easy_setopt(t->easy, CURLOPT_PRIVATE, static_cast<void*>(t.get()));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_.push_back(t.get());
      }
      curl_multi_wakeup(multi_);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ended_.wait_for(lock, std::chrono::minutes(2), [&] { return t->done; })) {
          abandoned_.push_back(std::move(t));  // the loop's thread may still use it
          return false;
        }
      }
      ok = t->ok;
      curl_easy_cleanup(t->easy);
    }
    run->ms = Ms(Clock::now() - start);
    run->cpuUsPerRequest = (CpuSeconds() - cpu) * 1e6 / count;
    run->wakeupsPerRequest = static_cast<double>(wakeups_.load() - wakeups) / count;
    run->failed = ok ? 0 : 1;
    return ok;
  }

 private:
  struct Transfer {
    CURL* easy = nullptr;
    std::string answer;
    bool done = false;  // guarded by mutex_
    bool ok = false;
  };
  // The loop's thread: the only one that touches the multi handle.
  void Loop() {
    for (;;) {
      std::vector<Transfer*> added;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        added.swap(queued_);
      }
      for (Transfer* t : added) curl_multi_add_handle(multi_, t->easy);
      int running = 0;
      curl_multi_perform(multi_, &running);
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        char* priv = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &priv);
        const bool ok = message->data.result == CURLE_OK;
        curl_multi_remove_handle(multi_, message->easy_handle);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          auto* t = reinterpret_cast<Transfer*>(priv);
          t->ok = ok;
          t->done = true;
        }
        ended_.notify_all();
      }
      curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
      wakeups_.fetch_add(1);
    }
  }
  const std::string url_, caPem_;
  CURLM* const multi_;
  curl_slist* headers_ = nullptr;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<Transfer*> queued_;                     // guarded by mutex_
  std::vector<std::unique_ptr<Transfer>> abandoned_;  // timed out; guarded by mutex_, freed at the end
  bool stop_ = false;                                 // guarded by mutex_
  std::atomic<uint64_t> wakeups_{0};
  std::thread thread_;  // last: starts once the members above exist
};

// ---- The rows -------------------------------------------------------------------------

struct Settings {
  std::vector<int> rtts{0, 30, 150};
  int runs = 5;
  size_t lookups = 10000;
  int asyncRtt = 30;
  std::vector<std::pair<long, long>> options{{0, 0}, {32, 256}};  // {0, 0}: the library's defaults
};

bool ParseArguments(int argc, char** argv, Settings* s) {
  auto numbers = [](const std::string& text, char separator) {
    std::vector<long> out;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) out.push_back(std::atol(part.c_str()));
    return out;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    const std::string key = arg.substr(0, eq), value = eq == std::string::npos ? "" : arg.substr(eq + 1);
    if (key == "rtt") {
      s->rtts.clear();
      for (long rtt : numbers(value, ',')) s->rtts.push_back(static_cast<int>(rtt));
    } else if (key == "runs") {
      s->runs = std::max(1, std::atoi(value.c_str()));
    } else if (key == "lookups") {
      s->lookups = std::strtoul(value.c_str(), nullptr, 10);
    } else if (key == "async-rtt") {
      s->asyncRtt = std::atoi(value.c_str());
    } else if (key == "options") {
      s->options.clear();
      std::istringstream in(value);
      for (std::string part; std::getline(in, part, ',');) {
        const std::vector<long> pair = numbers(part, '/');
        s->options.push_back(part == "default" || pair.size() != 2 ? std::make_pair(0L, 0L)
                                                                   : std::make_pair(pair[0], pair[1]));
      }
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return false;
    }
  }
  return !s->rtts.empty() && !s->options.empty();
}

std::string LoadAverage() {
  std::string text = iotcloud_test::ReadFile("/proc/loadavg");
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

class Bench {
 public:
  Bench(const Settings& settings, Servers& servers) : s_(settings), servers_(servers) {}

  // (Re)starts the library with `connections`/`transfers` (0: its defaults).
  void Restart(long connections, long transfers) {
    Runtime()->deInit();
    AsyncHttpOptions options;
    options.caPem = servers_.caPem();
    if (connections > 0) options.maxHostConnections = connections;
    if (transfers > 0) options.maxTransfers = transfers;
    Runtime()->setHttpOptions(options);
    Runtime()->init();
    options_ = Runtime()->getHttpOptions();
  }

  bool OneRtt(size_t rttIndex) {
    const int rtt = s_.rtts[rttIndex];
    const bool latency = rtt > 0;
    const std::string h2 = servers_.Host(rttIndex, true), h1 = servers_.Host(rttIndex, false);
    auto inRtt = [rtt](double ms) { return ms / rtt; };
    std::printf("[rtt %d ms, maxHostConnections %ld, maxTransfers %ld, load %s]\n", rtt, options_.maxHostConnections,
                options_.maxTransfers, LoadAverage().c_str());

    // Cold and warm, over HTTP/2.
    Figure coldPost, plainColdPost, coldLookup, plainColdLookup, warm, plainWarm;
    Activation()->setGatewayHosts(h2, h2);
    Run first;  // not counted: the first handshakes of the process and of nginx cost more
    if (!LibraryPosts(h2, 1, false, &first) || BlockingLookup() < 0) return false;
    // One sample of each per run, and a millisecond is a few hundredths of a
    // round trip here: nine runs at least, so the median is steady.
    for (int r = 0; r < std::max(s_.runs, 9); ++r) {
      Restart(options_.maxHostConnections, options_.maxTransfers);
      Run run;
      if (!LibraryPosts(h2, 1, false, &run)) return false;
      coldPost.Add(latency ? inRtt(run.ms) : run.ms);
      Restart(options_.maxHostConnections, options_.maxTransfers);
      const double cold = BlockingLookup();
      if (cold < 0) return false;
      coldLookup.Add(latency ? inRtt(cold) : cold);
      {
        PlainMulti plain(h2, servers_.caPem(), options_.maxHostConnections);
        if (!plain.Posts(1, false, &run)) return false;
        plainColdPost.Add(latency ? inRtt(run.ms) : run.ms);
      }
      BlockingClient client(h2, servers_.caPem());
      auto start = Clock::now();
      if (!client.Post()) return false;
      plainColdLookup.Add(latency ? inRtt(Ms(Clock::now() - start)) : Ms(Clock::now() - start));
      Figure lib, plainRun;
      for (int i = 0; i < 10; ++i) {
        const double ms = BlockingLookup();
        start = Clock::now();
        if (ms < 0 || !client.Post()) return false;
        plainRun.Add(Ms(Clock::now() - start));
        lib.Add(ms);
      }
      warm.Add(latency ? inRtt(lib.Median()) : lib.Median());
      plainWarm.Add(latency ? inRtt(plainRun.Median()) : plainRun.Median());
    }
    const char* unit = latency ? "RTT" : "ms";
    // The medians' difference too: the delay proxy and the servers add to
    // both, so it is what the library adds.
    auto with = [unit](const Figure& f, const Figure& plain) {
      char difference[64];
      std::snprintf(difference, sizeof difference, "; library %+.2f %s", f.Median() - plain.Median(), unit);
      return f.Text() + " " + unit + "; plain libcurl " + plain.Text() + " " + unit + difference;
    };
    Row("cold POST (new connection, HTTP/2)", with(coldPost, plainColdPost), latency ? "<= 3.15 RTT" : nullptr,
        coldPost.Median() <= 3.15);
    Row("cold lookup (new connection, HTTP/2)", with(coldLookup, plainColdLookup), latency ? "<= 3.15 RTT" : nullptr,
        coldLookup.Median() <= 3.15);
    Row("warm lookup (HTTP/2)", with(warm, plainWarm), latency ? "<= 1.05 RTT" : nullptr, warm.Median() <= 1.05);

    // 32 concurrent lookups over HTTP/1.1 against 32 blocking threads.
    {
      Activation()->setGatewayHosts(h1, h1);
      BlockingThreads threads(h1, servers_.caPem());
      Run run;
      for (int i = 0; i < 2; ++i)
        if (!LibraryLookups(kThreads, &run) || threads.Go(1).failed != 0) return false;  // connections open
      Figure lib, blocking, ratio, fresh;
      for (int r = 0; r < s_.runs; ++r) {
        Run threadRun;
        if (r % 2 == 1) threadRun = threads.Go(1);
        const size_t before = servers_.Accepted(rttIndex, false);
        if (!LibraryLookups(kThreads, &run) || run.failed != 0) return false;
        fresh.Add(static_cast<double>(servers_.Accepted(rttIndex, false) - before));
        if (r % 2 == 0) threadRun = threads.Go(1);
        if (threadRun.failed != 0) return false;
        lib.Add(run.ms);
        blocking.Add(threadRun.ms);
        ratio.Add(run.ms / threadRun.ms);
      }
      Row("32 concurrent lookups, HTTP/1.1: library " + lib.Text(1) + " ms, 32 blocking threads " + blocking.Text(1) +
              " ms, ratio",
          ratio.Text() + "x", latency ? "<= 1.1x" : nullptr, ratio.Median() <= 1.1);
      Row("32 concurrent lookups, HTTP/1.1: new connections per burst", fresh.Text(0), nullptr, true);
    }

    // 256 concurrent POSTs, and sequential ones, over each protocol.
    for (const bool http2 : {true, false}) {
      const std::string host = http2 ? h2 : h1;
      const char* name = http2 ? "HTTP/2" : "HTTP/1.1";
      PlainMulti plain(host, servers_.caPem(), options_.maxHostConnections);
      Run run, plainRun;
      // Warm: the client connections, and nginx's to the gateway.
      for (int i = 0; i < 2; ++i)
        if (!LibraryPosts(host, kBurst, false, &run) || !plain.Posts(kBurst, false, &plainRun)) return false;
      Figure ms, plainMs, ratio, cpu, plainCpu, cpuRatio, wakeups, fresh, plainFresh;
      for (int r = 0; r < s_.runs; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
          const bool library = (turn == 0) == (r % 2 == 0);
          const size_t before = servers_.Accepted(rttIndex, http2);
          if (library ? !LibraryPosts(host, kBurst, false, &run) : !plain.Posts(kBurst, false, &plainRun)) return false;
          (library ? fresh : plainFresh).Add(static_cast<double>(servers_.Accepted(rttIndex, http2) - before));
        }
        if (run.failed != 0) return false;
        ms.Add(run.ms);
        plainMs.Add(plainRun.ms);
        ratio.Add(run.ms / plainRun.ms);
        cpu.Add(run.cpuUsPerRequest);
        plainCpu.Add(plainRun.cpuUsPerRequest);
        cpuRatio.Add(run.cpuUsPerRequest / plainRun.cpuUsPerRequest);
        wakeups.Add(run.wakeupsPerRequest);
      }
      const std::string burst = std::to_string(kBurst) + " concurrent POSTs, " + name + " (" +
                                std::to_string(options_.maxHostConnections) + " connections at most)";
      Row(burst + ": library " + ms.Text(1) + " ms, plain multi loop " + plainMs.Text(1) + " ms, ratio",
          ratio.Text() + "x", "<= 1.05x", ratio.Median() <= 1.05);
      Row(burst + ": new connections per burst",
          "library " + fresh.Text(0) + ", plain multi loop " + plainFresh.Text(0), nullptr, true);
      Row(burst + ": CPU per POST library " + cpu.Text(0) + " us, plain multi loop " + plainCpu.Text(0) + " us, ratio",
          cpuRatio.Text() + "x", "<= 1.15x", cpuRatio.Median() <= 1.15);
      Row(burst + ": HTTP manager thread wake-ups per POST", wakeups.Text(1), nullptr, true);

      // Heap per POST in flight, in bursts of their own (the sampler costs CPU).
      Figure heap, plainHeap, heapRatio;
      for (int r = 0; r < s_.runs; ++r) {
        double plainBytes = 0;
        HeapPeak peak;
        if (!LibraryPosts(host, kBurst, false, &run)) return false;
        const double bytes = peak.Stop() / kBurst;
        if (!plain.Posts(kBurst, false, &plainRun, &plainBytes)) return false;
        heap.Add(bytes / 1024);
        plainHeap.Add(plainBytes / 1024);
        heapRatio.Add(bytes / plainBytes);
      }
      Row(burst + ": heap per POST in flight library " + heap.Text(1) + " KB, plain multi loop " + plainHeap.Text(1) +
              " KB, ratio",
          heapRatio.Text() + "x", "<= 0.5x", heapRatio.Median() <= 0.5);

      // Sequential: one POST at a time on a warm connection, against the
      // plain loop and against the plain loop handed off as the library does.
      HandedOffMulti handedOff(host, servers_.caPem(), options_.maxHostConnections);
      // About a second per loop and run with latency (CPU per POST is then
      // mostly the wake-ups from an idle CPU, and varies).
      const size_t sequential = latency ? std::max<size_t>(10, 900 / rtt) : 200;
      if (!handedOff.Posts(2, &plainRun)) return false;  // its connection
      Figure seqCpu, seqPlainCpu, seqRatio, seqWakeups, seqFloorCpu, seqFloorRatio, seqFloorWakeups;
      for (int r = 0; r < s_.runs; ++r) {
        Run floorRun;
        for (int turn = 0; turn < 3; ++turn) {
          switch ((turn + r) % 3) {
            case 0:
              if (!LibraryPosts(host, sequential, true, &run)) return false;
              break;
            case 1:
              if (!plain.Posts(sequential, true, &plainRun)) return false;
              break;
            default:
              if (!handedOff.Posts(sequential, &floorRun)) return false;
          }
        }
        seqCpu.Add(run.cpuUsPerRequest);
        seqPlainCpu.Add(plainRun.cpuUsPerRequest);
        seqRatio.Add(run.cpuUsPerRequest / plainRun.cpuUsPerRequest);
        seqWakeups.Add(run.wakeupsPerRequest);
        seqFloorCpu.Add(floorRun.cpuUsPerRequest);
        seqFloorRatio.Add(run.cpuUsPerRequest / floorRun.cpuUsPerRequest);
        seqFloorWakeups.Add(floorRun.wakeupsPerRequest);
      }
      Row(std::string("sequential POSTs, ") + name + ": CPU per POST library " + seqCpu.Text(0) +
              " us, plain multi loop " + seqPlainCpu.Text(0) + " us, ratio",
          seqRatio.Text() + "x", "<= 1.15x", seqRatio.Median() <= 1.15);
      // What the two hand-offs cost shows here: the handed-off loop pays them
      // and nothing else of the library.
      Row(std::string("sequential POSTs, ") + name + ": CPU per POST library " + seqCpu.Text(0) +
              " us, plain multi loop handed off as the library does " + seqFloorCpu.Text(0) + " us, ratio",
          seqFloorRatio.Text() + "x", nullptr, true);
      Row(std::string("sequential POSTs, ") + name + ": HTTP manager thread wake-ups per POST " + seqWakeups.Text(1) +
              ", the handed-off loop's",
          seqFloorWakeups.Text(1), nullptr, true);
    }

    if (rtt == s_.asyncRtt && s_.lookups > 0) return AsyncLookups(rttIndex);
    return true;
  }

  // Asynchronous lookups from one thread against as many blocking ones on 32 threads.
  bool AsyncLookups(size_t rttIndex) {
    const bool latency = s_.rtts[rttIndex] > 0;
    for (const bool http2 : {true, false}) {
      const std::string host = servers_.Host(rttIndex, http2);
      Activation()->setGatewayHosts(host, host);
      BlockingThreads threads(host, servers_.caPem());
      Run run;
      if (!LibraryLookups(kThreads, &run) || threads.Go(1).failed != 0) return false;
      const size_t each = std::max<size_t>(1, s_.lookups / kThreads);
      Figure rate, threadRate, ratio, failed;
      for (int r = 0; r < std::min(s_.runs, 3); ++r) {
        Run threadRun;
        if (r % 2 == 1) threadRun = threads.Go(each);
        if (!LibraryLookups(s_.lookups, &run)) return false;
        if (r % 2 == 0) threadRun = threads.Go(each);
        rate.Add(s_.lookups / run.ms * 1000);
        threadRate.Add(each * kThreads / threadRun.ms * 1000);
        ratio.Add(rate.values.back() / threadRate.values.back());
        failed.Add(static_cast<double>(run.failed));
        if (threadRun.failed != 0) std::fprintf(stderr, "%zu blocking lookups failed\n", threadRun.failed);
      }
      const std::string what =
          std::to_string(s_.lookups) + " asynchronous lookups from one thread, " + (http2 ? "HTTP/2" : "HTTP/1.1");
      Row(what + ": " + rate.Text(0) + "/s; 32 blocking threads " + threadRate.Text(0) + "/s; ratio",
          ratio.Text() + "x", http2 && latency ? ">= 2x" : nullptr, ratio.Median() >= 2);
      Row(what + ": failed lookups", failed.Text(0), "0", failed.Median() == 0 && failed.values.back() == 0);
    }
    return true;
  }

 private:
  const Settings& s_;
  Servers& servers_;
  AsyncHttpOptions options_;
};

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, &settings)) return 1;
  Servers servers;
  std::string error;
  if (!servers.Start(settings.rtts, &error)) {  // before any thread of this process
    std::fprintf(stderr, "servers: %s\n", error.c_str());
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // a long run shows its rows as they come
  iotcloud::SetLogMinLevel(5);
  QZCurl::global_init_curl();
  const std::string folder = iotcloud_bench::SetUpPlatform("/tmp/iotcloud-latency-bench-XXXXXX", kAppKey, kAppSecret);
  if (folder.empty()) return 1;

  std::printf("latency_bench: %d runs each, load average %s at the start\n", settings.runs, LoadAverage().c_str());
  bool ok = true;
  {
    Bench bench(settings, servers);
    for (const auto& [connections, transfers] : settings.options) {
      for (size_t i = 0; i < settings.rtts.size() && ok; ++i) {
        bench.Restart(connections, transfers);
        ok = bench.OneRtt(i);
      }
    }
  }
  if (!ok) std::fprintf(stderr, "a measured loop failed; figures incomplete\n");
  std::printf("load average at the end %s\n", LoadAverage().c_str());
  Runtime()->deInit();
  setSharedPlatformImpl(nullptr);
  QZCurl::global_deinit_curl();
  std::filesystem::remove_all(folder);
  return !ok ? 1 : g_allMet ? 0 : 2;
}
