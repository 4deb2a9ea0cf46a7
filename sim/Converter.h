// A simulated converter on a loopback address: TCP ports 8881 to 8884 carry
// simulated indicators on serial lines A to D; port 8880 answers the digital
// I/O command protocol.  It can be told to misbehave.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pesmo6sim {

// A loopback address no other simulator of this process (or, very likely,
// of another test process) uses: 127.x.y.z.
std::string UniqueLoopback();

class Converter {
 public:
  enum class CommandMode {
    Normal,      // answer at once
    Refuse,      // nothing listens on 8880
    Silent,      // accept, read, never answer
    Split,       // reply in three segments, the terminator cut in two
    WrongOrder,  // terminator " OK" CR LF instead of LF CR
    ZeroByte,    // a zero byte and junk inside the first segment
    CloseEarly,  // half a reply, then the connection closes
    Fixed,       // the text set by SetFixedReply, as it is
    Reset,       // the connection is reset on the command
  };

  // Binds 127.x.y.z ports 8880-8884; an empty address picks a free one.
  explicit Converter(const std::string& address = "");
  ~Converter();
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  const std::string& Address() const;

  // Lines 1..4 ("A".."D").  A frame (or generated frames) goes to every
  // connected client of the line at each period; empty means silence.
  void SetLineFrame(int line, std::string frame,
                    std::chrono::milliseconds period = std::chrono::milliseconds(20));
  void SetLineGenerator(int line, std::function<std::string()> generator,
                        std::chrono::milliseconds period = std::chrono::milliseconds(20));
  // Answers bytes the library sends on the line (request-driven indicators).
  void SetLineResponder(int line, std::function<std::string(const std::string& received)> responder);
  void InjectLine(int line, std::string bytes);
  // Closes the line's client connections (the converter drops the link).
  void DropLine(int line);
  // Stops or restarts listening on the line's port.
  void SetLineListening(int line, bool listening);
  // The pace of the line's serial wire: every byte for the line's clients
  // (frames, injections, answers) reaches them once the wire would have
  // carried it whole.  Default 2084 us (4800 baud at 7E1); zero sends each
  // write at once, faster than any wire (what a backlog delivers).
  void SetLinePace(int line, std::chrono::microseconds perByte);
  // The line's periodic frames are handed over whole once the wire carried
  // them (a converter that forwards frame by frame).
  void SetLineWholeFrames(int line, bool whole);
  // Called (on the converter's thread, with its lock held: it must not call
  // the converter) for every periodic frame when its first byte goes out,
  // with the time that byte began on the line's wire and the frame.
  void SetLineFrameOut(int line,
                       std::function<void(std::chrono::steady_clock::time_point, const std::string& frame)> callback);
  // A converter that loses power and boots again: PowerOff resets every
  // connection and stops listening on every port, so connections are
  // refused; PowerOn listens again as before (lines and command mode keep
  // their settings).
  void PowerOff();
  void PowerOn();
  int LineClients(int line) const;
  int LineAccepted(int line) const;
  std::string LineReceived(int line) const;

  void SetCommandMode(CommandMode mode);
  void SetFixedReply(std::string reply);
  // Every command received (without its CR), in order.
  std::vector<std::string> Commands() const;
  int CommandConnections() const;
  // Forgets the commands and line bytes recorded so far (a long run would
  // otherwise keep them all).
  void ClearRecords();
  void SetInputs(int value);
  int Outputs() const;
  // Buffer clears asked for: kind 'R' (receive) or 'W' (transmit).
  int Clears(char kind, int line) const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace pesmo6sim
