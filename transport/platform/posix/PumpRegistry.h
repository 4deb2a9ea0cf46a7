// Registry of the descriptors the POSIX event pump waits on.  Serial ports
// and sockets join it while they are open; one poll() serves them all.
#pragma once

#include <cstdint>
#include <functional>

namespace pesmo6::platform::posix {

using ReadyHandler = std::function<void(short revents)>;

// Returns an id for Unregister/SetEvents.  The handler runs inside
// WaitAndDispatch when poll() reports the descriptor.
uint64_t RegisterDescriptor(int fd, short events, ReadyHandler handler);
void SetEvents(uint64_t id, short events);
// Safe from inside a handler, also for the entry being dispatched.
void UnregisterDescriptor(uint64_t id);

}  // namespace pesmo6::platform::posix
