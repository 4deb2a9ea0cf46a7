#include "transport/platform/win32/SerialOs.h"

#include "FakeSerial.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "WireSchedule.h"

namespace fakeserial {
namespace {

// Marks a request the fake has not completed yet (OVERLAPPED.Internal).
constexpr ULONG_PTR kPending = 0xFFFFFFFEu;

struct Pending {
  OVERLAPPED* ov = nullptr;
  DWORD* mask = nullptr;
  HANDLE thread = nullptr;
  HANDLE registration = nullptr;
  uintptr_t token = 0;
};

struct Device {
  std::string path;
  DeviceConfig cfg;
  bool present = true;
  std::string rx;
  std::string tx;
  std::string inTransit;
  HANDLE handle = nullptr;  // the handle the device is open under
  DCB dcb{};
  DWORD commMask = 0;
  Pending wait;
  std::vector<OVERLAPPED*> hanging;  // reads and writes left pending
  Counters c;
  bool aborted = false;
  int bytesRead = 0;
  int rxPurges = 0;  // PurgeComm calls that emptied the receive buffer
};

struct Port {
  Device* dev;
  bool dead = false;
};

std::mutex g_mutex;
std::map<std::string, std::unique_ptr<Device>> g_devices;
std::map<HANDLE, Port> g_ports;
std::vector<std::thread> g_later;
std::string g_openedNames;
uintptr_t g_nextHandle = 0x7E000000u;
uintptr_t g_nextToken = 1;
bool g_wine = false;
int g_failEvents = 0;

Device& Dev(const std::string& path) { return *g_devices.at(path); }

Port* Find(HANDLE h) {
  auto it = g_ports.find(h);
  return it == g_ports.end() ? nullptr : &it->second;
}

void Complete(OVERLAPPED* ov, DWORD err, DWORD bytes) {
  ov->InternalHigh = bytes;
  ov->Internal = err;
  SetEvent(ov->hEvent);
}

void CompleteWait(Device& d, DWORD err, DWORD mask) {
  Pending& w = d.wait;
  if (w.ov == nullptr) return;
  *w.mask = mask;
  Complete(w.ov, err, 0);
  if (w.registration != nullptr) UnregisterWait(w.registration);
  if (w.thread != nullptr) CloseHandle(w.thread);
  w = Pending{};
}

void CompleteHanging(Device& d, DWORD err) {
  for (OVERLAPPED* ov : d.hanging) Complete(ov, err, 0);
  d.hanging.clear();
}

// The bytes came from the wire: an armed wait for EV_RXCHAR completes.
void Received(Device& d, const std::string& bytes) {
  if (bytes.empty()) return;
  d.rx += bytes;
  if (d.wait.ov != nullptr && (d.commMask & EV_RXCHAR) != 0) {
    ++d.c.rxcharCompletions;
    CompleteWait(d, ERROR_SUCCESS, EV_RXCHAR);
  }
}

VOID CALLBACK ThreadEnded(PVOID context, BOOLEAN) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const uintptr_t token = reinterpret_cast<uintptr_t>(context);
  for (auto& [path, d] : g_devices) {
    if (d->wait.ov != nullptr && d->wait.token == token) {
      ++d->c.aborts;
      d->aborted = true;
      CompleteWait(*d, ERROR_OPERATION_ABORTED, 0);
    }
  }
}

BOOL Failed(DWORD err) {
  SetLastError(err);
  return FALSE;
}

HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_openedNames += std::string(name) + "\n";
  auto it = g_devices.find(name);
  if (it == g_devices.end() || !it->second->present) {
    if (it != g_devices.end()) ++it->second->c.failedOpens;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Device& d = *it->second;
  if (d.handle != nullptr) {
    ++d.c.failedOpens;
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = reinterpret_cast<HANDLE>(g_nextHandle);
  g_nextHandle += 4;
  g_ports.emplace(h, Port{&d});
  d.handle = h;
  d.rx.clear();
  d.commMask = 0;
  ++d.c.opens;
  return h;
}

BOOL WINAPI FakeCloseHandle(HANDLE h) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return ::CloseHandle(h);
  Device& d = *p->dev;
  ++d.c.closes;
  if (d.handle == h) {
    // Closing cancels what is pending, except on a driver that never
    // completes its wait (its OVERLAPPED must stay valid: it never is freed).
    if (d.cfg.waitMode != WaitMode::IgnoreCancel) CompleteWait(d, ERROR_OPERATION_ABORTED, 0);
    CompleteHanging(d, ERROR_OPERATION_ABORTED);
    d.handle = nullptr;
    d.rx.clear();
  }
  g_ports.erase(h);
  return TRUE;
}

BOOL WINAPI FakeSetupComm(HANDLE h, DWORD, DWORD) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  return p->dead ? Failed(ERROR_BAD_COMMAND) : TRUE;
}

