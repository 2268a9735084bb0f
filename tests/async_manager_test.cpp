// The runtime singleton: creation, init/deInit cycles, the HTTP manager thread's
// life, a forgotten deInit, and the worker pool it offers.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/support/QZRandom.h"
#include "support/TestHttpsServer.h"
#include "support/TestUtil.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 10s;

struct Result {
  std::string id;
  bool ok;
  std::string text;  // data or failure message
};

class Callback : public IAsyncHttpReqCallback {
 public:
  void OnFailure(const IotRequest* request, const IotException* exception,
                 _AsyncHttpReqType) override {
    Add({request->id, false, exception->message});
  }
  void OnResponse(const IotRequest* request, IotResponse* response, _AsyncHttpReqType) override {
    Add({request->id, true, response->data});
  }
  bool WaitCount(size_t n) {
    return results.WaitFor([n](const std::vector<Result>& v) { return v.size() >= n; }, kWait);
  }
  std::function<void()> hook;
  iotcloud_test::Waitable<std::vector<Result>> results;

 private:
  void Add(Result result) {
    if (hook) hook();
    results.Update([&](std::vector<Result>& v) { v.push_back(std::move(result)); });
  }
};

int Post(IotAsyncManager* manager, Callback* callback, const std::string& host,
         const std::string& path, const std::string& body, const std::string& id) {
  auto* request = new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET,
                                       manager->getAsyncHttpRequestManage(), callback, 443);
  IotRequest record;
  record.host = host;
  record.path = path;
  record.id = id;
  std::map<std::string, std::string> headers;
  int rc = request->Post(&record, headers, body);
  if (rc != 0) delete request;
  return rc;
}

class AsyncManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(&error)) << error;
    AsyncHttpOptions options;
    options.caPem = server_.caPem();
    IotAsyncManager::getInstance()->setHttpOptions(options);
  }
  void TearDown() override { IotAsyncManager::getInstance()->deInit(); }

  iotcloud_test::TestHttpsServer server_;
  Callback callback_;
};

TEST(AsyncManagerSingletonTest, ConcurrentFirstCallsCreateOneInstance) {
  std::vector<std::future<IotAsyncManager*>> calls;
  for (int i = 0; i < 8; ++i) {
    calls.push_back(std::async(std::launch::async, [] { return IotAsyncManager::getInstance(); }));
  }
  std::set<IotAsyncManager*> seen;
  for (auto& call : calls) seen.insert(call.get());
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(*seen.begin(), IotAsyncManager::getInstance());
}

TEST_F(AsyncManagerTest, InitAndDeInitAreIdempotentAndDeInitJoinsTheThread) {
  iotcloud_test::LogCapture log;
  IotAsyncManager* manager = IotAsyncManager::getInstance();
  manager->deInit();  // not running: nothing happens
  EXPECT_EQ(log.Count("AsyncHttpRequestManage::CleanUp"), 0u);

  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    manager->init();
    manager->init();  // one thread, one initialisation
    EXPECT_FALSE(manager->isHttpManagerThread());
    const std::string id = QZRandom::getRandomGUID(32);
    ASSERT_EQ(Post(manager, &callback_, server_.host(), "/echo", "cycle", id), 0);
    ASSERT_TRUE(callback_.WaitCount(cycle + 1));
    manager->deInit();
    // deInit returns only after the thread has ended.
    EXPECT_EQ(log.Count("Http manager thread exit."), static_cast<size_t>(cycle + 1));
    manager->deInit();
  }
  EXPECT_EQ(log.Count("AsyncHttpRequestManage::Init, init=0"), 3u);
  EXPECT_EQ(log.Count("AsyncHttpRequestManage::Init, init=1"), 0u);
  for (const Result& r : callback_.results.Get()) EXPECT_EQ(r.text, "cycle");

  // Stopped: posting is refused, and the refusal is logged.
  EXPECT_EQ(Post(manager, &callback_, server_.host(), "/echo", "x", "late"), -1);
  EXPECT_TRUE(log.Contains("AsyncHttpRequestManage::AddClient, but multi_ have not inited!!!!"));
}

TEST_F(AsyncManagerTest, DeInitFromACallbackIsRefusedWithoutDeadlock) {
  iotcloud_test::LogCapture log;
  IotAsyncManager* manager = IotAsyncManager::getInstance();
  manager->init();
  bool onManagerThread = false;
  callback_.hook = [&] {
    onManagerThread = IotAsyncManager::getInstance()->isHttpManagerThread();
    IotAsyncManager::getInstance()->deInit();
  };
  ASSERT_EQ(Post(manager, &callback_, server_.host(), "/echo", "x", "a"), 0);
  ASSERT_TRUE(callback_.WaitCount(1));
  EXPECT_TRUE(onManagerThread);
  EXPECT_TRUE(log.Contains("IotAsyncManager::deInit on the HTTP manager thread refused"));
  // Still running: another request goes through.
  callback_.hook = nullptr;
  ASSERT_EQ(Post(manager, &callback_, server_.host(), "/echo", "y", "b"), 0);
  ASSERT_TRUE(callback_.WaitCount(2));
}

TEST_F(AsyncManagerTest, DestroyingARunningManagerStopsItAndFailsWhatIsInFlight) {
  iotcloud_test::LogCapture log;
  IotAsyncManager* manager = IotAsyncManager::getInstance();
  manager->init();
  ASSERT_EQ(Post(manager, &callback_, server_.host(), "/delay/10000", "x", "slow"), 0);
  ASSERT_TRUE(server_.WaitForRequests(1, kWait));
  std::atomic<bool> jobRan{false};
  manager->getWorker()->push([&jobRan](int) { jobRan = true; });

  delete manager;  // the host forgot deInit()

  EXPECT_TRUE(jobRan);  // the pool runs its queue before it ends
  EXPECT_TRUE(log.Contains("Http manager thread exit."));
  EXPECT_TRUE(log.Contains("deleted."));
  std::vector<Result> results = callback_.results.Get();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0].ok);
  EXPECT_EQ(results[0].text, "curl error 42");

  // A fresh instance starts stopped.
  IotAsyncManager* fresh = IotAsyncManager::getInstance();
  EXPECT_EQ(Post(fresh, &callback_, server_.host(), "/echo", "x", "refused"), -1);
}

TEST_F(AsyncManagerTest, HttpOptionsAreStoredForRequests) {
  IotAsyncManager* manager = IotAsyncManager::getInstance();
  AsyncHttpOptions options;
  options.caFile = server_.caFile();
  options.totalTimeoutMs = 150;
  manager->setHttpOptions(options);
  EXPECT_EQ(manager->getHttpOptions().caFile, server_.caFile());
  EXPECT_EQ(manager->getAsyncHttpRequestManage()->GetHttpOptions().totalTimeoutMs, 150);
  manager->init();
  ASSERT_EQ(Post(manager, &callback_, server_.host(), "/delay/5000", "x", "t"), 0);
  ASSERT_TRUE(callback_.WaitCount(1));
  EXPECT_EQ(callback_.results.Get()[0].text, "curl error 28");
}

TEST(AsyncManagerWorkerTest, WorkerRunsHostJobsOffTheCallingThread) {
  ctpl::thread_pool* worker = IotAsyncManager::getInstance()->getWorker();
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(worker->size(), 1);
  auto future = worker->push([](int index, std::thread::id caller) {
    EXPECT_NE(std::this_thread::get_id(), caller);
    EXPECT_FALSE(IotAsyncManager::getInstance()->isHttpManagerThread());
    return index;
  }, std::this_thread::get_id());
  ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(future.get(), 0);
}

}  // namespace
