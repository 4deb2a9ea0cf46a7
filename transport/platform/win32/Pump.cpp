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

// Every pending message of the calling thread, as a host's message loop
// would handle it: this is how a host's timers and window procedures run
// while the library waits.
void DispatchMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Not ours to eat: leave it for the host's own loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
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

void WaitAndDispatch(uint32_t maxWaitMs) {
  win32::DispatchMessages();
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
  const DWORD r = MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()), handles.data(), maxWaitMs,
                                              QS_ALLINPUT, MWMO_INPUTAVAILABLE);
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

}  // namespace pesmo6::platform