BOOL WINAPI FakeGetCommState(HANDLE h, LPDCB dcb) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  if (p->dead) return Failed(ERROR_BAD_COMMAND);
  *dcb = p->dev->dcb;
  return TRUE;
}

BOOL WINAPI FakeSetCommState(HANDLE h, LPDCB dcb) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  if (p->dead) return Failed(ERROR_BAD_COMMAND);
  Device& d = *p->dev;
  DCB next = *dcb;
  if (next.ByteSize == 7 && next.Parity != NOPARITY) {
    if (d.cfg.sevenBitParity == SevenBitParity::Reject) return Failed(ERROR_INVALID_PARAMETER);
    if (d.cfg.sevenBitParity == SevenBitParity::ApplyRestAndFail) {
      d.dcb = next;
      d.dcb.ByteSize = 8;
      d.dcb.Parity = NOPARITY;
      d.dcb.fParity = FALSE;
      return Failed(ERROR_INVALID_PARAMETER);
    }
    if (d.cfg.sevenBitParity == SevenBitParity::IgnoreSilently) {
      next.ByteSize = 8;
      next.Parity = NOPARITY;
      next.fParity = FALSE;
    }
  }
  if (next.ByteSize == 8 && next.Parity == NOPARITY && d.cfg.reject8N) return Failed(ERROR_INVALID_PARAMETER);
  d.dcb = next;
  return TRUE;
}

BOOL WINAPI FakeSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  if (p->dead) return Failed(ERROR_BAD_COMMAND);
  return p->dev->cfg.failTimeouts ? Failed(ERROR_INVALID_PARAMETER) : TRUE;
}

BOOL WINAPI FakeSetCommMask(HANDLE h, DWORD mask) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  if (p->dead) return Failed(ERROR_BAD_COMMAND);
  Device& d = *p->dev;
  d.commMask = mask;
  // A new mask ends a pending wait with no event.
  if (d.cfg.waitMode != WaitMode::IgnoreCancel) CompleteWait(d, ERROR_SUCCESS, 0);
  return TRUE;
}

BOOL WINAPI FakeWaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ov) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  Device& d = *p->dev;
  ++d.c.waitCalls;
  if (d.aborted) ++d.c.waitsAfterAbort;
  if (p->dead) return Failed(ERROR_ACCESS_DENIED);
  if (ov == nullptr || mask == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (d.wait.ov != nullptr) {
    ++d.c.waitRejects;
    return Failed(ERROR_INVALID_PARAMETER);
  }
  if (d.cfg.waitMode == WaitMode::FailAtOnce) return Failed(ERROR_INVALID_PARAMETER);
  if (d.cfg.waitMode == WaitMode::AtOnceWhenBytesWait && !d.rx.empty()) {
    *mask = EV_RXCHAR;
    ov->Internal = 0;
    ov->InternalHigh = 0;
    SetEvent(ov->hEvent);
    ++d.c.rxcharCompletions;
    return TRUE;
  }
  ov->Internal = kPending;
  ov->InternalHigh = 0;
  ResetEvent(ov->hEvent);
  Pending w;
  w.ov = ov;
  w.mask = mask;
  w.token = g_nextToken++;
  w.thread = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
  if (w.thread != nullptr) {
    RegisterWaitForSingleObject(&w.registration, w.thread, ThreadEnded, reinterpret_cast<PVOID>(w.token), INFINITE,
                                WT_EXECUTEONLYONCE);
  }
  d.wait = w;
  return Failed(ERROR_IO_PENDING);
}

BOOL WINAPI FakeGetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Port* p = Find(h)) {
      ++p->dev->c.overlappedQueries;
      if (wait && ov->Internal == kPending) ++p->dev->c.unboundedWaits;
    }
  }
  if (ov->Internal == kPending) {
    if (!wait) return Failed(ERROR_IO_INCOMPLETE);
    // A real driver would block here for good.
    WaitForSingleObject(ov->hEvent, 3000);
    if (ov->Internal == kPending) return Failed(ERROR_IO_INCOMPLETE);
  }
  if (ov->Internal != ERROR_SUCCESS) return Failed(static_cast<DWORD>(ov->Internal));
  *n = static_cast<DWORD>(ov->InternalHigh);
  return TRUE;
}

