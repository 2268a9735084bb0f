// Transport benchmark against a loopback HTTPS server with warm connections.
// One run prints three ratios with their targets:
//   sequential POSTs through the library vs blocking libcurl on a reused handle
//   1,000 concurrent POSTs through the library vs a plain libcurl multi loop
//   wake-ups of the idle HTTP manager thread over two seconds
// Usage: transport_bench [sequential-count] [concurrent-count] [repeats]
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/support/QZCurl.h"
#include "support/TestHttpsServer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

const std::string kBody = "{\"id\":\"0123456789abcdef0123456789abcdef\",\"params\":{\"type\":\"PHONE\"}}";

// Counts completions; the benchmark waits on it.
class Counter : public IAsyncHttpReqCallback {
 public:
  void OnFailure(const IotRequest*, const IotException* exception, _AsyncHttpReqType) override {
    std::fprintf(stderr, "transfer failed: %s\n", exception->message.c_str());
    Add(false);
  }
  void OnResponse(const IotRequest*, IotResponse*, _AsyncHttpReqType) override { Add(true); }
  // Waits until `count` completions in all; false on a failure or time-out.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool reached = cv_.wait_for(lock, std::chrono::seconds(60), [&] { return done_ >= count; });
    return reached && failed_ == 0;
  }

 private:
  void Add(bool ok) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++done_;
      if (!ok) ++failed_;
    }
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  size_t done_ = 0;
  size_t failed_ = 0;
};

bool PostThroughLibrary(AsyncHttpRequestManage* manage, Counter* counter, const std::string& host,
                        size_t n) {
  auto* request = new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET, manage, counter, 443);
  IotRequest record;
  record.host = host;
  record.path = "/echo";
  record.id = std::to_string(n);
  std::map<std::string, std::string> headers{{"Content-Type", "application/json"}};
  if (request->Post(&record, headers, kBody) != 0) {
    delete request;
    return false;
  }
  return true;
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// The same request the library makes, on a handle of our own.
Easy MakeEasy(const std::string& url, const std::string& caPem, curl_slist* headers) {
  Easy easy(curl_easy_init());
  curl_blob blob{const_cast<char*>(caPem.data()), caPem.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_POST, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(kBody.size()));
  curl_easy_setopt(easy.get(), CURLOPT_COPYPOSTFIELDS, kBody.data());
  curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, Discard);
  return easy;
}

const char* Verdict(bool ok) { return ok ? "within target" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
  const size_t sequential = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
  const size_t concurrent = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;

  iotcloud_test::TestHttpsServer server(64);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "server: %s\n", error.c_str());
    return 1;
  }
  const std::string host = server.host();
  const std::string url = "https://" + host + "/echo";
  QZCurl::global_init_curl();
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      curl_slist_append(nullptr, "Content-Type: application/json"));

  IotAsyncManager* manager = IotAsyncManager::getInstance();
  AsyncHttpOptions options;
  options.caPem = server.caPem();
  manager->setHttpOptions(options);
  manager->init();
  AsyncHttpRequestManage* manage = manager->getAsyncHttpRequestManage();
  const long maxHostConnections = manager->getHttpOptions().maxHostConnections;

  // Warm both paths: connections open, TLS done.
  Counter counter;
  size_t completed = 0;
  for (size_t i = 0; i < 16; ++i) PostThroughLibrary(manage, &counter, host, i);
  completed += 16;
  if (!counter.WaitFor(completed)) return 1;
  Easy blocking = MakeEasy(url, server.caPem(), headers.get());
  for (int i = 0; i < 16; ++i) curl_easy_perform(blocking.get());

  // 1. Sequential.
  std::vector<double> libSeq, curlSeq;
  for (int r = 0; r < repeats; ++r) {
    auto start = Clock::now();
    for (size_t i = 0; i < sequential; ++i) {
      if (!PostThroughLibrary(manage, &counter, host, i) || !counter.WaitFor(++completed)) return 1;
    }
    libSeq.push_back(Ms(Clock::now() - start) / sequential);
    start = Clock::now();
    for (size_t i = 0; i < sequential; ++i) {
      CURLcode rc = curl_easy_perform(blocking.get());
      if (rc != CURLE_OK) {
        std::fprintf(stderr, "blocking: %s\n", curl_easy_strerror(rc));
        return 1;
      }
    }
    curlSeq.push_back(Ms(Clock::now() - start) / sequential);
  }

  // 2. Concurrent. The plain loop keeps one multi handle, like the library,
  // with the same cap on connections per host.
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, maxHostConnections);
  auto plainLoop = [&]() -> bool {
    std::vector<Easy> easies;
    for (size_t i = 0; i < concurrent; ++i) {
      easies.push_back(MakeEasy(url, server.caPem(), headers.get()));
      curl_multi_add_handle(multi, easies.back().get());
    }
    size_t done = 0;
    bool ok = true;
    while (done < concurrent) {
      int running = 0;
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        ok = ok && message->data.result == CURLE_OK;
        curl_multi_remove_handle(multi, message->easy_handle);
        ++done;
      }
      if (done < concurrent) curl_multi_poll(multi, nullptr, 0, 20, nullptr);
    }
    return ok;
  };
  if (!plainLoop()) return 1;  // warm its connections
  std::vector<double> libConc, curlConc;
  for (int r = 0; r < repeats; ++r) {
    auto start = Clock::now();
    for (size_t i = 0; i < concurrent; ++i) {
      if (!PostThroughLibrary(manage, &counter, host, i)) return 1;
    }
    completed += concurrent;
    if (!counter.WaitFor(completed)) return 1;
    libConc.push_back(Ms(Clock::now() - start));
    start = Clock::now();
    if (!plainLoop()) return 1;
    curlConc.push_back(Ms(Clock::now() - start));
  }
  curl_multi_cleanup(multi);

  // 3. Idle wake-ups: nothing in flight for two seconds.
  const uint64_t before = manage->WakeupCount();
  const auto idleStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double idleSeconds = Ms(Clock::now() - idleStart) / 1000.0;
  const double wakeupsPerSecond = (manage->WakeupCount() - before) / idleSeconds;

  manager->deInit();
  blocking.reset();
  headers.reset();
  QZCurl::global_deinit_curl();

  const double seqRatio = Median(libSeq) / Median(curlSeq);
  const double concRatio = Median(libConc) / Median(curlConc);
  std::printf("sequential POSTs (%zu, median of %d): library %.3f ms/POST, blocking libcurl %.3f ms/POST,"
              " ratio %.2f (target <= 5): %s\n",
              sequential, repeats, Median(libSeq), Median(curlSeq), seqRatio, Verdict(seqRatio <= 5));
  std::printf("concurrent POSTs (%zu, median of %d): library %.1f ms, plain multi loop %.1f ms,"
              " ratio %.2f (target <= 1.5): %s\n",
              concurrent, repeats, Median(libConc), Median(curlConc), concRatio,
              Verdict(concRatio <= 1.5));
  std::printf("idle HTTP manager thread: %.2f wake-ups per second over %.1f s (target <= 1): %s\n",
              wakeupsPerSecond, idleSeconds, Verdict(wakeupsPerSecond <= 1));
  return seqRatio <= 5 && concRatio <= 1.5 && wakeupsPerSecond <= 1 ? 0 : 2;
}
