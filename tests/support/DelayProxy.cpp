#include "support/DelayProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <functional>
#include <queue>
#include <unordered_map>
#include <vector>

namespace iotcloud_test {

namespace {

using Clock = std::chrono::steady_clock;

// epoll tags: a connection's sockets carry (id << 1) | side, ids from 1.
constexpr uint64_t kListenTag = ~uint64_t{0};
constexpr uint64_t kWakeTag = ~uint64_t{0} - 1;
constexpr size_t kReadBytes = 64 * 1024;

}  // namespace

class DelayProxy::Relay {
 public:
  Relay(const Limits& limits, std::chrono::milliseconds delay, std::atomic<size_t>* accepted)
      : limits_(limits), delay_(delay), accepted_(accepted) {}
  ~Relay() {
    CloseAll();
    for (int fd : {wake_, epoll_})
      if (fd >= 0) ::close(fd);
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  bool Listen(int targetPort, int* port, std::string* error) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (epoll_ < 0 || wake_ < 0 || listen_ < 0 ||
        ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, SOMAXCONN) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || !Watch(listen_, kListenTag) ||
        !Watch(wake_, kWakeTag)) {
      *error = std::string("delay proxy cannot listen: ") + std::strerror(errno);
      return false;
    }
    *port = ntohs(address.sin_port);
    target_ = sockaddr_in{AF_INET, htons(static_cast<uint16_t>(targetPort)), {htonl(INADDR_LOOPBACK)}, {}};
    return true;
  }

  // Relays until RequestStop, the idle time-out or the end of its lifetime,
  // then closes every socket.
  void Run() {
    const Clock::time_point endOfLife = Clock::now() + limits_.lifetime;
    lastActivity_ = Clock::now();
    epoll_event events[128];
    while (!stop_.load()) {
      const Clock::time_point now = Clock::now();
      Clock::time_point wakeAt = std::min(endOfLife, lastActivity_ + limits_.idleTimeout);
      if (now >= wakeAt) break;
      if (!due_.empty()) wakeAt = std::min(wakeAt, due_.top().at);
      const int n = Wait(events, 128, wakeAt - now);
      if (n < 0 && errno != EINTR) break;
      for (int i = 0; i < n; ++i) Dispatch(events[i].data.u64, events[i].events);
      ReleaseDue();
    }
    CloseAll();
  }

