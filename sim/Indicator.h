// A simulated indicator that talks continuously: a background thread writes
// the current frame to a pseudo-terminal at a fixed period.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
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
  // Bytes written once, right after the library next opens the port (the
  // pty's slave side): what a USB adapter still holds when it is flushed.
  void SetBurstOnOpen(std::string bytes);
  // Frames (or injections) written so far.
  unsigned long Sent() const { return sent_.load(); }

 private:
  void Run();
  void WritePaced(const std::string& bytes);
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
  bool slaveWasOpen_ = false;
  std::atomic<unsigned long> sent_{0};
  std::thread thread_;
};

}  // namespace pesmo6sim
