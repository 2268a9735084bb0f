// The TLS fixtures' file and socket calls on Windows.
#include "tls/Files.h"

#include <winsock2.h>

#include <openssl/rand.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace iotcloud {
namespace tls {
namespace {

namespace fs = std::filesystem;

fs::path FsPath(const std::string& utf8) { return fs::u8path(utf8); }

}  // namespace

bool MakePrivateFolder(const std::string& dir, std::string* error) {
  // A folder under the user's profile (the temporary folder among them)
  // inherits an access list that admits only that user and the system.
  std::error_code ec;
  fs::create_directory(FsPath(dir), ec);
  if (ec) {
    if (error != nullptr) *error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& text, bool /*secret*/, std::string* error) {
  // Access to a secret follows from its folder's access list (see above).
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  if (!out) {
    if (error != nullptr) *error = "cannot create " + path;
    return false;
  }
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) {
    if (error != nullptr) *error = "cannot write " + path;
    return false;
  }
  return true;
}

std::string MakeFreshFolder(const std::string& prefix, std::string* error) {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) {
    if (error != nullptr) *error = "no temporary folder: " + ec.message();
    return std::string();
  }
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6];
    if (RAND_bytes(random, sizeof random) != 1) break;
    std::string name = prefix;
    for (const unsigned char r : random) name += kAlphabet[r % 36];
    const fs::path candidate = base / fs::u8path(name);
    if (fs::create_directory(candidate, ec)) return candidate.u8string();
    if (ec) break;  // not merely taken
  }
  if (error != nullptr) *error = "cannot create a temporary folder under " + base.u8string();
  return std::string();
}

void SetExclusiveListenOptions(socket_t socket) {
  // Windows lets a socket with SO_REUSEADDR take a port another one listens
  // on; SO_EXCLUSIVEADDRUSE refuses that, and TIME_WAIT does not block it.
  const BOOL yes = TRUE;
  ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
}

}  // namespace tls
}  // namespace iotcloud
