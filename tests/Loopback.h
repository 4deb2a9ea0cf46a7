// TCP listeners on loopback addresses for the suites that need a peer the
// simulators do not play: a bare listener, and one whose backlog is full so
// that a connection attempt to it stays pending.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace pesmo6test {

inline sockaddr_in Endpoint(const std::string& address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

// A listening socket on address:port, or -1.
inline int ListenOn(const std::string& address, uint16_t port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in a = Endpoint(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A listener with a zero backlog, filled by connections of its own: a new
// connection to it neither succeeds nor fails.
class PendingListener {
 public:
  PendingListener(const std::string& address, uint16_t port) : listener_(ListenOn(address, port, 0)) {
    const sockaddr_in a = Endpoint(address, port);
    for (int& f : fillers_) {
      f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      connect(f, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~PendingListener() {
    for (int f : fillers_) close(f);
    if (listener_ >= 0) close(listener_);
  }
  PendingListener(const PendingListener&) = delete;
  PendingListener& operator=(const PendingListener&) = delete;
  bool Listening() const { return listener_ >= 0; }

 private:
  int listener_;
  int fillers_[4] = {-1, -1, -1, -1};
};

}  // namespace pesmo6test
