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
  bool pending = false;
};

struct Registry {
  uint64_t nextId = 1;
  std::map<uint64_t, std::shared_ptr<Entry>> entries;
  size_t pending = 0;  // entries marked pending
  uint64_t readinessCalls = 0;
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

void SetPending(uint64_t id, bool pending) {
  Registry& r = TheRegistry();
  auto it = r.entries.find(id);
  if (it == r.entries.end() || it->second->pending == pending) return;
  it->second->pending = pending;
  if (pending) ++r.pending;
  else --r.pending;
}

void UnregisterDescriptor(uint64_t id) {
  SetPending(id, false);
  TheRegistry().entries.erase(id);
}

}  // namespace posix

uint64_t ReadinessCalls() { return posix::TheRegistry().readinessCalls; }

void WaitAndDispatch(uint32_t maxWaitMs) {
  posix::Registry& registry = posix::TheRegistry();
  auto& entries = registry.entries;
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  fds.reserve(entries.size());
  ids.reserve(entries.size());
  for (const auto& [id, entry] : entries) {
    fds.push_back(pollfd{entry->fd, entry->events, 0});
    ids.push_back(id);
  }
  // Bytes already read and not yet taken: look, but do not block.
  const bool anyPending = registry.pending > 0;
  int timeout = maxWaitMs > 1000000 ? 1000000 : static_cast<int>(maxWaitMs);
  if (anyPending) timeout = 0;
  ++registry.readinessCalls;
  const int ready = poll(fds.data(), fds.size(), timeout);
  // Time-out, or EINTR: the caller's loop checks its deadline.
  if (ready <= 0 && !anyPending) return;
  for (size_t i = 0; i < fds.size(); ++i) {
    const short revents = ready > 0 ? fds[i].revents : 0;
    // A handler may close ports or sockets, its own included: look each one
    // up again and keep the entry alive while its handler runs.
    auto it = entries.find(ids[i]);
    if (it == entries.end()) continue;
    if (revents == 0 && !it->second->pending) continue;
    std::shared_ptr<posix::Entry> entry = it->second;
    entry->handler(revents);
  }
}

// No host message queue to give anything back to.
void OnOutermostReturn() {}

}  // namespace pesmo6::platform
