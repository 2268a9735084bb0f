// The tinyproxy fixture on POSIX systems.
#include "support/Tinyproxy.h"

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace iotcloud_test {

std::string Tinyproxy::Unsupported() { return ""; }

bool Tinyproxy::Installed() { return std::system("command -v tinyproxy >/dev/null 2>&1") == 0; }

bool Tinyproxy::Start(std::string* error) {
  for (int attempt = 0; attempt < 5; ++attempt)
    if (StartOnce(ClosedPort(), error)) return true;
  return false;
}

bool Tinyproxy::StartOnce(int port, std::string* error) {
  std::string text = "Port " + std::to_string(port) + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\n" +
                     "Allow 127.0.0.1\nLogLevel Connect\nLogFile \"" + dir_.File("tinyproxy.log") + "\"\n";
  for (int connectPort : config_.connectPorts) text += "ConnectPort " + std::to_string(connectPort) + "\n";
  if (!config_.user.empty()) text += "BasicAuth " + config_.user + " " + config_.password + "\n";
  std::ofstream(dir_.File("tinyproxy.conf")) << text;
  // In the foreground, its own output (start-up notices) in a file; exec, so
  // the process id is tinyproxy's.
  const std::string output = dir_.File("tinyproxy.out");
  std::string sh = "sh", c = "-c",
              line = "exec tinyproxy -d -c '" + dir_.File("tinyproxy.conf") + "' >'" + output + "' 2>&1";
  char* argv[] = {sh.data(), c.data(), line.data(), nullptr};
  if (const int spawned = posix_spawnp(&pid_, "sh", nullptr, nullptr, argv, environ); spawned != 0) {
    pid_ = -1;
    *error = "cannot start tinyproxy: " + std::string(std::strerror(spawned));
    return false;
  }
  port_ = port;
  // Ready when it accepts; gone when it could not bind (then the caller
  // tries another port).
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  for (int tries = 0; tries < 2000; ++tries) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (accepted) return true;
    if (int status = 0; ::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = "tinyproxy exited at start: " + ReadFile(output);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *error = "tinyproxy did not accept connections within 10 s: " + ReadFile(output);
  Stop();
  return false;
}

void Tinyproxy::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

size_t Tinyproxy::ConnectCount(const std::string& hostPort) const {
  std::istringstream log(ReadFile(dir_.File("tinyproxy.log")));
  size_t count = 0;
  for (std::string line; std::getline(log, line);) count += line.find("CONNECT " + hostPort + " ") != std::string::npos;
  return count;
}

}  // namespace iotcloud_test
