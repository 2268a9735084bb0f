// Test helpers on POSIX systems.
#include "support/System.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace iotcloud_test {

int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

LoopbackSocket::LoopbackSocket(bool listening) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return;
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  handle_ = fd;
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && (!listening || ::listen(fd, 4) == 0))
    port_ = ntohs(address.sin_port);
}

LoopbackSocket::~LoopbackSocket() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
}

LoopbackSocket::Connection LoopbackSocket::Accept(std::chrono::milliseconds limit) {
  pollfd ready{static_cast<int>(handle_), POLLIN, 0};
  if (!ok() || ::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return Connection();
  const int fd = ::accept(static_cast<int>(handle_), nullptr, nullptr);
  if (fd < 0) return Connection();
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
  timeval receiveLimit{static_cast<time_t>(seconds.count()),
                       static_cast<suseconds_t>(std::chrono::microseconds(limit - seconds).count())};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveLimit, sizeof receiveLimit);
  return Connection(fd);
}

LoopbackSocket::Connection::~Connection() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
}

size_t LoopbackSocket::Connection::Receive(char* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(handle_), buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool LoopbackSocket::Connection::Send(const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(static_cast<int>(handle_), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool MakeFifo(const std::string& path, std::string* why) {
  if (::mkfifo(path.c_str(), 0600) == 0) return true;
  *why = "mkfifo " + path + ": " + std::strerror(errno);
  return false;
}

std::string DeviceFile() { return "/dev/zero"; }

SmallFileSystem::SmallFileSystem(const std::string& dir, size_t bytes) : dir_(dir) {
  const std::string options = "size=" + std::to_string(bytes);
  mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
  if (!mounted_) why_ = std::string("cannot mount a small file system here (needs root): ") + std::strerror(errno);
}

SmallFileSystem::~SmallFileSystem() {
  if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
}

namespace {
void SetVariable(const std::string& name, bool set, const std::string& value) {
  if (set) {
    ::setenv(name.c_str(), value.c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}
}  // namespace

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const std::string& name, const std::string& value) : name_(name) {
  const char* previous = std::getenv(name.c_str());
  hadValue_ = previous != nullptr;
  if (hadValue_) previous_ = previous;
  SetVariable(name_, !value.empty(), value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() { SetVariable(name_, hadValue_, previous_); }

std::string UserCacheVariable() { return "XDG_CACHE_HOME"; }

ScopedSystemRoot::ScopedSystemRoot(const std::string& /*caPem*/) {
  why_ = "the system's roots are the files libcurl names, which a test does not change";
}

ScopedSystemRoot::~ScopedSystemRoot() = default;

std::string ThisProgram() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error).string();
}

std::string ExitStatus::Describe() const {
  if (killed) return "killed";
  return exited ? "exit code " + std::to_string(code) : "ended abnormally";
}

ChildProcess::~ChildProcess() {
  if (handle_ != 0) {
    Kill();
    Wait();
  }
  if (output_ != 0) ::close(static_cast<int>(output_));
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stderrFile, const std::vector<std::string>& environment) {
  if (handle_ != 0) return false;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, stderrFile.empty() ? "/dev/null" : stderrFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> strings = {program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentStrings(environment);
  for (char** e = environ; *e != nullptr; ++e) environmentStrings.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& s : environmentStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    return false;
  }
  handle_ = pid;
  processId_ = static_cast<unsigned long>(pid);
  output_ = pipeFds[0];
  killed_ = false;
  return true;
}

bool ChildProcess::ReadSome(std::string* out) {
  if (output_ == 0) return false;
  char buffer[4096];
  ssize_t n;
  do {
    n = ::read(static_cast<int>(output_), buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  out->append(buffer, static_cast<size_t>(n));
  return true;
}

bool ChildProcess::ReadUntil(const std::string& text, std::string* out) {
  while (out->find(text) == std::string::npos) {
    if (!ReadSome(out)) return false;
  }
  return true;
}

bool ChildProcess::ReadExactly(size_t count, std::string* out) {
  std::string read;
  while (read.size() < count) {
    char byte;
    ssize_t n = ::read(static_cast<int>(output_), &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    read.push_back(byte);
  }
  out->append(read);
  return read.size() == count;
}

std::string ChildProcess::ReadAll() {
  std::string out;
  while (ReadSome(&out)) {
  }
  return out;
}

void ChildProcess::Interrupt() {
  if (handle_ != 0) ::kill(static_cast<pid_t>(processId_), SIGTERM);
}

void ChildProcess::Kill() {
  if (handle_ == 0) return;
  ::kill(static_cast<pid_t>(processId_), SIGKILL);
  killed_ = true;
}

ExitStatus ChildProcess::Wait() {
  ExitStatus status;
  if (handle_ == 0) return status;
  int raw = 0;
  while (::waitpid(static_cast<pid_t>(handle_), &raw, 0) < 0 && errno == EINTR) {
  }
  handle_ = 0;
  status.exited = WIFEXITED(raw);
  status.code = status.exited ? WEXITSTATUS(raw) : -1;
  status.killed = WIFSIGNALED(raw) && WTERMSIG(raw) == SIGKILL && killed_;
  return status;
}

ExitStatus RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& stderrFile,
                      std::string* output) {
  ChildProcess child;
  if (!child.Start(program, args, stderrFile)) return ExitStatus();
  const std::string printed = child.ReadAll();
  if (output != nullptr) *output = printed;
  return child.Wait();
}

namespace {
// `text` single-quoted for the shell.
std::string Quoted(std::string text) {
  for (size_t at = 0; (at = text.find('\'', at)) != std::string::npos; at += 4) text.replace(at, 1, "'\\''");
  return "'" + text + "'";
}
}  // namespace

ShellRun RunInShell(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& unset, const std::vector<std::string>& environment,
                    const std::string& outFile, const std::string& errFile) {
  std::string command = "env";
  for (const std::string& name : unset) command += " -u " + name;
  for (const std::string& entry : environment) command += " " + Quoted(entry);
  command += " " + Quoted(program);
  for (const std::string& arg : args) command += " " + Quoted(arg);
  const int status = std::system((command + " </dev/null >" + Quoted(outFile) + " 2>" + Quoted(errFile)).c_str());
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(outFile), read(errFile)};
}

std::string WhyShellCannotPass(const std::string& /*argument*/) { return ""; }

std::string WhyNoPosixTools() { return ""; }

// Root may write into any folder, so as root the folder is a mount.
ReadOnlyFolder::ReadOnlyFolder(const std::string& dir) : dir_(dir) {
  if (::mkdir(dir.c_str(), 0700) != 0) {
    why_ = "mkdir " + dir + ": " + std::strerror(errno);
  } else if (::geteuid() == 0) {
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0;
    if (!mounted_) why_ = "running as root without the right to mount a read-only file system";
  }
}

ReadOnlyFolder::~ReadOnlyFolder() { mounted_ ? ::umount2(dir_.c_str(), MNT_DETACH) : ::chmod(dir_.c_str(), 0700); }

bool ReadOnlyFolder::Seal() {
  return (mounted_ ? ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr)
                   : ::chmod(dir_.c_str(), 0500)) == 0;
}

long AddressSpaceKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
  return -1L;
}

}  // namespace iotcloud_test
