// The local gateway's calls that differ between operating systems
// (posix/Os.cpp, win/Os.cpp; CMake picks one).
#pragma once

#include <string>

namespace iotcloud {
namespace gateway {
namespace os {

// Ends the TCP connection on socket `fd` before any byte of an answer, while
// the server thread, which goes on to write its answer and close `fd`, meets
// neither the connection nor a socket another thread opened meanwhile.
// POSIX: a reset (RST). Windows, where a socket cannot be replaced in place:
// the connection is shut down (the client sees it end without an answer),
// and reset when the server closes it.
void ResetConnection(int fd);

// A write to a connection its peer closed then fails instead of ending the
// process (SIGPIPE, where that signal exists and keeps its default action).
void IgnoreBrokenPipe();

// The program's stop requests: SIGINT and SIGTERM on POSIX, the console's
// Ctrl+C, Ctrl+Break and close events on Windows, and there also the event
// "Local\iotcloud-stop-<process id>" being set (for a program without a
// console). PrepareStopRequests must be
// called before any thread starts; WaitForStopRequest blocks until one comes
// and names it; StopFinished tells a waiting console handler that the
// program has cleaned up and may end.
void PrepareStopRequests();
std::string WaitForStopRequest();
void StopFinished();

}  // namespace os
}  // namespace gateway
}  // namespace iotcloud
