#include "tls/LoopbackHttpsServer.h"

#include "tls/Files.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace iotcloud {
namespace tls {

LoopbackHttpsServer::LoopbackHttpsServer(const std::string& certPath, const std::string& keyPath, size_t workers)
    : server_(std::make_unique<httplib::SSLServer>(certPath.c_str(), keyPath.c_str())) {
  server_->set_tcp_nodelay(true);
  server_->set_socket_options(SetExclusiveListenOptions);
  server_->set_keep_alive_max_count(100000);
  server_->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
}

LoopbackHttpsServer::~LoopbackHttpsServer() {
  Stop();
  if (!ownedDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(ownedDir_, ignored);
  }
}

bool LoopbackHttpsServer::Start(const std::string& host, int port, std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (!server_->is_valid()) return fail("server certificate or key could not be loaded");
  if (thread_.joinable()) return fail("server already started");
  if (port == 0) {
    int bound = server_->bind_to_any_port(host);
    if (bound <= 0) return fail("cannot bind " + host);
    port_ = bound;
  } else {
    if (!server_->bind_to_port(host, port)) return fail("cannot bind " + host + ":" + std::to_string(port));
    port_ = port;
  }
  listenDone_.store(false);
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listenDone_.store(true);
  });
  // The socket already queues connections; waiting for the accept loop to
  // run matters for Stop(), which does nothing to a server not yet running.
  // This cpp-httplib offers no notification, so poll its flag briefly.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running()) {
    if (listenDone_.load() || std::chrono::steady_clock::now() > deadline) {
      Stop();
      return fail("server thread did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void LoopbackHttpsServer::Stop() {
  if (!thread_.joinable()) return;
  // stop() only acts on a running server, and the accept loop may not have
  // set its flag yet when Start gave up: wait for the flag (or for the loop
  // to have ended by itself), then stop once.
  while (!listenDone_.load()) {
    if (server_->is_running()) {
      server_->stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  thread_.join();
}

std::unique_ptr<LoopbackHttpsServer> LoopbackHttpsServer::CreateWithFreshTls(std::string* caPemOut, std::string* error,
                                                                             size_t workers) {
  TlsMaterial material;
  if (!GenerateTlsMaterial(&material, error)) return nullptr;
  const std::string dir = MakeTemporaryFolder("iotcloud-tls-", error);
  if (dir.empty()) return nullptr;
  if (!WriteTlsMaterial(material, dir, error)) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return nullptr;
  }
  auto server = std::make_unique<LoopbackHttpsServer>(dir + "/server.pem", dir + "/server.key", workers);
  server->ownedDir_ = dir;
  server->caFilePath_ = dir + "/ca.pem";
  if (!server->valid()) {
    if (error != nullptr) *error = "server rejected the generated certificate";
    return nullptr;
  }
  if (caPemOut != nullptr) *caPemOut = material.caCertPem;
  return server;
}

std::unique_ptr<LoopbackHttpsServer> LoopbackHttpsServer::StartWithFreshTls(std::string* caPemOut, std::string* error,
                                                                            size_t workers) {
  auto server = CreateWithFreshTls(caPemOut, error, workers);
  if (!server || !server->Start("127.0.0.1", 0, error)) return nullptr;
  return server;
}

}  // namespace tls
}  // namespace iotcloud
