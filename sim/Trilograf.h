// Simulated Trilograf tag readers.  On a serial port (a pseudo-terminal) the
// reader answers three framed requests: hello (0x44), readiness (0x80) and
// read tag (0x40 0x01).  Behind a converter line it sends STX, the tag text
// and CR, unasked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Pty.h"

namespace pesmo6sim {

// The two's complement of the byte sum: what makes a frame sum to 0.
uint8_t SomaTrilograf(const std::string& bytes);

// A reply frame: 0x0B, byte 1, length (command, data and checksum), command,
// data, checksum (SomaTrilograf of the bytes before it, unless given).
std::string RespostaTrilograf(uint8_t byte1, uint8_t comando, const std::string& dados, int checksum = -1);

// A network tag line: STX, the tag, and CR unless `cr` is false.
std::string LinhaTag(const std::string& tag, bool cr = true);

class TagReader {
 public:
  using Clock = std::chrono::steady_clock;

  // Tag bytes 01 02 ... 0A AB FF, status byte in data byte 4 (byte 1 = 3).
  TagReader();
  ~TagReader();
  TagReader(const TagReader&) = delete;
  TagReader& operator=(const TagReader&) = delete;

  const std::string& Device() const { return pty_.SlavePath(); }
  Pty& Line() { return pty_; }

  // Where the readiness reply puts its status: byte 1 = 3 reads data byte 4,
  // byte 1 above 3 reads data byte 5, below 3 means "not ready".  The reply
  // carries the status 1 in the position its byte 1 names and 0 in the other.
  void SetReadiness(uint8_t byte1);
  // The 12 tag bytes; an empty tag answers the read with status 0 (no tag).
  void SetTag(std::string bytes);
  // Exact bytes answered to a request with this command instead of the
  // reader's own reply (empty: no answer at all).
  void SetReply(uint8_t comando, std::string bytes);
  void ClearReplies();

  // Every complete request frame received, in order.
  std::vector<std::string> Requests() const;
  // Everything received, framed or not.
  std::string Received() const;
  // Forgets the requests and bytes recorded so far.
  void ClearRecords();

  // The replies the reader builds itself.
  std::string HelloReply() const;
  std::string ReadinessReply() const;
  std::string TagReply() const;

 private:
  void Run();
  void Handle(const std::string& bytes);
  std::string ReplyTo(uint8_t comando) const;

  Pty pty_;
  mutable std::mutex mutex_;
  uint8_t readiness_ = 3;
  std::string tag_;
  std::map<uint8_t, std::string> replies_;
  std::string input_;
  std::string received_;
  std::vector<std::string> requests_;
  bool stop_ = false;
  std::thread thread_;
};

// A tag reader behind line `line` of `converter` (which must outlive it).
class NetworkTagReader {
 public:
  NetworkTagReader(Converter& converter, int line) : converter_(converter), line_(line) {}
  ~NetworkTagReader() { converter_.SetLineFrame(line_, ""); }
  // Sends one line now.
  void Send(const std::string& tag, bool cr = true) { converter_.InjectLine(line_, LinhaTag(tag, cr)); }
  // Sends raw bytes now.
  void SendRaw(const std::string& bytes) { converter_.InjectLine(line_, bytes); }
  // Repeats the line every `period` (a tag held in front of the reader);
  // an empty tag stops it.
  void Present(const std::string& tag, std::chrono::milliseconds period = std::chrono::milliseconds(50)) {
    converter_.SetLineFrame(line_, tag.empty() ? std::string() : LinhaTag(tag), period);
  }

 private:
  Converter& converter_;
  int line_;
};

}  // namespace pesmo6sim
