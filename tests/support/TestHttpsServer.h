// An in-process HTTPS server on 127.0.0.1 for tests and benchmarks, with a CA
// and server certificate generated when it is made. Behaviours, by path (all
// POST); every request is counted before it is answered:
//
//   /echo                 200, body = the request body, same Content-Type
//   /delay/<ms>           waits <ms> (cut short by Stop), then 200 "delayed"
//   /empty                200 with an empty body
//   /huge/<bytes>         200 with a body of <bytes> bytes of 'x'
//
// Threads: construction, Start and Stop on the owning thread; the rest on any.
#pragma once

#include "support/TestUtil.h"
#include "tls/LoopbackHttpsServer.h"

namespace iotcloud_test {

class TestHttpsServer {
 public:
  // `workers` bounds the connections served at once (each kept-alive
  // connection holds one); tests open a few, benchmarks pass more.
  explicit TestHttpsServer(size_t workers = 32);
  ~TestHttpsServer() { Stop(); }

  // Starts on an ephemeral port. False on failure (with *error when the server could be made).
  bool Start(std::string* error = nullptr);
  // Ends every delay, stops and joins. Idempotent.
  void Stop();

  int port() const { return https_ ? https_->port() : 0; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port()); }  // for IotRequest::host
  // The CA that issued the server certificate, as PEM text and as a file.
  const std::string& caPem() const { return caPem_; }
  std::string caFile() const { return https_ ? https_->caFilePath() : std::string(); }

  size_t RequestCount() const { return state_.Get().requests; }
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    return state_.WaitFor([count](const State& s) { return s.requests >= count; }, timeout);
  }

 private:
  struct State {
    size_t requests = 0;
    bool stopping = false;
  };
  std::string caPem_;
  std::unique_ptr<iotcloud::tls::LoopbackHttpsServer> https_;
  Waitable<State> state_;
};

}  // namespace iotcloud_test