BOOL WINAPI FakeCancelIoEx(HANDLE h, LPOVERLAPPED ov) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  Device& d = *p->dev;
  ++d.c.cancels;
  bool found = false;
  if (d.wait.ov != nullptr && (ov == nullptr || ov == d.wait.ov)) {
    found = true;
    // A driver that ignores cancellation leaves the wait pending.
    if (d.cfg.waitMode != WaitMode::IgnoreCancel) CompleteWait(d, ERROR_OPERATION_ABORTED, 0);
  }
  for (auto it = d.hanging.begin(); it != d.hanging.end();) {
    if (ov == nullptr || *it == ov) {
      Complete(*it, ERROR_OPERATION_ABORTED, 0);
      it = d.hanging.erase(it);
      found = true;
    } else {
      ++it;
    }
  }
  return found ? TRUE : Failed(ERROR_NOT_FOUND);
}

BOOL WINAPI FakeClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  ++p->dev->c.statusQueries;
  if (p->dead) return Failed(ERROR_BAD_COMMAND);
  if (errors != nullptr) *errors = 0;
  if (stat != nullptr) {
    *stat = COMSTAT{};
    stat->cbInQue = static_cast<DWORD>(p->dev->rx.size());
  }
  return TRUE;
}

BOOL WINAPI FakePurgeComm(HANDLE h, DWORD flags) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Port* p = Find(h);
  if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
  if (p->dead) return Failed(ERROR_BAD_COMMAND);
  Device& d = *p->dev;
  if (flags & (PURGE_RXABORT | PURGE_TXABORT)) CompleteHanging(d, ERROR_OPERATION_ABORTED);
  if (flags & PURGE_RXCLEAR) {
    ++d.rxPurges;
    d.rx.clear();
    // What was on the wire arrives right after.
    const std::string transit = std::move(d.inTransit);
    d.inTransit.clear();
    Received(d, transit);
  }
  return TRUE;
}

BOOL WINAPI FakeReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD n, LPOVERLAPPED ov) {
  std::function<void(int)> onRead;
  int soFar = 0;
  DWORD k = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Port* p = Find(h);
    if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
    if (p->dead) return Failed(ERROR_BAD_COMMAND);
    Device& d = *p->dev;
    ++d.c.reads;
    if (ov == nullptr) return Failed(ERROR_INVALID_PARAMETER);
    if (d.cfg.readHangs) {
      ov->Internal = kPending;
      ResetEvent(ov->hEvent);
      d.hanging.push_back(ov);
      return Failed(ERROR_IO_PENDING);
    }
    k = std::min<DWORD>(length, static_cast<DWORD>(d.rx.size()));
    std::copy(d.rx.begin(), d.rx.begin() + k, static_cast<char*>(buffer));
    d.rx.erase(0, k);
    d.bytesRead += static_cast<int>(k);
    soFar = d.bytesRead;
    onRead = d.cfg.onRead;
    if (n != nullptr) *n = k;
    Complete(ov, ERROR_SUCCESS, k);
  }
  if (onRead && k > 0) onRead(soFar);
  return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE h, LPCVOID data, DWORD length, LPDWORD n, LPOVERLAPPED ov) {
  std::function<void(const std::string&)> onWrite;
  const std::string bytes(static_cast<const char*>(data), length);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Port* p = Find(h);
    if (p == nullptr) return Failed(ERROR_INVALID_HANDLE);
    if (p->dead) return Failed(ERROR_BAD_COMMAND);
    Device& d = *p->dev;
    if (ov == nullptr) return Failed(ERROR_INVALID_PARAMETER);
    if (d.cfg.writeHangs) {
      ov->Internal = kPending;
      ResetEvent(ov->hEvent);
      d.hanging.push_back(ov);
      return Failed(ERROR_IO_PENDING);
    }
    d.tx += bytes;
    onWrite = d.cfg.onWrite;
    if (n != nullptr) *n = length;
    Complete(ov, ERROR_SUCCESS, length);
  }
  if (onWrite) onWrite(bytes);
  return TRUE;
}

HANDLE WINAPI FakeCreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_failEvents > 0) {
      --g_failEvents;
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  return ::CreateEventA(sa, manual, initial, name);
}

bool FakeUnderWine() { return g_wine; }

DCB DefaultDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  return dcb;
}

}  // namespace

