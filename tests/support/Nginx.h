// A real web server for tests and benchmarks: Debian's nginx, started in the
// foreground (one process, no workers) on two free loopback ports from a
// configuration written into a temporary folder, and killed by its process
// id when the fixture ends.
//
// Both ports speak TLS with a certificate for "localhost" and 127.0.0.1 from
// a fresh CA (caPem()); http2Port() offers HTTP/2 and HTTP/1.1 (ALPN),
// http1Port() HTTP/1.1 only. Requests are routed by path prefix to HTTPS
// upstreams on 127.0.0.1 (verified against their CA under the name
// "localhost", over kept-alive connections), except POST or GET "/ok",
// which nginx answers itself (200 "ok"). Every request is logged with the
// serial number of its client connection and its protocol.
//
// Threads: Start and Stop on the owning thread; the rest on any.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/TestUtil.h"

namespace iotcloud_test {

class Nginx {
 public:
  struct Upstream {
    std::string prefix;  // location prefix, e.g. "/" or "/velmo/"
    int port = 0;        // HTTPS server on 127.0.0.1
    std::string caFile;  // the CA its certificate is verified against
  };
  struct Config {
    std::vector<Upstream> upstreams;
    // Idle connections kept to each upstream. Each one holds a thread of a
    // cpp-httplib server, whose pool must be larger, and whose listen
    // backlog of 5 drops connections opened in a burst: size this above the
    // largest burst so nginx opens each upstream connection once.
    int upstreamKeepalive = 512;
  };
  struct LoggedRequest {
    uint64_t connection = 0;  // nginx's serial number of the client connection
    std::string protocol;     // "HTTP/1.1", "HTTP/2.0"
    int status = 0;
  };

  explicit Nginx(Config config) : config_(std::move(config)) {}
  ~Nginx() { Stop(); }  // not copyable: owns its folder and process
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  // Whether an nginx program is there (PATH or /usr/sbin).
  static bool Installed();

  // Writes certificate and configuration, starts nginx and waits until both
  // ports accept connections. A port taken by someone else between choosing
  // and binding it makes nginx exit; then other ports are tried. False with
  // *error when it does not come up.
  bool Start(std::string* error);
  // Kills and reaps it. Idempotent.
  void Stop();

  int http2Port() const { return ports_[0]; }
  int http1Port() const { return ports_[1]; }
  std::string http2Host() const { return "127.0.0.1:" + std::to_string(ports_[0]); }
  std::string http1Host() const { return "127.0.0.1:" + std::to_string(ports_[1]); }
  const std::string& caPem() const { return caPem_; }

  // The requests logged so far, in the order nginx finished them. nginx
  // logs a request after its answer went out, so a client may have it
  // before the log does: wait with WaitForRequests.
  std::vector<LoggedRequest> Requests() const;
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;

 private:
  bool StartOnce(std::string* error);

  Config config_;
  TempDir dir_;
  std::string caPem_;
  pid_t pid_ = -1;
  int ports_[2] = {0, 0};
};

}  // namespace iotcloud_test
