// An HTTPS server on the loopback interface, run on its own thread.
//
// Usage: construct from a certificate and key file, add routes through
// server(), then Start(). Stop() (or the destructor) stops the listener and
// joins its thread. Start and Stop are called by the owning thread only;
// port() may be read from any thread once Start has returned.
//
// The server is tuned for tests and benchmarks that open many kept-alive
// connections: TCP_NODELAY on (otherwise every response waits for a delayed
// ACK), a worker pool large enough for hundreds of connections (each kept-alive
// connection holds one worker), and a high keep-alive request count.
#pragma once

#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tls/TlsMaterial.h"

namespace iotcloud {
namespace tls {

class LoopbackHttpsServer {
 public:
  // Workers serving connections; each kept-alive connection occupies one.
  static constexpr size_t kDefaultWorkers = 512;

  LoopbackHttpsServer(const std::string& certPath, const std::string& keyPath, size_t workers = kDefaultWorkers);
  ~LoopbackHttpsServer();
  LoopbackHttpsServer(const LoopbackHttpsServer&) = delete;
  LoopbackHttpsServer& operator=(const LoopbackHttpsServer&) = delete;

  // The underlying server, to add routes and handlers before Start().
  httplib::Server& server() { return *server_; }

  // False when the certificate or key could not be loaded.
  bool valid() const { return server_->is_valid(); }

  // Binds `host` (use "127.0.0.1") on `port` (0: an ephemeral port), starts
  // serving on a new thread and returns once the server accepts requests.
  // Returns false with *error when the server is invalid, already started, or
  // cannot bind.
  bool Start(const std::string& host, int port, std::string* error);

  // Stops serving and joins the thread. Idempotent.
  void Stop();

  // The bound port; 0 before a successful Start.
  int port() const { return port_; }

  // Generates fresh material, writes it into a new directory under the
  // system's temporary directory and constructs a server from it (not
  // started, so the caller can add routes first). *caPemOut receives the CA
  // certificate clients must trust; caFilePath() names the file holding it.
  // Returns null with *error on failure. The directory is removed when the
  // server is destroyed.
  static std::unique_ptr<LoopbackHttpsServer> CreateWithFreshTls(std::string* caPemOut, std::string* error,
                                                                 size_t workers = kDefaultWorkers);

  // Convenience: CreateWithFreshTls followed by Start on 127.0.0.1 with an
  // ephemeral port, for servers that need no routes before starting.
  static std::unique_ptr<LoopbackHttpsServer> StartWithFreshTls(std::string* caPemOut, std::string* error,
                                                                size_t workers = kDefaultWorkers);

  // The CA file written by CreateWithFreshTls; empty otherwise.
  const std::string& caFilePath() const { return caFilePath_; }

 private:
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  std::atomic<bool> listenDone_{false};  // set by thread_ when the accept loop returns
  int port_ = 0;
  std::string ownedDir_;  // removed on destruction when not empty
  std::string caFilePath_;
};

}  // namespace tls
}  // namespace iotcloud
