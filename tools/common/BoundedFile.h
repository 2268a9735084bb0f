// Reading a file named on a command line without trusting it: only a regular
// file, and only up to a size that fits its purpose. A device (/dev/zero)
// would otherwise be read until memory runs out and a FIFO would block for
// ever. Shared by the tools; header-only, as they link different libraries.
// Paths are UTF-8 on every system; files are read as bytes (on Windows with
// _wopen in binary mode, so no CRLF is translated and no ^Z ends the text).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>

#include <filesystem>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace iotcloud {
namespace tools {
namespace file_calls {

// The few calls ReadBoundedFile makes, in each system's spelling.
#if defined(_WIN32)
inline int Open(const std::string& path) {
  return ::_wopen(std::filesystem::u8path(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}
inline bool IsRegularFile(int fd, unsigned long long* size) {
  struct _stat64 status {};
  if (::_fstat64(fd, &status) != 0) return false;
  *size = static_cast<unsigned long long>(status.st_size);
  return (status.st_mode & _S_IFMT) == _S_IFREG;
}
inline long long Read(int fd, char* buffer, unsigned size) { return ::_read(fd, buffer, size); }
inline void Close(int fd) { ::_close(fd); }
#else
inline int Open(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); }
inline bool IsRegularFile(int fd, unsigned long long* size) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  *size = static_cast<unsigned long long>(status.st_size);
  return S_ISREG(status.st_mode);
}
inline long long Read(int fd, char* buffer, unsigned size) { return ::read(fd, buffer, size); }
inline void Close(int fd) { ::close(fd); }
#endif

}  // namespace file_calls

// Reads all of `path` into *content when it is a regular file of at most
// `maxBytes` bytes. Otherwise returns false with *error saying why, such as
// "is not a regular file" or "is larger than 8192 bytes", to follow the file
// name in a message. Opening does not block on a FIFO.
inline bool ReadBoundedFile(const std::string& path, size_t maxBytes, std::string* content, std::string* error) {
  const int fd = file_calls::Open(path);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { file_calls::Close(fd); }
  } closer{fd};
  unsigned long long size = 0;
  errno = 0;
  if (!file_calls::IsRegularFile(fd, &size)) {
    *error = errno != 0 ? std::strerror(errno) : "is not a regular file";
    return false;
  }
  const std::string tooLarge = "is larger than " + std::to_string(maxBytes) + " bytes";
  if (size > maxBytes) {
    *error = tooLarge;
    return false;
  }
  // The file may grow while it is read: never take more than maxBytes + 1.
  std::string text;
  char buffer[65536];
  while (text.size() <= maxBytes) {
    const long long n = file_calls::Read(fd, buffer, sizeof buffer);
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
