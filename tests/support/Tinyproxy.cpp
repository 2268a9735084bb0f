#include "support/Tinyproxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

extern char** environ;

namespace iotcloud_test {

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
  // Its own output (start-up notices) goes to a file, not the test's output.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = dir_.File("tinyproxy.out");
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::string program = "tinyproxy", foreground = "-d", option = "-c", conf = dir_.File("tinyproxy.conf");
  char* argv[] = {program.data(), foreground.data(), option.data(), conf.data(), nullptr};
  const int spawned = posix_spawnp(&pid_, "tinyproxy", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    *error = "cannot start tinyproxy: " + std::string(std::strerror(spawned));
    return false;
  }
  port_ = port;
  // Ready when it accepts; gone when it could not bind (then the caller
  // tries another port).
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (accepted) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
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
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

size_t Tinyproxy::ConnectCount(const std::string& hostPort) const {
  std::istringstream log(ReadFile(dir_.File("tinyproxy.log")));
  size_t count = 0;
  for (std::string line; std::getline(log, line);) count += line.find("CONNECT " + hostPort + " ") != std::string::npos;
  return count;
}

}  // namespace iotcloud_test
