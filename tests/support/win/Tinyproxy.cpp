// The tinyproxy fixture on Windows: tinyproxy is a POSIX program, so there
// is none to start, and the tests that need it skip saying so.
#include "support/Tinyproxy.h"

namespace iotcloud_test {

std::string Tinyproxy::Unsupported() { return "tinyproxy is a POSIX program: a Windows build cannot start it"; }

bool Tinyproxy::Installed() { return false; }

bool Tinyproxy::Start(std::string* error) {
  *error = Unsupported();
  return false;
}

void Tinyproxy::Stop() {}

size_t Tinyproxy::ConnectCount(const std::string& /*hostPort*/) const { return 0; }

}  // namespace iotcloud_test
