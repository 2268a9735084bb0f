#include "support/Tinyproxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace iotcloud_test {

namespace {

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

bool Tinyproxy::Installed() {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && ::access((folder + "/tinyproxy").c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool Tinyproxy::Start(std::string* error) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (StartOnce(ClosedPort(), error)) return true;
  }
  return false;
}

bool Tinyproxy::StartOnce(int port, std::string* error) {
  const std::string conf = dir_.File("tinyproxy.conf");
  {
    std::ofstream out(conf);
    out << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\nAllow 127.0.0.1\n"
        << "LogLevel Connect\nLogFile \"" << dir_.File("tinyproxy.log") << "\"\n";
    for (int connectPort : config_.connectPorts) out << "ConnectPort " << connectPort << "\n";
    if (!config_.user.empty()) out << "BasicAuth " << config_.user << " " << config_.password << "\n";
    if (!out) {
      *error = "cannot write " + conf;
      return false;
    }
  }
  // Its own output (start-up notices) goes to a file, not the test's output.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = dir_.File("tinyproxy.out");
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::string program = "tinyproxy", foreground = "-d", option = "-c", confArg = conf;
  char* argv[] = {program.data(), foreground.data(), option.data(), confArg.data(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "tinyproxy", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    *error = "cannot start tinyproxy: " + std::string(std::strerror(spawned));
    return false;
  }
  pid_ = pid;
  port_ = port;
  // Ready when it accepts; gone when it could not bind (then the caller
  // tries another port).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Accepts(port)) return true;
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
  const std::string request = "CONNECT " + hostPort + " ";
  size_t count = 0;
  for (std::string line; std::getline(log, line);) count += line.find(request) != std::string::npos;
  return count;
}

}  // namespace iotcloud_test
