// The few socket calls the simulated converter makes, one way on Linux and
// on Windows (Winsock): a socket handle, non-blocking and not inherited by
// child processes, poll, close, and the error that means "try again".
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <process.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <stdexcept>

namespace pesmo6sim {

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
constexpr int kNoSignal = 0;  // Winsock raises no signal on a closed peer

// Winsock wants WSAStartup before the first socket; once per process.
inline void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    return true;
  }();
  (void)started;
}

inline Socket Prepare(Socket s) {
  if (s == kNoSocket) return s;
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}
inline Socket OpenSocket(int type) { return Prepare(socket(AF_INET, type, 0)); }
inline Socket AcceptSocket(Socket listener) { return Prepare(accept(listener, nullptr, nullptr)); }
inline void CloseSocket(Socket s) { closesocket(s); }
inline void StopListening(Socket s) {
  shutdown(s, SD_BOTH);
  closesocket(s);
}
// Winsock's SO_REUSEADDR would let a second simulator take ports already
// bound; a closed listener's port is free at once there without it.
inline void ReuseAddress(Socket) {}
inline bool WouldBlock() {
  const int e = WSAGetLastError();
  return e == WSAEWOULDBLOCK || e == WSAEINTR;
}
inline int PollSockets(pollfd* fds, size_t n, int timeoutMs) {
  return WSAPoll(fds, static_cast<ULONG>(n), timeoutMs);
}
inline unsigned ProcessId() { return static_cast<unsigned>(_getpid()); }
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
constexpr int kNoSignal = MSG_NOSIGNAL;

inline void StartSockets() {}
inline Socket OpenSocket(int type) { return socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }
inline Socket AcceptSocket(Socket listener) { return accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }
inline void CloseSocket(Socket s) { close(s); }
// Closes a listener another thread may be polling.  close() alone leaves
// the socket listening until that poll returns, and a connection the kernel
// accepts meanwhile is reset afterwards; shutdown() stops it at once, so the
// next attempt is refused, as by a converter that refuses.
inline void StopListening(Socket s) {
  shutdown(s, SHUT_RDWR);
  close(s);
}
inline void ReuseAddress(Socket s) {
  const int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}
inline bool WouldBlock() { return errno == EAGAIN || errno == EINTR; }
inline int PollSockets(pollfd* fds, size_t n, int timeoutMs) { return poll(fds, n, timeoutMs); }
inline unsigned ProcessId() { return static_cast<unsigned>(getpid()); }
#endif

// setsockopt for an int or struct option: Winsock takes the value as char*.
template <typename T>
int SetOption(Socket s, int level, int name, const T& value) {
  return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace pesmo6sim
