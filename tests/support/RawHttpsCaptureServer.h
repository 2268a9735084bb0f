// A minimal HTTPS server on 127.0.0.1 that records each request's head
// exactly as it crossed the wire (request line and header lines in arrival
// order, byte for byte) and its body, then answers 200 "ok" and closes the
// connection. One connection at a time, on its own thread; enough for tests
// that check what a client sends, not for load.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tls/TlsMaterial.h"

namespace iotcloud_test {

struct CapturedRequest {
  std::string requestLine;               // e.g. "POST /path HTTP/1.1"
  std::vector<std::string> headerLines;  // in arrival order, without CRLF
  std::string body;                      // Content-Length bytes
};

class RawHttpsCaptureServer {
 public:
  RawHttpsCaptureServer() = default;
  ~RawHttpsCaptureServer();
  RawHttpsCaptureServer(const RawHttpsCaptureServer&) = delete;
  RawHttpsCaptureServer& operator=(const RawHttpsCaptureServer&) = delete;

  // Serves with the given server certificate and key on an ephemeral port.
  bool Start(const iotcloud::tls::TlsMaterial& material, std::string* error);
  void Stop();
  int port() const { return port_; }

  std::vector<CapturedRequest> Captures() const;
  bool WaitForCaptures(size_t count, std::chrono::milliseconds timeout);

 private:
  void Serve();
  void HandleConnection(int fd);

  void* ctx_ = nullptr;  // SSL_CTX*
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;

  mutable std::mutex mutex_;  // guards captures_
  std::condition_variable changed_;
  std::vector<CapturedRequest> captures_;
};

}  // namespace iotcloud_test
