// An in-process HTTPS server on 127.0.0.1 for tests, with a CA and server
// certificate generated when it is made. Behaviours, by path (any method):
//
//   /echo                 200, body = the request body, same Content-Type
//   /echo-headers         200, body = one "name: value\n" line per received header
//   /delay/<ms>           waits <ms> (cut short by Stop or ReleaseDelayed), then 200 "delayed"
//   /close-mid-response   announces 1024 bytes, sends 16, closes the connection
//   /empty                200 with an empty body
//   /huge/<bytes>         200 with a body of <bytes> bytes of 'x'
//   /status/<code>        that status, body "status <code>"
//
// Every request reaching one of these is recorded as received (method, path,
// headers, body) before it is answered. cpp-httplib keeps headers sorted by
// name, case-insensitively, not in arrival order; RawHttpsCaptureServer
// records the exact header lines.
//
// Threads: Start/Stop from the owning thread; everything else from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tls/LoopbackHttpsServer.h"

namespace iotcloud_test {

struct RecordedRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

class TestHttpsServer {
 public:
  // `workers` bounds the connections served at once (each kept-alive
  // connection holds one); tests open a few, benchmarks pass more.
  explicit TestHttpsServer(size_t workers = 32);
  ~TestHttpsServer();
  TestHttpsServer(const TestHttpsServer&) = delete;
  TestHttpsServer& operator=(const TestHttpsServer&) = delete;

  // Extra routes may be added through server() before Start(); handlers can
  // call Record() to appear in Requests().
  httplib::Server& server() { return https_->server(); }

  // Starts on an ephemeral port. False (with *error) on failure.
  bool Start(std::string* error = nullptr);
  // Releases delayed handlers, stops and joins. Idempotent.
  void Stop();

  int port() const { return https_ ? https_->port() : 0; }
  // "127.0.0.1:<port>" and "localhost:<port>", for IotRequest::host.
  std::string host() const { return "127.0.0.1:" + std::to_string(port()); }
  std::string localhostHost() const { return "localhost:" + std::to_string(port()); }
  // The CA that issued the server certificate, as PEM text and as a file.
  const std::string& caPem() const { return caPem_; }
  std::string caFile() const { return https_ ? https_->caFilePath() : std::string(); }

  void Record(const httplib::Request& request);
  std::vector<RecordedRequest> Requests() const;
  size_t RequestCount() const;
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout);

  // Ends every current and later delay at once.
  void ReleaseDelayed();

 private:
  void AddRoutes();

  std::string caPem_;
  std::unique_ptr<iotcloud::tls::LoopbackHttpsServer> https_;

  mutable std::mutex mutex_;  // guards requests_ and released_
  std::condition_variable changed_;
  std::vector<RecordedRequest> requests_;
  bool released_ = false;
};

}  // namespace iotcloud_test