void Install(bool wine) {
  auto& os = pesmo6::platform::win32::Os();
  os.CreateFileA = FakeCreateFileA;
  os.CloseHandle = FakeCloseHandle;
  os.SetupComm = FakeSetupComm;
  os.GetCommState = FakeGetCommState;
  os.SetCommState = FakeSetCommState;
  os.SetCommTimeouts = FakeSetCommTimeouts;
  os.SetCommMask = FakeSetCommMask;
  os.WaitCommEvent = FakeWaitCommEvent;
  os.GetOverlappedResult = FakeGetOverlappedResult;
  os.CancelIoEx = FakeCancelIoEx;
  os.ClearCommError = FakeClearCommError;
  os.PurgeComm = FakePurgeComm;
  os.ReadFile = FakeReadFile;
  os.WriteFile = FakeWriteFile;
  os.CreateEventA = FakeCreateEventA;
  os.UnderWine = FakeUnderWine;
  SetWine(wine);
}

void SetWine(bool wine) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_wine = wine;
}

void FailEvents(int n) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_failEvents = n;
}

void Add(const std::string& path, DeviceConfig config) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto d = std::make_unique<Device>();
  d->path = path;
  d->cfg = std::move(config);
  d->dcb = DefaultDcb();
  g_devices[path] = std::move(d);
}

void Configure(const std::string& path, DeviceConfig config) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Dev(path).cfg = std::move(config);
}

void Arrive(const std::string& path, const std::string& bytes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Device& d = Dev(path);
  if (!d.present || d.handle == nullptr) return;  // nobody has the port open
  Received(d, bytes);
}

namespace {
// Microseconds one character takes at the device's line settings.
long CharacterUs(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const DCB& dcb = Dev(path).dcb;
  const long baud = dcb.BaudRate > 0 ? static_cast<long>(dcb.BaudRate) : 9600;
  const long bits = 1 + (dcb.ByteSize > 0 ? dcb.ByteSize : 8) + (dcb.Parity != NOPARITY ? 1 : 0) +
                    (dcb.StopBits == TWOSTOPBITS ? 2 : 1);
  return (bits * 1000000 + baud - 1) / baud;
}
}  // namespace

void ArriveLater(const std::string& path, const std::string& bytes, int ms) {
  // Counted from the open's purge when the port is not open yet: on a loaded
  // machine the open may come later than ms, and bytes that arrive before its
  // purge are flushed.  The bytes then come at the wire's pace, after the
  // library's settle: each once the line would have carried it whole.
  bool openNow;
  int purges;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Device& d = Dev(path);
    openNow = d.handle != nullptr;
    purges = d.rxPurges;
  }
  g_later.emplace_back([path, bytes, ms, openNow, purges] {
    const auto purged = [&] {
      std::lock_guard<std::mutex> lock(g_mutex);
      return Dev(path).rxPurges != purges;
    };
    for (int waited = 0; !openNow && !purged() && waited < 3000; ++waited) Sleep(1);
    Sleep(static_cast<DWORD>(ms + (openNow ? 0 : kSettleMs)));
    const auto pace = std::chrono::microseconds(CharacterUs(path));
    pesmo6sim::WireSchedule wire(pace, bytes.size(), std::chrono::microseconds(4000));
    size_t done = 0;
    while (done < bytes.size()) {
      const size_t due = wire.Due(done, std::chrono::steady_clock::now());
      if (due > done) {
        Arrive(path, bytes.substr(done, due - done));
        done = due;
        continue;
      }
      Sleep(1);
    }
  });
}

void SetInTransit(const std::string& path, const std::string& bytes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Dev(path).inTransit = bytes;
}

void Remove(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Device& d = Dev(path);
  d.present = false;
  for (auto& [h, port] : g_ports) {
    if (port.dev == &d) port.dead = true;
  }
  // USB serial drivers fail what is pending when their device goes.
  CompleteWait(d, ERROR_ACCESS_DENIED, 0);
  CompleteHanging(d, ERROR_ACCESS_DENIED);
  d.rx.clear();
}

void RemoveLater(const std::string& path, int ms) {
  g_later.emplace_back([path, ms] {
    Sleep(static_cast<DWORD>(ms));
    Remove(path);
  });
}

void Reinsert(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Device& d = Dev(path);
  d.present = true;
  d.dcb = DefaultDcb();
}

void JoinLater() {
  for (auto& t : g_later) t.join();
  g_later.clear();
}

Counters Count(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Dev(path).c;
}

void ResetCount(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Device& d = Dev(path);
  d.c = Counters{};
  d.aborted = false;
  d.bytesRead = 0;
}

bool IsOpen(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Dev(path).handle != nullptr;
}

bool WaitPending(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Dev(path).wait.ov != nullptr;
}

size_t Unread(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Dev(path).rx.size();
}

std::string Written(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Dev(path).tx;
}

void ClearWritten(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Dev(path).tx.clear();
}

DCB LineSettings(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Dev(path).dcb;
}

std::string OpenedNames() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_openedNames;
}

}  // namespace fakeserial
