// Reading a file named on a command line without trusting it: only a regular
// file, and only up to a size that fits its purpose. A device (/dev/zero)
// would otherwise be read until memory runs out and a FIFO would block for
// ever. Shared by the tools; header-only, as they link different libraries.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace iotcloud {
namespace tools {

// Reads all of `path` into *content when it is a regular file of at most
// `maxBytes` bytes. Otherwise returns false with *error saying why, such as
// "is not a regular file" or "is larger than 8192 bytes", to follow the file
// name in a message. Opening does not block on a FIFO.
inline bool ReadBoundedFile(const std::string& path, size_t maxBytes, std::string* content, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    *error = "is not a regular file";
    return false;
  }
  const std::string tooLarge = "is larger than " + std::to_string(maxBytes) + " bytes";
  if (static_cast<unsigned long long>(status.st_size) > maxBytes) {
    *error = tooLarge;
    return false;
  }
  // The file may grow while it is read: never take more than maxBytes + 1.
  std::string text;
  char buffer[65536];
  while (text.size() <= maxBytes) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  if (text.size() > maxBytes) {
    *error = tooLarge;
    return false;
  }
  *content = std::move(text);
  return true;
}

}  // namespace tools
}  // namespace iotcloud
