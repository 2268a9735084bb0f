#include "support/Nginx.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "tls/TlsMaterial.h"

extern char** environ;

namespace iotcloud_test {

namespace {

constexpr char kSystemNginx[] = "/usr/sbin/nginx";

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

}  // namespace

bool Nginx::Installed() {
  return ::access(kSystemNginx, X_OK) == 0 || std::system("command -v nginx >/dev/null 2>&1") == 0;
}

bool Nginx::Start(std::string* error) {
  iotcloud::tls::TlsMaterial material;
  if (!iotcloud::tls::GenerateTlsMaterial(&material, error) ||
      !iotcloud::tls::WriteTlsMaterial(material, dir_.File("tls"), error))
    return false;
  caPem_ = material.caCertPem;
  for (int attempt = 0; attempt < 5; ++attempt)
    if (StartOnce(error)) return true;
  return false;
}

bool Nginx::StartOnce(std::string* error) {
  ports_[0] = ClosedPort();
  ports_[1] = ClosedPort();
  const std::string dir = dir_.File("");
  // One process (no master, no workers), in the foreground; every path in
  // the folder, none of the system's.
  std::string text = "daemon off;\nmaster_process off;\npid " + dir + "nginx.pid;\nworker_rlimit_nofile 16384;\n" +
                     "events { worker_connections 8192; }\nhttp {\n" +
                     "  log_format requests '$connection $server_protocol $status';\n" + "  access_log " + dir +
                     "access.log requests;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    text += "  " + std::string(temp) + "_temp_path " + dir + temp + ";\n";
  // Clients keep their connections for as many requests as a benchmark
  // makes, with as many HTTP/2 streams at once as it starts.
  text += "  keepalive_requests 1000000;\n  http2_max_concurrent_streams 1024;\n";
  for (size_t i = 0; i < config_.upstreams.size(); ++i) {
    // Closed before the upstream's own keep-alive time-out (cpp-httplib: 5 s)
    // can close it under a request.
    text += "  upstream u" + std::to_string(i) + " { server 127.0.0.1:" + std::to_string(config_.upstreams[i].port) +
            "; keepalive " + std::to_string(config_.upstreamKeepalive) +
            "; keepalive_requests 1000000; keepalive_timeout 4s; }\n";
  }
  text += "  server {\n    listen 127.0.0.1:" + std::to_string(ports_[0]) + " ssl http2 backlog=4096;\n" +
          "    listen 127.0.0.1:" + std::to_string(ports_[1]) + " ssl backlog=4096;\n" +  //
          // nginx 1.22 leaves TLS 1.3 out unless asked: 1.2 costs a round trip more.
          "    ssl_protocols TLSv1.2 TLSv1.3;\n" +  //
          "    ssl_certificate " + dir + "tls/server.pem;\n    ssl_certificate_key " + dir + "tls/server.key;\n" +
          "    location = /ok { return 200 \"ok\\n\"; }\n";
  for (size_t i = 0; i < config_.upstreams.size(); ++i) {
    text += "    location " + config_.upstreams[i].prefix + " {\n      proxy_pass https://u" + std::to_string(i) +
            ";\n      proxy_http_version 1.1;\n      proxy_set_header Connection \"\";\n" +
            "      proxy_ssl_verify on;\n      proxy_ssl_name localhost;\n" + "      proxy_ssl_trusted_certificate " +
            config_.upstreams[i].caFile + ";\n    }\n";
  }
  text += "  }\n}\n";
  std::ofstream(dir_.File("nginx.conf")) << text;

  const std::string program = ::access(kSystemNginx, X_OK) == 0 ? kSystemNginx : "nginx";
  const std::string output = dir_.File("nginx.out");
  std::string prefix = dir, conf = dir_.File("nginx.conf"), errorLog = dir_.File("error.log");
  std::string name = "nginx", p = "-p", c = "-c", e = "-e";
  char* argv[] = {name.data(), p.data(), prefix.data(), c.data(), conf.data(), e.data(), errorLog.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int spawned = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    *error = "cannot start nginx: " + std::string(std::strerror(spawned));
    return false;
  }
  // Ready when both ports accept; gone when it could not bind (then the
  // caller tries other ports) or did not like its configuration.
  for (int tries = 0; tries < 2000; ++tries) {
    if (Accepts(ports_[0]) && Accepts(ports_[1])) return true;
    if (int status = 0; ::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = "nginx exited at start: " + ReadFile(errorLog) + ReadFile(output);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *error = "nginx did not accept connections within 10 s: " + ReadFile(errorLog);
  Stop();
  return false;
}

void Nginx::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);  // one process: nothing is left behind
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::vector<Nginx::LoggedRequest> Nginx::Requests() const {
  std::istringstream log(ReadFile(dir_.File("access.log")));
  std::vector<LoggedRequest> requests;
  for (LoggedRequest r; log >> r.connection >> r.protocol >> r.status;) requests.push_back(r);
  return requests;
}

bool Nginx::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Requests().size() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace iotcloud_test
