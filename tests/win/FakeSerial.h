// A simulated Win32 serial driver that keeps the documented contract
// strictly, installed in the serial layer's table of OS calls.  Its requests
// complete by signalling the real event handles the layer gives them, so the
// library's real pump waits on them.
//
// What it holds the layer to, as real drivers do:
// - one WaitCommEvent at a time: a second while one is pending fails with
//   ERROR_INVALID_PARAMETER (counted in waitRejects);
// - EV_RXCHAR only for bytes that arrive while a wait is armed; bytes that
//   came before raise no event;
// - a pending wait whose issuing thread exits completes with
//   ERROR_OPERATION_ABORTED;
// - after removal every call on a handle opened before fails (wait with
//   ERROR_ACCESS_DENIED, the rest with ERROR_BAD_COMMAND), and opening fails
//   until the device is back;
// - PurgeComm drops the receive buffer, then the bytes still on the wire
//   (inTransit) arrive;
// - GetOverlappedResult with bWait=TRUE blocks: counted as unboundedWaits
//   (and given up after 3 s so the suite reports instead of hanging).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <functional>
#include <string>

namespace fakeserial {

struct Counters {
  int opens = 0;          // successful CreateFileA
  int failedOpens = 0;
  int closes = 0;         // CloseHandle on a port handle
  int waitCalls = 0;      // WaitCommEvent calls
  int waitRejects = 0;    // second WaitCommEvent while one was pending
  int rxcharCompletions = 0;
  int aborts = 0;         // waits aborted because their thread exited
  int waitsAfterAbort = 0;
  int overlappedQueries = 0;
  int unboundedWaits = 0;
  int statusQueries = 0;  // ClearCommError
  int cancels = 0;
  int reads = 0;
};

enum class WaitMode {
  Normal,
  FailAtOnce,    // WaitCommEvent fails at once, the port works (Wine on a pty)
  AtOnceWhenBytesWait,  // a wait armed while received bytes wait completes at
                        // once (Windows and Wine both do)
  IgnoreCancel,  // a pending wait never completes, whatever is done to it
};

enum class SevenBitParity {
  Accept,
  Reject,        // SetCommState fails
  IgnoreSilently,   // SetCommState succeeds; the port stays at 8 bits, no parity
  ApplyRestAndFail  // speed and stop bits applied, 8 bits without parity, and
                    // SetCommState fails (Wine on a pseudo-terminal)
};

struct DeviceConfig {
  WaitMode waitMode = WaitMode::Normal;
  SevenBitParity sevenBitParity = SevenBitParity::Accept;
  bool reject8N = false;
  bool failTimeouts = false;
  bool readHangs = false;   // ReadFile stays pending (until cancelled)
  bool writeHangs = false;  // WriteFile stays pending (until cancelled)
  // Called (without the driver's lock) for every block written.
  std::function<void(const std::string&)> onWrite;
  // Called (without the lock) after each byte ReadFile hands out.
  std::function<void(int bytesReadSoFar)> onRead;
};

// Installs the fake in the layer's table; `wine` is what it reports as
// UnderWine().
void Install(bool wine);
void SetWine(bool wine);
// Fails the next n CreateEventA calls.
void FailEvents(int n);

// A device reached under `path` (as CreateFileA sees it, "\\.\FAKE1").
void Add(const std::string& path, DeviceConfig config = {});
void Configure(const std::string& path, DeviceConfig config);
// Bytes from the wire, now (at once) or after ms milliseconds at the wire's
// pace (from another thread; counted from the port's open, plus the
// library's settle, when it is not open yet).
constexpr int kSettleMs = 30;
void Arrive(const std::string& path, const std::string& bytes);
void ArriveLater(const std::string& path, const std::string& bytes, int ms);
void SetInTransit(const std::string& path, const std::string& bytes);
void Remove(const std::string& path);
void RemoveLater(const std::string& path, int ms);
void Reinsert(const std::string& path);
// Joins the threads ArriveLater and RemoveLater started.
void JoinLater();

Counters Count(const std::string& path);
void ResetCount(const std::string& path);
bool IsOpen(const std::string& path);
bool WaitPending(const std::string& path);
// Bytes received and not read yet.
size_t Unread(const std::string& path);
std::string Written(const std::string& path);
void ClearWritten(const std::string& path);
DCB LineSettings(const std::string& path);
// Every device name CreateFileA was asked for, in order.
std::string OpenedNames();

}  // namespace fakeserial
