#include <cstring>

#include "../Platform.h"
#include "PumpRegistry.h"
#include "Win32.h"

namespace pesmo6::platform {
namespace {

bool Resolve(const std::string& address, uint16_t port, sockaddr_in& out) {
  win32::EnsureWinsock();
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1) return true;
  if (address.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  out.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

SOCKET NewStreamSocket() {
  win32::EnsureWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s != INVALID_SOCKET) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    // Small requests and replies: no Nagle delay.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  }
  return s;
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

void LineSocket::Open(const std::string& address, uint16_t port) {
  impl_->Drop();
  sockaddr_in to{};
  if (!Resolve(address, port, to)) {
    impl_->Failed(WSAEDESTADDRREQ);
    return;
  }
  impl_->s = NewStreamSocket();
  if (impl_->s == INVALID_SOCKET) {
    impl_->Failed(WSAGetLastError());
    return;
  }
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
bool LineSocket::CheckAlive() { return impl_->active; }

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

void LineSocket::DiscardInput() {
  char buffer[4096];
  while (impl_->active) {
    const int n = recv(impl_->s, buffer, sizeof buffer, 0);
    if (n > 0) continue;
    if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) impl_->Disconnected();
    return;
  }
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
  if (!Resolve(address, port, to)) throw SocketError("cannot resolve " + address, WSAEDESTADDRREQ);
  SOCKET s = NewStreamSocket();
  if (s == INVALID_SOCKET) throw SocketError("socket", WSAGetLastError());
  int err = 0;
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      if (!WaitFor(s, true, timeoutMs)) {
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

}  // namespace pesmo6::platform
