#include <poll.h>

#include <map>
#include <memory>
#include <vector>

#include "../Platform.h"
#include "PumpRegistry.h"

namespace pesmo6::platform {
namespace posix {
namespace {

struct Entry {
  int fd;
  short events;
  ReadyHandler handler;
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

}  // namespace

uint64_t RegisterDescriptor(int fd, short events, ReadyHandler handler) {
  Registry& r = TheRegistry();
  const uint64_t id = r.nextId++;
  r.entries.emplace(id, std::make_shared<Entry>(Entry{fd, events, std::move(handler)}));
  return id;
}

void SetEvents(uint64_t id, short events) {
  auto& entries = TheRegistry().entries;
  if (auto it = entries.find(id); it != entries.end()) it->second->events = events;
}

void UnregisterDescriptor(uint64_t id) { TheRegistry().entries.erase(id); }

}  // namespace posix

void WaitAndDispatch(uint32_t maxWaitMs) {
  auto& entries = posix::TheRegistry().entries;
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  fds.reserve(entries.size());
  ids.reserve(entries.size());
  for (const auto& [id, entry] : entries) {
    fds.push_back(pollfd{entry->fd, entry->events, 0});
    ids.push_back(id);
  }
  const int timeout = maxWaitMs > 1000000 ? 1000000 : static_cast<int>(maxWaitMs);
  const int ready = poll(fds.data(), fds.size(), timeout);
  if (ready <= 0) return;  // time-out, or EINTR: the caller's loop checks its deadline
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    // A handler may close ports or sockets, its own included: look each one
    // up again and keep the entry alive while its handler runs.
    auto it = entries.find(ids[i]);
    if (it == entries.end()) continue;
    std::shared_ptr<posix::Entry> entry = it->second;
    entry->handler(fds[i].revents);
  }
}

// No host message queue to give anything back to.
void OnOutermostReturn() {}

}  // namespace pesmo6::platform
