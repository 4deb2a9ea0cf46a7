// When a serial wire at a given character time has carried each character
// of a text whole, for the simulators that hand bytes out at line speed.
// Characters whose time has come go out together, so high speeds need no
// sleep per character.  A sender held up further behind its schedule than
// the slack does not catch up: the wire paused, as a real one would,
// instead of sending faster.
#pragma once

#include <chrono>
#include <cstddef>

namespace pesmo6sim {

class WireSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  WireSchedule(std::chrono::microseconds pace, size_t size, std::chrono::microseconds slack)
      : pace_(pace), size_(size), slack_(slack), start_(Clock::now()) {}

  // How many characters are due by `now` when `done` have gone out; a
  // sender further behind than the slack starts its schedule again.
  size_t Due(size_t done, Clock::time_point now) {
    if (now - At(done + 1) > slack_) start_ = now - pace_ * static_cast<long>(done + 1);
    return Carried(now);
  }
  // How many characters the wire has carried whole by `now`, pauses or not.
  size_t Carried(Clock::time_point now) const {
    const auto n = static_cast<size_t>((now - start_) / pace_);
    return n < size_ ? n : size_;
  }
  // When character n (counted from 1) has crossed the wire.
  Clock::time_point At(size_t n) const { return start_ + pace_ * static_cast<long>(n); }
  // Counts `done` characters as gone out just now.
  void Restart(size_t done, Clock::time_point now) { start_ = now - pace_ * static_cast<long>(done); }

 private:
  std::chrono::microseconds pace_;
  size_t size_;
  std::chrono::microseconds slack_;
  Clock::time_point start_;
};

}  // namespace pesmo6sim