  void RequestStop() {
    stop_.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  }

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
    size_t sent = 0;
  };
  // One way through a connection: read from one side, written to the other.
  struct Way {
    std::deque<Chunk> chunks;
    size_t buffered = 0;  // bytes read and not yet written
    bool ended = false;   // the source sent its FIN ...
    Clock::time_point endDue{};
    bool endForwarded = false;  // ... and the destination has had it
  };
  struct Connection {
    int fd[2] = {-1, -1};  // 0: the client, 1: the target
    bool connected = false;
    Clock::time_point clientSendsFrom{};  // the client's bytes count as sent from then on
    Way way[2];                           // way[s] reads fd[s] and writes fd[1 - s]
    uint32_t interest[2] = {0, 0};
    bool watched[2] = {false, false};
  };
  struct Due {
    Clock::time_point at;
    uint64_t id;
    int way;
    bool operator>(const Due& other) const { return at > other.at; }
  };

  // epoll_wait to the nanosecond where the kernel has epoll_pwait2, else
  // to the millisecond, rounded up: a chunk is never written before it is due.
  int Wait(epoll_event* events, int capacity, Clock::duration wait) {
    wait = std::max(wait, Clock::duration::zero());
    if (precise_) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      const timespec limit{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      const int n = ::epoll_pwait2(epoll_, events, capacity, &limit, nullptr);
      if (n >= 0 || errno != ENOSYS) return n;
      precise_ = false;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    return ::epoll_wait(epoll_, events, capacity, static_cast<int>(std::clamp<int64_t>(ms, 0, INT_MAX)));
  }

  bool Watch(int fd, uint64_t tag, uint32_t events = EPOLLIN) {
    epoll_event event{events, {}};
    event.data.u64 = tag;
    return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
  }

  void Dispatch(uint64_t tag, uint32_t events) {
    if (tag == kListenTag) return AcceptAll();
    if (tag == kWakeTag) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t read = ::read(wake_, &count, sizeof count);
      return;
    }
    const uint64_t id = tag >> 1;
    const int side = static_cast<int>(tag & 1);
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection& c = it->second;
    if (events & EPOLLERR) return Close(id);
    if (side == 1 && !c.connected) {
      int failure = 0;
      socklen_t length = sizeof failure;
      ::getsockopt(c.fd[1], SOL_SOCKET, SO_ERROR, &failure, &length);
      if (failure != 0 || (events & EPOLLHUP)) return Close(id);
      c.connected = true;
    }
    const bool endedBefore = c.way[side].ended;
    if ((events & (EPOLLIN | EPOLLHUP)) && !Read(id, c, side)) return;
    // Hung up after its FIN was read: gone, unless its way in is finished too.
    if ((events & EPOLLHUP) && endedBefore && !c.way[1 - side].endForwarded) return Close(id);
    if (Forward(id, c, 1 - side)) Update(id, c);
  }

  void AcceptAll() {
    for (;;) {
      const int client = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR) continue;
        return;
      }
      lastActivity_ = Clock::now();
      const int target = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      const bool started =
          connections_.size() < limits_.maxConnections && target >= 0 &&
          (::connect(target, reinterpret_cast<const sockaddr*>(&target_), sizeof target_) == 0 || errno == EINPROGRESS);
      if (!started) {
        ::close(client);
        if (target >= 0) ::close(target);
        continue;
      }
      const int one = 1;
      ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::setsockopt(target, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const uint64_t id = nextId_++;
      Connection& c = connections_[id];
      c.fd[0] = client;
      c.fd[1] = target;
      c.clientSendsFrom = lastActivity_ + 2 * delay_;
      accepted_->fetch_add(1);
      Update(id, c);
    }
  }

  // When a chunk read now from `side` is to be written.
  Clock::time_point DueFor(const Connection& c, int side) const {
    const Clock::time_point now = Clock::now();
    return (side == 0 ? std::max(now, c.clientSendsFrom) : now) + delay_;
  }

  // Reads what `side` has sent, up to the buffer limit. False when the
  // connection was closed.
  bool Read(uint64_t id, Connection& c, int side) {
    Way& way = c.way[side];
    while (!way.ended && way.buffered < limits_.maxBufferedBytes) {
      const ssize_t n = ::recv(c.fd[side], buffer_, std::min(kReadBytes, limits_.maxBufferedBytes - way.buffered), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n < 0) {
        Close(id);
        return false;
      }
      lastActivity_ = Clock::now();
      const Clock::time_point due = DueFor(c, side);
      due_.push({due, id, side});
      if (n == 0) {
        way.ended = true;
        way.endDue = due;
      } else {
        way.chunks.push_back({due, std::string(buffer_, static_cast<size_t>(n))});
        way.buffered += static_cast<size_t>(n);
      }
    }
    return true;
  }

  // Writes what is due on `wayIndex`, then its FIN when that is due. False
  // when the connection was closed (failed, or both ways are finished).
  bool Forward(uint64_t id, Connection& c, int wayIndex) {
    Way& way = c.way[wayIndex];
    const int to = c.fd[1 - wayIndex];
    if (wayIndex == 0 && !c.connected) return true;
    const Clock::time_point now = Clock::now();
    while (!way.chunks.empty() && way.chunks.front().due <= now) {
      Chunk& chunk = way.chunks.front();
      const ssize_t n = ::send(to, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n < 0) {
        Close(id);
        return false;
      }
      lastActivity_ = now;
      chunk.sent += static_cast<size_t>(n);
      way.buffered -= static_cast<size_t>(n);
      if (chunk.sent == chunk.bytes.size()) way.chunks.pop_front();
    }
    if (way.chunks.empty() && way.ended && !way.endForwarded && way.endDue <= now) {
      ::shutdown(to, SHUT_WR);
      way.endForwarded = true;
      if (c.way[1 - wayIndex].endForwarded) {
        Close(id);
        return false;
      }
    }
    return true;
  }

  // Brings both sockets' epoll interest in line with the connection's state.
  void Update(uint64_t id, Connection& c) {
    const Clock::time_point now = Clock::now();
    for (int side = 0; side < 2; ++side) {
      const Way& in = c.way[side];
      const Way& out = c.way[1 - side];
      if (in.ended && out.endForwarded) {
        // Nothing more to read from it or write to it; it would only report hang-ups.
        if (c.watched[side]) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd[side], nullptr);
        c.watched[side] = false;
        continue;
      }
      uint32_t want = 0;
      if (side == 1 && !c.connected) {
        want = EPOLLOUT;  // the connect's completion
      } else {
        if (!in.ended && in.buffered < limits_.maxBufferedBytes) want |= EPOLLIN;
        if (!out.chunks.empty() && out.chunks.front().due <= now) want |= EPOLLOUT;  // due bytes wait for room
      }
      if (c.watched[side] && want == c.interest[side]) continue;
      epoll_event event{want, {}};
      event.data.u64 = (id << 1) | static_cast<uint64_t>(side);
      ::epoll_ctl(epoll_, c.watched[side] ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd[side], &event);
      c.watched[side] = true;
      c.interest[side] = want;
    }
  }

  void ReleaseDue() {
    const Clock::time_point now = Clock::now();
    while (!due_.empty() && due_.top().at <= now) {
      const Due due = due_.top();
      due_.pop();
      auto it = connections_.find(due.id);
      if (it != connections_.end() && Forward(due.id, it->second, due.way)) Update(due.id, it->second);
    }
  }

  void Close(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    for (int fd : it->second.fd) ::close(fd);
    connections_.erase(it);
  }

  void CloseAll() {
    while (!connections_.empty()) Close(connections_.begin()->first);
    if (listen_ >= 0) ::close(listen_);
    listen_ = -1;
  }

  const Limits limits_;
  const std::chrono::milliseconds delay_;
  std::atomic<size_t>* const accepted_;
  std::atomic<bool> stop_{false};
  bool precise_ = true;  // epoll_pwait2 is there
  int epoll_ = -1, wake_ = -1, listen_ = -1;
  sockaddr_in target_{};
  std::unordered_map<uint64_t, Connection> connections_;
  uint64_t nextId_ = 1;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due_;
  Clock::time_point lastActivity_{};
  char buffer_[kReadBytes];
};

DelayProxy::DelayProxy() = default;
DelayProxy::DelayProxy(Limits limits) : limits_(limits) {}
DelayProxy::~DelayProxy() { Stop(); }

bool DelayProxy::Start(std::chrono::milliseconds oneWayDelay, int targetPort, std::string* error) {
  if (thread_.joinable()) {
    *error = "delay proxy already started";
    return false;
  }
  auto relay = std::make_unique<Relay>(limits_, oneWayDelay, &accepted_);
  if (!relay->Listen(targetPort, &port_, error)) return false;
  relay_ = std::move(relay);
  stopped_.Update([](bool& stopped) { stopped = false; });
  thread_ = std::thread([this] {
    relay_->Run();
    stopped_.Update([](bool& stopped) { stopped = true; });
  });
  return true;
}

void DelayProxy::Stop() {
  if (!thread_.joinable()) return;
  relay_->RequestStop();
  thread_.join();
  relay_.reset();
}

}  // namespace iotcloud_test
