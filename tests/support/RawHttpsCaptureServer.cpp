#include "support/RawHttpsCaptureServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

namespace iotcloud_test {
namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

SSL_CTX* MakeContext(const iotcloud::tls::TlsMaterial& material) {
  std::unique_ptr<BIO, BioFree> certBio(
      BIO_new_mem_buf(material.serverCertPem.data(), static_cast<int>(material.serverCertPem.size())));
  std::unique_ptr<BIO, BioFree> keyBio(
      BIO_new_mem_buf(material.serverKeyPem.data(), static_cast<int>(material.serverKeyPem.size())));
  if (!certBio || !keyBio) return nullptr;
  std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!cert || !key || ctx == nullptr || SSL_CTX_use_certificate(ctx, cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

RawHttpsCaptureServer::~RawHttpsCaptureServer() { Stop(); }

bool RawHttpsCaptureServer::Start(const iotcloud::tls::TlsMaterial& material, std::string* error) {
  auto fail = [&](const char* what) {
    if (error != nullptr) *error = what;
    Stop();
    return false;
  };
  ctx_ = MakeContext(material);
  if (ctx_ == nullptr) return fail("TLS context");
  if (::pipe(stopPipe_) != 0) return fail("pipe");
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail("bind/listen");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void RawHttpsCaptureServer::Stop() {
  if (thread_.joinable()) {
    char byte = 0;
    (void)!::write(stopPipe_[1], &byte, 1);
    thread_.join();
  }
  for (int* fd : {&listenFd_, &stopPipe_[0], &stopPipe_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
  ctx_ = nullptr;
}

std::vector<CapturedRequest> RawHttpsCaptureServer::Captures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return captures_;
}

bool RawHttpsCaptureServer::WaitForCaptures(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return captures_.size() >= count; });
}

void RawHttpsCaptureServer::Serve() {
  while (true) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // A client that stalls must not hang the test: bound every read and write.
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    HandleConnection(fd);
    ::close(fd);
  }
}

void RawHttpsCaptureServer::HandleConnection(int fd) {
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(static_cast<SSL_CTX*>(ctx_)));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) return;

  std::string data;
  char buffer[4096];
  size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    int n = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (n <= 0 || data.size() > (1u << 20)) return;
    data.append(buffer, static_cast<size_t>(n));
  }
  CapturedRequest captured;
  size_t contentLength = 0;
  size_t start = 0;
  bool first = true;
  while (start < headEnd) {
    size_t end = data.find("\r\n", start);
    std::string line = data.substr(start, end - start);
    start = end + 2;
    if (first) {
      captured.requestLine = line;
      first = false;
      continue;
    }
    if (Lower(line).rfind("content-length:", 0) == 0) {
      contentLength = std::strtoull(line.c_str() + 15, nullptr, 10);
    }
    captured.headerLines.push_back(line);
  }
  captured.body = data.substr(headEnd + 4);
  while (captured.body.size() < contentLength) {
    int n = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    captured.body.append(buffer, static_cast<size_t>(n));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    captures_.push_back(std::move(captured));
  }
  changed_.notify_all();
  static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  SSL_write(ssl.get(), kAnswer, sizeof kAnswer - 1);
  SSL_shutdown(ssl.get());
}

}  // namespace iotcloud_test
