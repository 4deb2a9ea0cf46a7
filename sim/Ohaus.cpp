#include "Ohaus.h"

#include <algorithm>
#include <stdexcept>

namespace pesmo6sim {

std::string OhausLinha(const std::string& peso, const std::string& unidade, bool movimento) {
  std::string linha = peso + " " + unidade;
  if (movimento) linha += " ?";
  return linha;
}

OhausBalance::OhausBalance() : pty_(std::make_unique<Pty>()) {
  thread_ = std::thread([this] { Run(); });
}

OhausBalance::OhausBalance(Converter& converter, int line) : converter_(&converter), line_(line) {
  converter_->SetLineResponder(line_, [this](const std::string& bytes) {
    Feed(bytes, Clock::now());
    return std::string();  // answers go out from this simulator's thread
  });
  thread_ = std::thread([this] { Run(); });
}

OhausBalance::~OhausBalance() {
  // After this returns the converter no longer calls into this object.
  if (converter_) converter_->SetLineResponder(line_, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

const std::string& OhausBalance::Device() const {
  if (!pty_) throw std::logic_error("a balance behind a converter has no device");
  return pty_->SlavePath();
}

Pty& OhausBalance::Line() {
  if (!pty_) throw std::logic_error("a balance behind a converter has no pseudo-terminal");
  return *pty_;
}

void OhausBalance::SetAnswer(std::string line) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(line);
}

void OhausBalance::QueueAnswers(std::vector<std::string> lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& l : lines) script_.push_back(std::move(l));
}

void OhausBalance::SetDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = delay;
}

void OhausBalance::SetPace(std::chrono::microseconds pace) {
  std::lock_guard<std::mutex> lock(mutex_);
  pace_ = pace;
}

void OhausBalance::Inject(std::string bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back({Clock::now(), std::move(bytes)});
  }
  wake_.notify_all();
}

int OhausBalance::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int OhausBalance::Answers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answers_;
}

std::vector<OhausBalance::Byte> OhausBalance::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::string OhausBalance::ReceivedText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const Byte& b : received_) text.push_back(b.value);
  return text;
}

void OhausBalance::ClearReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
  received_.shrink_to_fit();
}

void OhausBalance::Feed(const std::string& bytes, Clock::time_point when) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (char c : bytes) {
      received_.push_back({c, when});
      if (c == 'P') {
        state_ = 1;
      } else if (c == '\r' && state_ == 1) {
        state_ = 2;
      } else if (c == '\n' && state_ == 2) {
        state_ = 0;
        ++requests_;
        std::string line = answer_;
        if (!script_.empty()) {
          line = std::move(script_.front());
          script_.pop_front();
        }
        if (!line.empty()) pending_.push_back({when + delay_, line + "\r\n"});
      } else {
        state_ = 0;
      }
    }
  }
  wake_.notify_all();
}

void OhausBalance::Write(const std::string& bytes) {
  if (converter_) {
    converter_->InjectLine(line_, bytes);
    return;
  }
  // At the balance's wire pace, patiently: a long text is more than the
  // terminal buffers while the library reads it.
  std::chrono::microseconds pace;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pace = pace_;
  }
  pty_->WritePaced(bytes, pace);
}

void OhausBalance::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const auto now = Clock::now();
    auto due = std::min_element(pending_.begin(), pending_.end(),
                                [](const Pending& a, const Pending& b) { return a.when < b.when; });
    if (due != pending_.end() && due->when <= now) {
      std::string bytes = std::move(due->bytes);
      pending_.erase(due);
      lock.unlock();
      Write(bytes);
      lock.lock();
      ++answers_;
      continue;
    }
    auto wait = std::chrono::milliseconds(10);
    if (due != pending_.end()) {
      wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(due->when - now));
    }
    if (!pty_) {
      wake_.wait_for(lock, wait);
      continue;
    }
    lock.unlock();
    const auto t0 = Clock::now();
    const std::string got = pty_->Read(static_cast<int>(wait.count()));
    const auto t1 = Clock::now();
    if (!got.empty()) {
      Feed(got, t1);
    } else if (t1 - t0 < std::chrono::milliseconds(1)) {
      // Nobody holds the port: the terminal reports a hang-up at once.
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    lock.lock();
  }
}

}  // namespace pesmo6sim
