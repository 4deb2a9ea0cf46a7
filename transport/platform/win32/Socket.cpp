#include <cstring>

#include "../Platform.h"
#include "PumpRegistry.h"
#include "Win32.h"
// After the Winsock headers, whose types it uses.
#include <mstcpip.h>

// Option numbers of ws2ipdef.h that older SDK headers lack.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace pesmo6::platform {
namespace {

bool Resolve(const std::string& written, uint16_t port, sockaddr_in& out, uint32_t lookupMs) {
  win32::EnsureWinsock();
  const std::string address = NormalizeAddress(written);
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1) return true;
  uint32_t found = 0;
  if (!LookUpWithin(address, lookupMs, found)) return false;
  out.sin_addr.s_addr = found;
  return true;
}

bool IsLoopback(const sockaddr_in& to) { return (ntohl(to.sin_addr.s_addr) >> 24) == 127; }

// A non-blocking TCP socket that no child process of the host inherits (an
// inherited copy would hold a converter line open after the library closed
// it).  Systems without WSA_FLAG_NO_HANDLE_INHERIT refuse the flag: there the
// handle is made non-inheritable afterwards.
SOCKET NewStreamSocket(const sockaddr_in& to) {
  win32::EnsureWinsock();
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  }
  if (s == INVALID_SOCKET) return s;
  DWORD flags = 0;
  const HANDLE h = reinterpret_cast<HANDLE>(s);
  if (!GetHandleInformation(h, &flags) || (flags & HANDLE_FLAG_INHERIT) != 0) {
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  }
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  // Small requests and replies: no Nagle delay.
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  if (IsLoopback(to)) {
    // Windows answers a refused SYN by sending it again, twice, half a
    // second apart: a refused connection takes about 2 s.  On loopback a
    // SYN is never lost, so the first refusal is final (Windows 8 and later;
    // refused elsewhere, which changes nothing).
    TCP_INITIAL_RTO_PARAMETERS rto{};
    rto.Rtt = TCP_INITIAL_RTO_UNSPECIFIED_RTT;
    rto.MaxSynRetransmissions = TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS;
    DWORD returned = 0;
    WSAIoctl(s, SIO_TCP_INITIAL_RTO, &rto, sizeof rto, nullptr, 0, &returned, nullptr, nullptr);
  }
  return s;
}

// Keepalive and a bound on unacknowledged data for a line link, so that a
// converter that vanished without a FIN is noticed.  Each option is best
// effort: a system that refuses one keeps its defaults for it.
void ConfigureLiveness(SOCKET s) {
  BOOL one = TRUE;
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
  tcp_keepalive vals{};
  vals.onoff = 1;
  vals.keepalivetime = static_cast<ULONG>(kKeepAliveIdleS) * 1000u;
  vals.keepaliveinterval = static_cast<ULONG>(kKeepAliveIntervalS) * 1000u;
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &vals, sizeof vals, nullptr, 0, &returned, nullptr, nullptr);
  // Windows before 10 (1703) sends 10 probes whatever is asked.
  DWORD count = static_cast<DWORD>(kKeepAliveCount);
  setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count);
  // Seconds, rounded up.
  DWORD maxRt = static_cast<DWORD>((kUserTimeoutMs + 999u) / 1000u);
  setsockopt(s, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&maxRt), sizeof maxRt);
}

u_long Pending(SOCKET s) {
  u_long n = 0;
  if (ioctlsocket(s, FIONREAD, &n) != 0) return 0;
  return n;
}

// Waits until `s` is writable (write) or readable (!write); false on time-out.
bool WaitFor(SOCKET s, bool write, uint32_t timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  fd_set err;
  FD_ZERO(&err);
  FD_SET(s, &err);
  timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
  const int r = select(0, write ? nullptr : &set, write ? &set : nullptr, &err, &tv);
  return r > 0;
}

}  // namespace

// ---- LineSocket ---------------------------------------------------------

struct LineSocket::Impl {
  SOCKET s = INVALID_SOCKET;
  WSAEVENT event = WSA_INVALID_EVENT;
  uint64_t pumpId = 0;
  bool connecting = false;
  bool active = false;
  bool wakeOnData = false;
  bool peerClosed = false;
  // Network events CheckAlive read (and so cleared) that the next pump pass
  // still has to act on.
  long stashedEvents = 0;
  uint64_t bytesTaken = 0;
  Events events;
  ReadHandler onRead;
  std::weak_ptr<Impl> self;

