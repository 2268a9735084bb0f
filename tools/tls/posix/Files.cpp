// The TLS fixtures' file and socket calls on POSIX systems.
#include "tls/Files.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace iotcloud {
namespace tls {

bool MakePrivateFolder(const std::string& dir, std::string* error) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error != nullptr) *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& text, bool secret, std::string* error) {
  const mode_t mode = secret ? 0600 : 0644;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  // The mode given to open() is filtered by the umask; the key must end up 0600
  // whatever the umask, and an existing file keeps its old mode otherwise.
  bool ok = ::fchmod(fd, mode) == 0;
  size_t written = 0;
  while (ok && written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    written += static_cast<size_t>(n);
  }
  int saved = errno;
  if (::close(fd) != 0) ok = false;
  if (!ok && error != nullptr) *error = "cannot write " + path + ": " + std::strerror(saved);
  return ok;
}

std::string MakeFreshFolder(const std::string& prefix, std::string* error) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (::mkdtemp(&pattern[0]) == nullptr) {
    if (error != nullptr) *error = "cannot create a temporary folder under " + base.string();
    return std::string();
  }
  return pattern;
}

void SetExclusiveListenOptions(socket_t socket) {
  // SO_REUSEADDR alone: TIME_WAIT connections do not block the port, a
  // listener does (SO_REUSEPORT would let two servers share it).
  const int yes = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace tls
}  // namespace iotcloud
