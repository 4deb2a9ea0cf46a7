// Registry of the event handles the Windows event pump waits on.  Serial
// ports (an overlapped WaitCommEvent) and sockets (WSAEventSelect) join it
// while they are open; one MsgWaitForMultipleObjectsEx serves them all and
// the thread's window messages.
#pragma once

#include <cstdint>
#include <functional>

#include "Win32.h"

namespace pesmo6::platform::win32 {

using ReadyHandler = std::function<void()>;

uint64_t RegisterHandle(HANDLE event, ReadyHandler handler);
// A polled entry has its handler run on every pass, and the pump then
// waits at most kPollMs: for devices whose events cannot be waited on.
constexpr uint32_t kPollMs = 4;
void SetPolled(uint64_t id, bool polled);
// Safe from inside a handler, also for the entry being dispatched.
void UnregisterHandle(uint64_t id);

// Winsock, started once per process.
void EnsureWinsock();

}  // namespace pesmo6::platform::win32
