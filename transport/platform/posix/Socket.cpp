#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../Platform.h"
#include "PumpRegistry.h"

namespace pesmo6::platform {
namespace {

// Numeric IPv4 first (zero-padded parts read as decimal); a host name is
// looked up by the system's resolver, IPv4 only, within lookupMs.  False for
// anything else.
bool Resolve(const std::string& given, uint16_t port, sockaddr_in& out, uint32_t lookupMs) {
  const std::string address = NormalizeAddress(given);
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1) return true;
  uint32_t found = 0;
  if (!LookUpWithin(address, lookupMs, found)) return false;
  out.sin_addr.s_addr = found;
  return true;
}

// What is left of totalMs since `start` (a Tick() value), 0 once spent.
int MsLeft(uint32_t start, uint32_t totalMs) {
  const uint32_t elapsed = Tick() - start;
  if (elapsed >= totalMs) return 0;
  const uint32_t left = totalMs - elapsed;
  return left > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(left);
}

// poll() for one descriptor, at most totalMs in all: a signal that
// interrupts the wait resumes it with the time left, not the full time.
int PollFor(pollfd& p, uint32_t totalMs) {
  const uint32_t start = Tick();
  int r;
  do {
    p.revents = 0;
    r = poll(&p, 1, MsLeft(start, totalMs));
  } while (r < 0 && errno == EINTR);
  return r;
}

// A converter that loses power or its cable sends no FIN: keepalive probes
// (and a bound on unacknowledged data) break such a link within about 15 s.
void EnableKeepAlive(int fd) {
  const int one = 1;
  const int idle = kKeepAliveIdleS, interval = kKeepAliveIntervalS, count = kKeepAliveCount;
  const unsigned userTimeout = kUserTimeoutMs;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

int NewStreamSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    // Small requests and replies: no Nagle delay.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

// Starts a non-blocking connect: 0 when connected at once, EINPROGRESS when
// under way, otherwise the error.
int StartConnect(int fd, const sockaddr_in& to) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
  return errno;
}

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

}  // namespace

// ---- LineSocket ---------------------------------------------------------

// Bytes taken from the socket by one recv; handed out one at a time.
constexpr size_t kReceiveBuffer = 4096;

struct LineSocket::Impl {
  int fd = -1;
  uint64_t pumpId = 0;
  bool connecting = false;
  bool active = false;
  bool wakeOnData = false;
  uint64_t bytesTaken = 0;
  Events events;
  ReadHandler onRead;
  // What the last recv took that nobody has read yet.
  uint8_t buffer[kReceiveBuffer];
  size_t head = 0;
  size_t tail = 0;

  size_t Buffered() const { return tail - head; }

  // Buffered bytes keep the pump from blocking while someone reads them.
  void UpdatePending() {
    if (pumpId != 0) posix::SetPending(pumpId, active && (onRead || wakeOnData) && Buffered() > 0);
  }