  void Drop() {
    if (pumpId != 0) win32::UnregisterHandle(pumpId);
    pumpId = 0;
    if (s != INVALID_SOCKET) closesocket(s);
    s = INVALID_SOCKET;
    if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
    event = WSA_INVALID_EVENT;
    connecting = false;
    active = false;
    peerClosed = false;
    stashedEvents = 0;
  }

  void Disconnected() {
    Drop();
    if (auto h = events.onDisconnect) h();
  }

  void Failed(int code) {
    Drop();
    if (auto h = events.onError) h(code);
  }

  void DeliverReads() {
    const u_long waiting = Pending(s);
    if (waiting == 0 || !onRead) return;
    for (u_long i = 0; i < waiting && active; ++i) {
      const uint64_t before = bytesTaken;
      ReadHandler h = onRead;
      h();
      if (bytesTaken == before) break;
    }
  }

  void OnSignalled() {
    WSANETWORKEVENTS ne{};
    if (WSAEnumNetworkEvents(s, event, &ne) != 0) return;
    ne.lNetworkEvents |= stashedEvents;
    stashedEvents = 0;
    if (connecting) {
      if (ne.lNetworkEvents & FD_CONNECT) {
        const int err = ne.iErrorCode[FD_CONNECT_BIT];
        if (err != 0) {
          Failed(err);
          return;
        }
        connecting = false;
        active = true;
        if (auto h = events.onConnect) h();
      }
      if (!active) return;
    }
    if (ne.lNetworkEvents & FD_CLOSE) peerClosed = true;
    DeliverReads();
    if (!active) return;
    if (peerClosed && (Pending(s) == 0 || !(onRead || wakeOnData))) {
      Disconnected();
      return;
    }
    // Bytes the handler left raise no new FD_READ until the next recv:
    // look again on the next pass.
    if (onRead && Pending(s) > 0) WSASetEvent(event);
  }
};

LineSocket::LineSocket() : impl_(std::make_shared<Impl>()) { impl_->self = impl_; }
LineSocket::~LineSocket() { impl_->Drop(); }

void LineSocket::SetEvents(Events events) { impl_->events = std::move(events); }

void LineSocket::SetOnRead(ReadHandler handler) {
  impl_->onRead = std::move(handler);
  if (impl_->active && impl_->onRead && Pending(impl_->s) > 0) WSASetEvent(impl_->event);
}

void LineSocket::SetWakeOnData(bool wake) {
  impl_->wakeOnData = wake;
  if (impl_->active && wake && Pending(impl_->s) > 0) WSASetEvent(impl_->event);
}

void LineSocket::Open(const std::string& address, uint16_t port, uint32_t lookupMs) {
  impl_->Drop();
  sockaddr_in to{};
  if (!Resolve(address, port, to, lookupMs)) {
    impl_->Failed(WSAEDESTADDRREQ);
    return;
  }
  impl_->s = NewStreamSocket(to);
  if (impl_->s == INVALID_SOCKET) {
    impl_->Failed(WSAGetLastError());
    return;
  }
  ConfigureLiveness(impl_->s);
  impl_->event = WSACreateEvent();
  WSAEventSelect(impl_->s, impl_->event, FD_CONNECT | FD_READ | FD_CLOSE);
  if (connect(impl_->s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) {
      impl_->Failed(err);
      return;
    }
  }
  impl_->connecting = true;
  std::weak_ptr<Impl> weak = impl_;
  impl_->pumpId = win32::RegisterHandle(impl_->event, [weak] {
    if (auto impl = weak.lock()) impl->OnSignalled();
  });
}

void LineSocket::Close() { impl_->Drop(); }
bool LineSocket::Active() const { return impl_->active; }
bool LineSocket::Connecting() const { return impl_->connecting; }
bool LineSocket::CheckAlive() {
  Impl& i = *impl_;
  if (!i.active) return false;
  WSANETWORKEVENTS ne{};
  bool dead = false;
  if (WSAEnumNetworkEvents(i.s, i.event, &ne) == 0 && ne.lNetworkEvents != 0) {
    if (ne.lNetworkEvents & FD_CLOSE) {
      i.peerClosed = true;
      // A reset or an aborted connection, not an orderly close.
      dead = ne.iErrorCode[FD_CLOSE_BIT] != 0;
    }
    // Reading the events reset the event object: the pump still has to see
    // them on its next pass.
    i.stashedEvents |= ne.lNetworkEvents;
    WSASetEvent(i.event);
  }
  if (!dead && Pending(i.s) == 0) {
    // Nothing unread: a peek tells a closed or broken link (0 or an error)
    // from a quiet one (would block), also where no FD_CLOSE was recorded.
    char c;
    const int n = recv(i.s, &c, 1, MSG_PEEK);
    dead = n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
  }
  // The peer closed but bytes it sent before are still the reader's.
  if (!dead) return true;
  i.Disconnected();
  return false;
}

