// A simulated Ohaus balance: it prints one line (text, CR, LF) for every
// print request "P" CR LF it receives, on a pseudo-terminal or on a line of a
// simulated converter.  It can answer late, answer from a script, or not at
// all, and it records every byte it received with its arrival time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Pty.h"

namespace pesmo6sim {

// An answer line without its CR LF: the weight text as the balance shows it
// (blanks, sign, digits, point), a blank and the unit, then " ?" while the
// balance is in motion.  OhausLinha("   12.5", "kg", true) is "   12.5 kg ?".
std::string OhausLinha(const std::string& peso, const std::string& unidade = "kg", bool movimento = false);

class OhausBalance {
 public:
  using Clock = std::chrono::steady_clock;

  struct Byte {
    char value;
    Clock::time_point when;  // when the simulator saw it
  };

  // On a pseudo-terminal of its own (a serial port).
  OhausBalance();
  // Behind line `line` (1..4) of `converter`, which must outlive it.
  OhausBalance(Converter& converter, int line);
  ~OhausBalance();
  OhausBalance(const OhausBalance&) = delete;
  OhausBalance& operator=(const OhausBalance&) = delete;

  // The pseudo-terminal's path (serial balances only).
  const std::string& Device() const;
  Pty& Line();

  // The line printed (followed by CR LF) for every request; empty: silence.
  void SetAnswer(std::string line);
  // Lines used one per request, in order, before the fixed answer.
  void QueueAnswers(std::vector<std::string> lines);
  // Time between a request's LF and the answer.
  void SetDelay(std::chrono::milliseconds delay);
  // The wire's pace on a serial port (default 1146 us, 9600 baud at 7E2).
  void SetPace(std::chrono::microseconds pace);
  // Bytes sent at once, unasked.
  void Inject(std::string bytes);

  // Complete requests ("P" CR LF) seen so far.
  int Requests() const;
  // Answers written so far.
  int Answers() const;
  // Every byte received, in order.
  std::vector<Byte> Received() const;
  std::string ReceivedText() const;
  // Forgets the bytes received so far (the counters stay).
  void ClearReceived();

 private:
  struct Pending {
    Clock::time_point when;
    std::string bytes;
  };

  void Feed(const std::string& bytes, Clock::time_point when);
  void Run();
  void Write(const std::string& bytes);

  std::unique_ptr<Pty> pty_;
  Converter* converter_ = nullptr;
  int line_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::string answer_;
  std::deque<std::string> script_;
  std::chrono::milliseconds delay_{0};
  std::chrono::microseconds pace_{1146};
  std::deque<Pending> pending_;
  std::vector<Byte> received_;
  int state_ = 0;  // 0 idle, 1 after "P", 2 after CR
  int requests_ = 0;
  int answers_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace pesmo6sim
