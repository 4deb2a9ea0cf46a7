// A simulated indicator that talks continuously: a background thread writes
// the current frame to a pseudo-terminal at a fixed period.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "Pty.h"

namespace pesmo6sim {

class StreamingIndicator {
 public:
  explicit StreamingIndicator(std::chrono::milliseconds period = std::chrono::milliseconds(50));
  ~StreamingIndicator();

  const std::string& Device() const { return pty_.SlavePath(); }
  Pty& Line() { return pty_; }

  // The frame sent each period (empty: silence).
  void SetFrame(std::string frame);
  // A generator called for each period instead of the fixed frame.
  void SetGenerator(std::function<std::string()> generator);
  // Bytes sent once, before the next periodic frame.
  void Inject(std::string bytes);
  void SetPeriod(std::chrono::milliseconds period);
  // Bytes go out at this pace, each once the wire would have carried it
  // (default 2084 us, 4800 baud at 7E1; zero: each write at once, faster
  // than any wire, what an adapter's buffer or a backlog delivers).
  void SetWirePace(std::chrono::microseconds perCharacter);
  // Bytes written once, `delay` after the library next opens the port (the
  // pty's slave side): what a USB adapter still holds when it is flushed.
  // With `packet` > 0 they come in pieces of that size, `gap` apart (a USB
  // adapter's 62-byte packets).
  void SetBurstOnOpen(std::string bytes, std::chrono::milliseconds delay = std::chrono::milliseconds(3),
                      size_t packet = 0, std::chrono::microseconds gap = std::chrono::microseconds(0));
  // Each periodic frame is handed over whole once the wire has carried it
  // (a USB-CDC indicator, a network serial server's virtual port).
  void SetWholeFrames(bool whole);
  // Called for every periodic frame once its first byte was written, with
  // the time that byte began on the wire (its write less one character) and
  // the frame.
  void SetOnFrameOut(std::function<void(std::chrono::steady_clock::time_point, const std::string&)> callback);
  // Frames (or injections) written so far.
  unsigned long Sent() const { return sent_.load(); }

 private:
  void Run();
  void WritePaced(const std::string& bytes, bool frame = false);
  void WriteBurst(const std::string& burst);
  bool SlaveOpen() const;

  Pty pty_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::string frame_;
  std::function<std::string()> generator_;
  std::deque<std::string> injected_;
  std::chrono::milliseconds period_;
  std::atomic<bool> stop_{false};
  std::chrono::microseconds pace_{2084};  // 4800 baud, 7E1
  std::string burst_;
  std::chrono::milliseconds burstDelay_{3};
  size_t burstPacket_ = 0;
  std::chrono::microseconds burstGap_{0};
  bool whole_ = false;
  std::function<void(std::chrono::steady_clock::time_point, const std::string&)> onFrameOut_;
  bool slaveWasOpen_ = false;
  std::atomic<unsigned long> sent_{0};
  std::thread thread_;
};

}  // namespace pesmo6sim
