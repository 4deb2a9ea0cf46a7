// Host name lookups with a bound.  The system resolvers block for as long
// as the name servers take (several times 5 s when one does not answer), so
// the lookup runs on a worker thread and the caller waits only as long as
// its own bound allows.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Platform.h"

namespace pesmo6::platform {
namespace {

struct Pending {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool found = false;
  uint32_t address = 0;
};

// Lookups still running, by name; at most kMaxPending at a time, so that a
// dead name server cannot make the host's process collect threads.
constexpr size_t kMaxPending = 8;

std::mutex& TableMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::map<std::string, std::shared_ptr<Pending>>& Table() {
  static auto* t = new std::map<std::string, std::shared_ptr<Pending>>;
  return *t;
}
std::atomic<NameLookup>& Resolver() {
  static std::atomic<NameLookup> r{nullptr};
  return r;
}

}  // namespace

void SetNameLookupForTest(NameLookup lookup) { Resolver().store(lookup); }

bool LookUpWithin(const std::string& name, uint32_t timeoutMs, uint32_t& address) {
  if (name.empty()) return false;
  std::shared_ptr<Pending> pending;
  {
    std::lock_guard<std::mutex> lock(TableMutex());
    auto& table = Table();
    if (auto it = table.find(name); it != table.end()) {
      pending = it->second;
    } else {
      if (table.size() >= kMaxPending) return false;
      pending = std::make_shared<Pending>();
      table.emplace(name, pending);
      NameLookup lookup = Resolver().load();
      if (lookup == nullptr) lookup = SystemNameLookup;
      try {
        std::thread([pending, name, lookup] {
          uint32_t found = 0;
          bool ok = false;
          try {
            ok = lookup(name, found);
          } catch (...) {
            ok = false;
          }
          {
            std::lock_guard<std::mutex> lock(TableMutex());
            auto& t = Table();
            if (auto it = t.find(name); it != t.end() && it->second == pending) t.erase(it);
          }
          std::lock_guard<std::mutex> lock(pending->mutex);
          pending->finished = true;
          pending->found = ok;
          pending->address = found;
          pending->done.notify_all();
        }).detach();
      } catch (...) {
        // No thread to be had: no lookup.
        table.erase(name);
        return false;
      }
    }
  }
  std::unique_lock<std::mutex> lock(pending->mutex);
  if (!pending->done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pending->finished; }))
    return false;
  if (!pending->found) return false;
  address = pending->address;
  return true;
}

}  // namespace pesmo6::platform
