// The file and socket calls of the TLS fixtures that differ between operating
// systems (posix/Files.cpp, win/Files.cpp; CMake picks one). Paths are UTF-8.
#pragma once

#include <httplib.h>

#include <string>

namespace iotcloud {
namespace tls {

// Creates `dir` (only its owner may enter it) unless it exists. False with
// *error when it cannot.
bool MakePrivateFolder(const std::string& dir, std::string* error);

// Creates or replaces `path` with `text`; `secret` makes it readable by its
// owner only, from the moment it exists. False with *error on any failure.
bool WriteWholeFile(const std::string& path, const std::string& text, bool secret, std::string* error);

// A fresh folder "<prefix>XXXXXX" only its owner may enter, under the
// system's temporary folder; empty with *error when it cannot be made.
std::string MakeFreshFolder(const std::string& prefix, std::string* error);

// Socket options for a listening socket, set before it binds: it may take
// over a port whose earlier connections linger in TIME_WAIT, but never share
// a port another socket listens on (a second server on one port would
// quietly take half of the connections).
void SetExclusiveListenOptions(socket_t socket);

}  // namespace tls
}  // namespace iotcloud
