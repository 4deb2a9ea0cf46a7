// Registry of the descriptors the POSIX event pump waits on.  Serial ports
// and sockets join it while they are open; one poll() serves them all.
#pragma once

#include <cstdint>
#include <functional>

namespace pesmo6::platform::posix {

using ReadyHandler = std::function<void(short revents)>;

// Returns an id for Unregister/SetEvents.  The handler runs inside
// WaitAndDispatch when poll() reports the descriptor, or with revents 0
// while the entry is marked pending.
uint64_t RegisterDescriptor(int fd, short events, ReadyHandler handler);
void SetEvents(uint64_t id, short events);
// A pending entry holds bytes already read from its descriptor that its
// handler still has to take: the pump does not block while one exists, and
// runs its handler on every pass until it is no longer pending.
void SetPending(uint64_t id, bool pending);
// Safe from inside a handler, also for the entry being dispatched.
void UnregisterDescriptor(uint64_t id);

}  // namespace pesmo6::platform::posix
