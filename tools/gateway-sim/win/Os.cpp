// The local gateway's system calls on Windows.
#include "gateway-sim/Os.h"

// Winsock before <windows.h>.
#include <winsock2.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace iotcloud {
namespace gateway {
namespace os {
namespace {

// What the console control handler and the waiting main thread share.
struct StopState {
  std::mutex mutex;
  std::condition_variable changed;
  const char* request = nullptr;  // the first stop request
  bool finished = false;          // the program has cleaned up
};

StopState& State() {
  static StopState* state = new StopState();  // outlives every handler call
  return *state;
}

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD event) {
  const char* name = event == CTRL_C_EVENT       ? "Ctrl+C"
                     : event == CTRL_BREAK_EVENT ? "Ctrl+Break"
                     : event == CTRL_CLOSE_EVENT ? "console close"
                                                 : "log-off or shut-down";
  StopState& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (state.request == nullptr) state.request = name;
  state.changed.notify_all();
  // After a close, log-off or shut-down event the system ends the process
  // once the handler returns: hold it until the program has cleaned up
  // (the system allows a few seconds).
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    state.changed.wait_for(lock, std::chrono::seconds(4), [&state] { return state.finished; });
  }
  return TRUE;
}

}  // namespace

void ResetConnection(int fd) {
  if (fd < 0) return;
  const SOCKET socket = static_cast<SOCKET>(fd);
  const linger abort{1, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
  shutdown(socket, SD_BOTH);
}

void IgnoreBrokenPipe() {}

// A program without a console (a service, a test harness) is stopped by
// setting the event "Local\iotcloud-stop-<process id>".
void PrepareStopRequests() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  const std::wstring name = L"Local\\iotcloud-stop-" + std::to_wstring(GetCurrentProcessId());
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  if (event == nullptr) return;
  // Lives as long as the process; it only ever waits.
  std::thread([event] {
    if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return;
    StopState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.request == nullptr) state.request = "the stop event";
    state.changed.notify_all();
  }).detach();
}

std::string WaitForStopRequest() {
  StopState& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  state.changed.wait(lock, [&state] { return state.request != nullptr; });
  return state.request;
}

void StopFinished() {
  StopState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.finished = true;
  state.changed.notify_all();
}

}  // namespace os
}  // namespace gateway
}  // namespace iotcloud
