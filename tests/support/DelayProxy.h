// A TCP relay on 127.0.0.1 that makes a loopback server look far away: every
// chunk read from either side is written to the other side a fixed one-way
// delay later, in order. The TCP handshake's round trip counts too: the
// client's bytes are taken as sent no earlier than when its SYN-ACK would
// have arrived (accept + 2 x delay), so a new connection costs the round
// trip a real one costs before its first byte reaches the server.
//
// Bounded: at most Limits::maxConnections client connections at once (one
// beyond is closed as soon as it is accepted), and at most
// Limits::maxBufferedBytes held per direction of a connection (the relay
// stops reading from that side until the other side has taken some). It
// stops by itself after Limits::idleTimeout without a byte or a new
// connection, and after Limits::lifetime whatever happens, closing every
// connection and its listening socket.
//
// Threads: Start and Stop on the owning thread; the rest on any. The relay
// runs on one thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "support/TestUtil.h"

namespace iotcloud_test {

class DelayProxy {
 public:
  struct Limits {
    size_t maxConnections = 1024;
    size_t maxBufferedBytes = 1u << 20;
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
    std::chrono::milliseconds lifetime{std::chrono::minutes(30)};
  };

  DelayProxy();
  explicit DelayProxy(Limits limits);
  ~DelayProxy();  // stops
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  // Listens on an ephemeral port of 127.0.0.1 and relays each connection to
  // `targetPort` on 127.0.0.1, each way after `oneWayDelay` (a round trip
  // costs twice that). False with *error when it cannot listen or is
  // already started.
  bool Start(std::chrono::milliseconds oneWayDelay, int targetPort, std::string* error);
  // Closes every connection and joins the relay thread. Idempotent.
  void Stop();

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }  // for IotRequest::host
  // Client connections accepted and relayed so far (not those refused at the cap).
  size_t AcceptedConnections() const { return accepted_.load(); }
  // True once the relay has stopped by itself (idle or lifetime) or by Stop,
  // waiting at most `timeout`.
  bool WaitUntilStopped(std::chrono::milliseconds timeout) {
    return stopped_.WaitFor([](bool stopped) { return stopped; }, timeout);
  }

 private:
  class Relay;  // the event loop and its connections, on the relay thread

  Limits limits_;
  std::unique_ptr<Relay> relay_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<size_t> accepted_{0};
  Waitable<bool> stopped_;
};

}  // namespace iotcloud_test
