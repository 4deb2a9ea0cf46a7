#include <map>
#include <memory>
#include <vector>

#include "../Platform.h"
#include "PumpRegistry.h"

namespace pesmo6::platform {
namespace win32 {
namespace {

struct Entry {
  HANDLE event;
  ReadyHandler handler;
  bool polled = false;
};

struct Registry {
  uint64_t nextId = 1;
  std::map<uint64_t, std::shared_ptr<Entry>> entries;
};

// Never destroyed: ports still open at process exit must not find it gone.
Registry& TheRegistry() {
  static auto* registry = new Registry();
  return *registry;
}

// A WM_QUIT taken from the queue during a wait.  It is the host's, so it is
// posted again, once, when the outermost library call returns; until then the
// wait no longer looks at the queue (a quit left in it would end every wait
// at once and the rest of the wait would spin).
struct HeldQuit {
  bool held = false;
  int code = 0;
};
thread_local HeldQuit t_quit;

// Every pending message of the calling thread, as a host's message loop
// would handle it: this is how a host's timers and window procedures run
// while the library waits.  The wide functions keep characters typed into
// Unicode windows intact (the ANSI pair would map them through the code page).
// True when host code ran (a message was dispatched).
bool DispatchMessages() {
  if (t_quit.held) return false;
  bool dispatched = false;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      t_quit.held = true;
      t_quit.code = static_cast<int>(msg.wParam);
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    dispatched = true;
  }
  return dispatched;
}

}  // namespace

uint64_t RegisterHandle(HANDLE event, ReadyHandler handler) {
  Registry& r = TheRegistry();
  const uint64_t id = r.nextId++;
  r.entries.emplace(id, std::make_shared<Entry>(Entry{event, std::move(handler)}));
  return id;
}

void UnregisterHandle(uint64_t id) { TheRegistry().entries.erase(id); }

void SetPolled(uint64_t id, bool polled) {
  auto& entries = TheRegistry().entries;
  if (auto it = entries.find(id); it != entries.end()) it->second->polled = polled;
}

void EnsureWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

}  // namespace win32

namespace {
uint64_t g_readinessCalls = 0;
constexpr uint32_t kHostPassMs = 10;
}

uint64_t ReadinessCalls() { return g_readinessCalls; }

void WaitAndDispatch(uint32_t maxWaitMs) {
  // Host code run by a message may have closed or deleted a channel, or
  // ended what the caller waits for: then this pass blocks no longer than a
  // hook's pass would, so the caller soon looks again.
  if (win32::DispatchMessages() && maxWaitMs > kHostPassMs) maxWaitMs = kHostPassMs;
  auto& entries = win32::TheRegistry().entries;
  std::vector<HANDLE> handles;
  std::vector<uint64_t> ids;
  bool anyPolled = false;
  for (const auto& [id, entry] : entries) {
    anyPolled |= entry->polled;
    // MsgWaitForMultipleObjects takes at most 63 handles besides the queue.
    if (handles.size() == MAXIMUM_WAIT_OBJECTS - 1) break;
    handles.push_back(entry->event);
    ids.push_back(id);
  }
  if (handles.size() < entries.size() && maxWaitMs > 1) maxWaitMs = 1;  // the rest are polled
  if (anyPolled && maxWaitMs > win32::kPollMs) maxWaitMs = win32::kPollMs;
  DWORD r;
  ++g_readinessCalls;
  if (win32::t_quit.held) {
    // The queue is left alone until the quit is posted back: wait on the
    // library's handles only.
    r = handles.empty() ? (SleepEx(maxWaitMs, FALSE), WAIT_TIMEOUT)
                        : WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                                 maxWaitMs);
  } else {
    r = MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()), handles.data(), maxWaitMs, QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
  }
  if (r == WAIT_TIMEOUT && handles.size() == entries.size() && !anyPolled) return;
  win32::DispatchMessages();
  // Whatever woke us, serve every source that is signalled now.
  std::vector<uint64_t> all;
  for (const auto& [id, entry] : entries) all.push_back(id);
  for (uint64_t id : all) {
    auto it = entries.find(id);
    if (it == entries.end()) continue;
    std::shared_ptr<win32::Entry> entry = it->second;
    if (entry->polled || WaitForSingleObject(entry->event, 0) == WAIT_OBJECT_0) entry->handler();
  }
}

void OnOutermostReturn() {
  if (!win32::t_quit.held) return;
  win32::t_quit.held = false;
  PostQuitMessage(win32::t_quit.code);
}

}  // namespace pesmo6::platform