  // One recv of what is waiting into the empty buffer (the build with the
  // fixed pump pass takes one byte at a time, as the library used to): 1
  // when bytes came, 0 when none were waiting, -1 when the link is gone.
  int Fill() {
    if (Buffered() > 0) return 1;
    head = tail = 0;
#ifdef PESMO6_FIXED_PASS
    const size_t want = 1;
#else
    const size_t want = sizeof buffer;
#endif
    ssize_t n;
    do {
      n = ::recv(fd, buffer, want, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      tail = static_cast<size_t>(n);
      return 1;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    return 0;
  }

  short Wanted() const {
    if (connecting) return POLLOUT;
    return static_cast<short>((onRead || wakeOnData ? POLLIN : 0) | POLLRDHUP);
  }

  void Drop() {
    if (fd < 0) return;
    head = tail = 0;
    if (pumpId != 0) posix::UnregisterDescriptor(pumpId);
    pumpId = 0;
    ::close(fd);
    fd = -1;
    connecting = false;
    active = false;
  }

  void Disconnected() {
    Drop();
    if (auto h = events.onDisconnect) h();
  }

  void Failed(int code) {
    Drop();
    if (auto h = events.onError) h(code);
  }

  void OnReady(short revents) {
    if (connecting) {
      const int err = PendingError(fd);
      if (err == 0 && (revents & POLLOUT) && !(revents & POLLERR)) {
        connecting = false;
        active = true;
        posix::SetEvents(pumpId, Wanted());
        if (auto h = events.onConnect) h();
      } else {
        Failed(err != 0 ? err : ECONNREFUSED);
      }
      return;
    }
    if (!active) return;
#ifdef PESMO6_FIXED_PASS
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) waiting = 0;
    waiting += static_cast<int>(Buffered());
#else
    if ((onRead || wakeOnData) && revents != 0 && Buffered() == 0 && Fill() < 0) {
      Disconnected();
      return;
    }
    const int waiting = static_cast<int>(Buffered());
#endif
    if (waiting > 0 && onRead) {
      // One notification per byte, again while bytes remain and the
      // handler keeps taking them.
      for (int i = 0; i < waiting && active; ++i) {
        const uint64_t before = bytesTaken;
        ReadHandler h = onRead;
        h();
        if (bytesTaken == before) break;
      }
      UpdatePending();
      return;
    }
    if (waiting > 0 && wakeOnData) {
      UpdatePending();
      return;  // the poller reads it
    }
    if (revents == 0) {
      UpdatePending();
      return;  // woken for bytes that have been taken meanwhile
    }
    // A keepalive or user time-out leaves ETIMEDOUT pending: poll() reports
    // POLLERR | POLLHUP whatever was asked for.
    if (revents & (POLLRDHUP | POLLHUP | POLLERR | POLLIN)) Disconnected();
  }

  void Register() {
    std::weak_ptr<Impl> weak = self;
    pumpId = posix::RegisterDescriptor(fd, Wanted(), [weak](short revents) {
      if (auto impl = weak.lock()) impl->OnReady(revents);
    });
  }

  std::weak_ptr<Impl> self;
};

LineSocket::LineSocket() : impl_(std::make_shared<Impl>()) { impl_->self = impl_; }
LineSocket::~LineSocket() { impl_->Drop(); }

void LineSocket::SetEvents(Events events) { impl_->events = std::move(events); }

void LineSocket::SetOnRead(ReadHandler handler) {
  impl_->onRead = std::move(handler);
  if (impl_->pumpId != 0) posix::SetEvents(impl_->pumpId, impl_->Wanted());
  impl_->UpdatePending();
}

void LineSocket::SetWakeOnData(bool wake) {
  impl_->wakeOnData = wake;
  if (impl_->pumpId != 0) posix::SetEvents(impl_->pumpId, impl_->Wanted());
  impl_->UpdatePending();
}

void LineSocket::Open(const std::string& address, uint16_t port, uint32_t lookupMs) {
  impl_->Drop();
  sockaddr_in to{};
  if (!Resolve(address, port, to, lookupMs)) {
    impl_->Failed(EDESTADDRREQ);
    return;
  }
  impl_->fd = NewStreamSocket();
  if (impl_->fd < 0) {
    impl_->Failed(errno);
    return;
  }
  EnableKeepAlive(impl_->fd);
  const int err = StartConnect(impl_->fd, to);
  if (err != 0 && err != EINPROGRESS) {
    impl_->Failed(err);
    return;
  }
  // Even an immediate connect is announced through the pump, like any other.
  impl_->connecting = true;
  impl_->Register();
}

void LineSocket::Close() { impl_->Drop(); }
bool LineSocket::Active() const { return impl_->active; }
bool LineSocket::Connecting() const { return impl_->connecting; }
bool LineSocket::CheckAlive() {
  if (!impl_->active) return false;
  pollfd p{impl_->fd, POLLRDHUP, 0};
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return true;  // nothing to report: the link is up
  bool dead = (p.revents & (POLLERR | POLLNVAL)) != 0;
  if (!dead && (p.revents & (POLLRDHUP | POLLHUP))) {
    // The peer closed; bytes it sent before are still the reader's.
    int waiting = 0;
    if (ioctl(impl_->fd, FIONREAD, &waiting) != 0) waiting = 0;
    dead = waiting <= 0 && impl_->Buffered() == 0;
  }
  if (!dead) return true;
  impl_->Disconnected();
  return false;
}

int LineSocket::ReadByte(uint8_t& b) {
  Impl& impl = *impl_;
  if (!impl.active) return 0;
  const int got = impl.Fill();
  if (got < 0) {
    impl.Disconnected();
    return 0;
  }
  if (got == 0) return 0;
  b = impl.buffer[impl.head++];
  if (impl.head == impl.tail) impl.head = impl.tail = 0;
  // Nothing left to hand out: the pump may block again.  Bytes this read
  // took from the socket and left in memory (a poller read before the pump
  // saw them) no readiness will announce: they keep the pump from blocking.
  impl.UpdatePending();
  ++impl.bytesTaken;
  return 1;
}

size_t LineSocket::Waiting() const { return impl_->active ? impl_->Buffered() : 0; }

size_t LineSocket::DiscardInput() {
  size_t dropped = impl_->Buffered();
  impl_->head = impl_->tail = 0;
  impl_->UpdatePending();
  char buffer[4096];
  while (impl_->active) {
    const ssize_t n = ::recv(impl_->fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      dropped += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) impl_->Disconnected();
    break;
  }
  return dropped;
}

void LineSocket::Send(const std::string& bytes) {
  size_t done = 0;
  while (impl_->active && done < bytes.size()) {
    const ssize_t n = ::send(impl_->fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{impl_->fd, POLLOUT, 0};
      if (PollFor(p, 2000) <= 0) {
        impl_->Disconnected();
        return;
      }
    } else {
      impl_->Disconnected();
      return;
    }
  }
}

#ifdef PESMO6_FUZZ
void LineSocket::FuzzReceive(const uint8_t* data, size_t length) {
  Impl& impl = *impl_;
  if (!impl.active) return;
  if (impl.Buffered() == 0) impl.head = impl.tail = 0;
  const size_t room = sizeof impl.buffer - impl.tail;
  const size_t n = length < room ? length : room;
  if (n > 0) std::memcpy(impl.buffer + impl.tail, data, n);
  impl.tail += n;
  impl.UpdatePending();
}
#endif

// ---- BlockingSocket -----------------------------------------------------

BlockingSocket::BlockingSocket() = default;
BlockingSocket::~BlockingSocket() { Close(); }

void BlockingSocket::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool BlockingSocket::Connected() const { return handle_ >= 0; }

void BlockingSocket::Connect(const std::string& address, uint16_t port, uint32_t timeoutMs) {
  Close();
  sockaddr_in to{};
  // The lookup of a host name takes its share of the bound.
  const uint32_t start = Tick();
  if (!Resolve(address, port, to, timeoutMs)) throw SocketError("cannot resolve " + address, EDESTADDRREQ);
  const int fd = NewStreamSocket();
  if (fd < 0) throw SocketError("socket", errno);
  int err = StartConnect(fd, to);
  if (err == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    const int r = PollFor(p, static_cast<uint32_t>(MsLeft(start, timeoutMs)));
    err = r == 0 ? ETIMEDOUT : r < 0 ? errno : PendingError(fd);
  }
  if (err != 0) {
    ::close(fd);
    throw SocketError("connect to " + address + ": " + std::strerror(err), err);
  }
  handle_ = fd;
}

void BlockingSocket::Send(const std::string& bytes) {
  const int fd = static_cast<int>(handle_);
  size_t done = 0;
  while (done < bytes.size()) {
    if (fd < 0) throw SocketError("not connected", ENOTCONN);
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      const int r = PollFor(p, 10000);
      if (r == 0) throw SocketError("send timed out", ETIMEDOUT);
      if (r < 0) throw SocketError(std::string("poll: ") + std::strerror(errno), errno);
    } else {
      throw SocketError(std::string("send: ") + std::strerror(errno), errno);
    }
  }
}

int BlockingSocket::Receive(char* buffer, size_t size, uint32_t timeoutMs) {
  const int fd = static_cast<int>(handle_);
  if (fd < 0) throw SocketError("not connected", ENOTCONN);
  pollfd p{fd, POLLIN, 0};
  const int r = PollFor(p, timeoutMs);
  if (r == 0) return 0;
  if (r < 0) throw SocketError(std::string("poll: ") + std::strerror(errno), errno);
  ssize_t n;
  do {
    n = ::recv(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return -1;
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    throw SocketError(std::string("recv: ") + std::strerror(errno), errno);
  }
  return static_cast<int>(n);
}

bool SystemNameLookup(const std::string& name, uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace pesmo6::platform