int LineSocket::ReadByte(uint8_t& b) {
  if (!impl_->active) return 0;
  const int n = recv(impl_->s, reinterpret_cast<char*>(&b), 1, 0);
  if (n == 1) {
    ++impl_->bytesTaken;
    return 1;
  }
  if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) impl_->Disconnected();
  return 0;
}

size_t LineSocket::Waiting() const { return impl_->active ? static_cast<size_t>(Pending(impl_->s)) : 0; }

size_t LineSocket::DiscardInput() {
  size_t dropped = 0;
  char buffer[4096];
  while (impl_->active) {
    const int n = recv(impl_->s, buffer, sizeof buffer, 0);
    if (n > 0) {
      dropped += static_cast<size_t>(n);
      continue;
    }
    if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) impl_->Disconnected();
    break;
  }
  return dropped;
}

void LineSocket::Send(const std::string& bytes) {
  size_t done = 0;
  while (impl_->active && done < bytes.size()) {
    const int n = send(impl_->s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
      if (!WaitFor(impl_->s, true, 2000)) {
        impl_->Disconnected();
        return;
      }
    } else {
      impl_->Disconnected();
      return;
    }
  }
}

// ---- BlockingSocket -----------------------------------------------------

BlockingSocket::BlockingSocket() = default;
BlockingSocket::~BlockingSocket() { Close(); }

void BlockingSocket::Close() {
  if (handle_ != -1) closesocket(static_cast<SOCKET>(handle_));
  handle_ = -1;
}

bool BlockingSocket::Connected() const { return handle_ != -1; }

void BlockingSocket::Connect(const std::string& address, uint16_t port, uint32_t timeoutMs) {
  Close();
  sockaddr_in to{};
  // The lookup of a host name takes its share of the bound.
  const uint32_t start = Tick();
  if (!Resolve(address, port, to, timeoutMs)) throw SocketError("cannot resolve " + address, WSAEDESTADDRREQ);
  SOCKET s = NewStreamSocket(to);
  if (s == INVALID_SOCKET) throw SocketError("socket", WSAGetLastError());
  int err = 0;
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      const uint32_t spent = Tick() - start;
      if (!WaitFor(s, true, spent >= timeoutMs ? 0 : timeoutMs - spent)) {
        // Refused or timed out: SO_ERROR tells which.
        int soErr = 0;
        int len = sizeof soErr;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len);
        err = soErr != 0 ? soErr : WSAETIMEDOUT;
      } else {
        int soErr = 0;
        int len = sizeof soErr;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len);
        err = soErr;
      }
    }
  }
  if (err != 0) {
    closesocket(s);
    throw SocketError("connect to " + address + " failed", err);
  }
  handle_ = static_cast<intptr_t>(s);
}

void BlockingSocket::Send(const std::string& bytes) {
  const SOCKET s = static_cast<SOCKET>(handle_);
  if (handle_ == -1) throw SocketError("not connected", WSAENOTCONN);
  size_t done = 0;
  while (done < bytes.size()) {
    const int n = send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
      if (!WaitFor(s, true, 10000)) throw SocketError("send timed out", WSAETIMEDOUT);
    } else {
      throw SocketError("send failed", WSAGetLastError());
    }
  }
}

int BlockingSocket::Receive(char* buffer, size_t size, uint32_t timeoutMs) {
  if (handle_ == -1) throw SocketError("not connected", WSAENOTCONN);
  const SOCKET s = static_cast<SOCKET>(handle_);
  if (!WaitFor(s, false, timeoutMs)) return 0;
  const int n = recv(s, buffer, static_cast<int>(size), 0);
  if (n == 0) return -1;
  if (n < 0) {
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return 0;
    throw SocketError("recv failed", err);
  }
  return n;
}

bool SystemNameLookup(const std::string& name, uint32_t& address) {
  win32::EnsureWinsock();
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
