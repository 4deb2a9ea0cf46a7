#include "Indicator.h"

#include <algorithm>

#include <poll.h>

#include "WireSchedule.h"

namespace pesmo6sim {

namespace {
// How far behind its schedule a paced writer may fall and still send what
// was due together (sleeps are coarse); further behind, the wire paused.
constexpr std::chrono::microseconds kRetomada{3000};
}  // namespace

StreamingIndicator::StreamingIndicator(std::chrono::milliseconds period)
    : period_(period), thread_([this] { Run(); }) {}

StreamingIndicator::~StreamingIndicator() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void StreamingIndicator::SetFrame(std::string frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  frame_ = std::move(frame);
  generator_ = nullptr;
}

void StreamingIndicator::SetGenerator(std::function<std::string()> generator) {
  std::lock_guard<std::mutex> lock(mutex_);
  generator_ = std::move(generator);
}

void StreamingIndicator::Inject(std::string bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    injected_.push_back(std::move(bytes));
  }
  wake_.notify_all();
}

void StreamingIndicator::SetPeriod(std::chrono::milliseconds period) {
  std::lock_guard<std::mutex> lock(mutex_);
  period_ = period;
}

void StreamingIndicator::SetWirePace(std::chrono::microseconds perCharacter) {
  std::lock_guard<std::mutex> lock(mutex_);
  pace_ = perCharacter;
}

void StreamingIndicator::SetBurstOnOpen(std::string bytes, std::chrono::milliseconds delay, size_t packet,
                                        std::chrono::microseconds gap) {
  std::lock_guard<std::mutex> lock(mutex_);
  burst_ = std::move(bytes);
  burstDelay_ = delay;
  burstPacket_ = packet;
  burstGap_ = gap;
}

void StreamingIndicator::SetWholeFrames(bool whole) {
  std::lock_guard<std::mutex> lock(mutex_);
  whole_ = whole;
}

void StreamingIndicator::SetOnFrameOut(
    std::function<void(std::chrono::steady_clock::time_point, const std::string&)> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  onFrameOut_ = std::move(callback);
}

void StreamingIndicator::WriteBurst(const std::string& burst) {
  std::chrono::milliseconds delay;
  size_t packet;
  std::chrono::microseconds gap;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delay = burstDelay_;
    packet = burstPacket_;
    gap = burstGap_;
  }
  std::this_thread::sleep_for(delay);
  if (packet == 0) {
    pty_.Write(burst);
    return;
  }
  for (size_t i = 0; i < burst.size(); i += packet) {
    if (i > 0) std::this_thread::sleep_for(gap);
    pty_.Write(burst.substr(i, packet));
  }
}

// The master reports POLLHUP while no one holds the slave side open.
bool StreamingIndicator::SlaveOpen() const {
  pollfd p{pty_.MasterFd(), 0, 0};
  return poll(&p, 1, 0) == 0 || (p.revents & POLLHUP) == 0;
}

void StreamingIndicator::WritePaced(const std::string& bytes, bool frame) {
  std::chrono::microseconds pace;
  bool whole;
  std::function<void(std::chrono::steady_clock::time_point, const std::string&)> onFrameOut;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pace = pace_;
    whole = whole_ && frame;
    if (frame) onFrameOut = onFrameOut_;
  }
  auto firstOut = [&] {
    if (onFrameOut) onFrameOut(std::chrono::steady_clock::now() - pace, bytes);
    onFrameOut = nullptr;
  };
  if (pace.count() == 0) {
    firstOut();
    pty_.Write(bytes);
    return;
  }
  // Each character is handed over once the wire would have carried it
  // whole: the first at the end of its own character time.  Whole frames
  // wait for their last character.
  WireSchedule wire(pace, bytes.size(), kRetomada);
  size_t done = 0;
  while (done < bytes.size()) {
    if (stop_) return;
    // An open between two characters gets the adapter's leftovers first,
    // as a real adapter hands out its buffer before what follows.
    std::string burst;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const bool open = SlaveOpen();
      if (open && !slaveWasOpen_ && !burst_.empty()) burst = burst_;
      slaveWasOpen_ = open;
    }
    if (!burst.empty()) {
      WriteBurst(burst);
      wire.Restart(done, std::chrono::steady_clock::now());
    }
    const auto now = std::chrono::steady_clock::now();
    // A whole frame goes out in one write once its last character is due.
    size_t due = whole ? wire.Carried(now) : wire.Due(done, now);
    if (whole && due < bytes.size()) due = done;
    if (due > done) {
      if (done == 0) {
        // The first byte began on the wire one character before it came out
        // (a whole frame: its length before).
        if (onFrameOut) onFrameOut(now - pace * static_cast<long>(whole ? bytes.size() : 1), bytes);
        onFrameOut = nullptr;
      }
      pty_.Write(bytes.substr(done, due - done));
      done = due;
      continue;
    }
    std::this_thread::sleep_until(wire.At(whole ? bytes.size() : done + 1));
  }
}

void StreamingIndicator::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  auto next = std::chrono::steady_clock::now();
  while (!stop_) {
    if (!injected_.empty()) {
      std::string bytes = std::move(injected_.front());
      injected_.pop_front();
      lock.unlock();
      WritePaced(bytes);
      ++sent_;
      lock.lock();
      continue;
    }
    if (std::chrono::steady_clock::now() >= next) {
      std::string frame = generator_ ? generator_() : frame_;
      next = std::chrono::steady_clock::now() + period_;
      if (!frame.empty()) {
        lock.unlock();
        WritePaced(frame, true);
        ++sent_;
        lock.lock();
      }
      continue;
    }
    if (!burst_.empty()) {
      // Watch for the open while idle too.
      const bool open = SlaveOpen();
      if (open && !slaveWasOpen_) {
        const std::string burst = burst_;
        slaveWasOpen_ = true;
        lock.unlock();
        WriteBurst(burst);
        lock.lock();
        continue;
      }
      slaveWasOpen_ = open;
      wake_.wait_until(lock, std::min(next, std::chrono::steady_clock::now() + std::chrono::milliseconds(1)));
      continue;
    }
    wake_.wait_until(lock, next);
  }
}

}  // namespace pesmo6sim
