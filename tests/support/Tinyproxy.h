// A real HTTP proxy for tests: Debian's tinyproxy, started in the foreground
// on a free loopback port with a configuration written into a temporary
// folder, and killed by its process id when the fixture ends.
//
// Threads: Start and Stop on the owning thread; the rest on any.
#pragma once

#include <sys/types.h>

#include "support/TestUtil.h"

namespace iotcloud_test {

class Tinyproxy {
 public:
  struct Config {
    std::vector<int> connectPorts;  // ports CONNECT may reach (tinyproxy's default: 443 and 563 only)
    std::string user, password;     // both set: Basic authentication is required
  };

  explicit Tinyproxy(Config config) : config_(std::move(config)) {}
  ~Tinyproxy() { Stop(); }  // not copyable: owns its folder and process

  // Empty where tinyproxy can run; otherwise why not (it is a POSIX program:
  // a Windows build cannot start it).
  static std::string Unsupported();
  // Whether a tinyproxy program is on the PATH.
  static bool Installed();

  // Starts it and waits until it accepts connections. A port taken by
  // someone else between choosing and binding it makes tinyproxy exit; then
  // another port is tried. False with *error when it does not come up.
  bool Start(std::string* error);
  // Kills and reaps it. Idempotent.
  void Stop();

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // CONNECT requests for `hostPort` in its log so far (logged when the
  // request is read, before the proxy connects onwards).
  size_t ConnectCount(const std::string& hostPort) const;

 private:
  bool StartOnce(int port, std::string* error);

  Config config_;
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace iotcloud_test
