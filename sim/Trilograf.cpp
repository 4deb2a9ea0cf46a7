#include "Trilograf.h"

namespace pesmo6sim {

uint8_t SomaTrilograf(const std::string& bytes) {
  unsigned sum = 0;
  for (char c : bytes) sum += static_cast<uint8_t>(c);
  return static_cast<uint8_t>(0u - sum);
}

std::string RespostaTrilograf(uint8_t byte1, uint8_t comando, const std::string& dados, int checksum) {
  std::string frame;
  frame.push_back('\x0B');
  frame.push_back(static_cast<char>(byte1));
  frame.push_back(static_cast<char>(dados.size() + 2));
  frame.push_back(static_cast<char>(comando));
  frame += dados;
  frame.push_back(static_cast<char>(checksum < 0 ? SomaTrilograf(frame) : checksum));
  return frame;
}

std::string LinhaTag(const std::string& tag, bool cr) { return "\x02" + tag + (cr ? "\r" : ""); }

TagReader::TagReader() : tag_("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\xAB\xFF") {
  thread_ = std::thread([this] { Run(); });
}

TagReader::~TagReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  thread_.join();
}

void TagReader::SetReadiness(uint8_t byte1) {
  std::lock_guard<std::mutex> lock(mutex_);
  readiness_ = byte1;
}

void TagReader::SetTag(std::string bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  tag_ = std::move(bytes);
}

void TagReader::SetReply(uint8_t comando, std::string bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[comando] = std::move(bytes);
}

void TagReader::ClearReplies() {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.clear();
}

std::vector<std::string> TagReader::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::string TagReader::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void TagReader::ClearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
  requests_.shrink_to_fit();
  received_.clear();
  received_.shrink_to_fit();
}

std::string TagReader::HelloReply() const { return RespostaTrilograf(0x00, 0x44, ""); }

std::string TagReader::ReadinessReply() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string dados = readiness_ == 3 ? std::string("\x01\x00", 2)
                      : readiness_ > 3 ? std::string("\x00\x01", 2)
                                       : std::string("\x01\x01", 2);
  return RespostaTrilograf(readiness_, 0x80, dados);
}

std::string TagReader::TagReply() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string dados;
  if (tag_.empty()) {
    dados = std::string(15, '\0');  // status 0: no tag in the field
  } else {
    dados = std::string("\x01\x00\x00", 3) + tag_;
  }
  return RespostaTrilograf(0x00, 0x40, dados);
}

std::string TagReader::ReplyTo(uint8_t comando) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = replies_.find(comando);
    if (it != replies_.end()) return it->second;
  }
  switch (comando) {
    case 0x44: return HelloReply();
    case 0x80: return ReadinessReply();
    case 0x40: return TagReply();
    default: return std::string();
  }
}

void TagReader::Handle(const std::string& bytes) {
  std::vector<uint8_t> commands;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += bytes;
    input_ += bytes;
    for (;;) {
      const size_t start = input_.find('\x0A');
      if (start == std::string::npos) {
        input_.clear();
        break;
      }
      input_.erase(0, start);
      if (input_.size() < 3) break;
      const size_t total = 3 + static_cast<uint8_t>(input_[2]);
      if (input_.size() < total) break;
      const std::string frame = input_.substr(0, total);
      input_.erase(0, total);
      requests_.push_back(frame);
      if (frame.size() > 3) commands.push_back(static_cast<uint8_t>(frame[3]));
    }
  }
  for (uint8_t c : commands) {
    const std::string reply = ReplyTo(c);
    // At the reader's wire pace: 9600 baud, 8N1.
    if (!reply.empty()) pty_.WritePaced(reply, std::chrono::microseconds(1042));
  }
}

void TagReader::Run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    const auto t0 = Clock::now();
    const std::string got = pty_.Read(10);
    if (!got.empty()) {
      Handle(got);
    } else if (Clock::now() - t0 < std::chrono::milliseconds(1)) {
      // Nobody holds the port: the terminal reports a hang-up at once.
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  }
}

}  // namespace pesmo6sim
