// The local gateway's system calls on POSIX systems.
#include "gateway-sim/Os.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace iotcloud {
namespace gateway {
namespace os {
namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

// The socket is not closed but replaced: with a zero linger time, putting a
// fresh unconnected socket in its place (dup3) closes the connection with a
// reset, while the descriptor number stays taken until the server closes it.
void ResetConnection(int fd) {
  if (fd < 0) return;
  const linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  const int standIn = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (standIn >= 0 && dup3(standIn, fd, O_CLOEXEC) == fd) {
    close(standIn);
    return;
  }
  if (standIn >= 0) close(standIn);
  // No stand-in: end the connection without closing the descriptor (the
  // client then sees it end without an answer rather than a reset).
  shutdown(fd, SHUT_RDWR);
}

void IgnoreBrokenPipe() {
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    signal(SIGPIPE, SIG_IGN);
  }
}

// The stop signals are blocked in every thread (the gateway's threads inherit
// the mask) and collected with sigwait, so no handler runs asynchronously.
void PrepareStopRequests() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

std::string WaitForStopRequest() {
  const sigset_t signals = StopSignals();
  int received = 0;
  sigwait(&signals, &received);
  return received == SIGINT ? "SIGINT" : "SIGTERM";
}

void StopFinished() {}

}  // namespace os
}  // namespace gateway
}  // namespace iotcloud
