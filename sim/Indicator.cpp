#include "Indicator.h"

namespace pesmo6sim {

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

void StreamingIndicator::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  auto next = std::chrono::steady_clock::now();
  while (!stop_) {
    if (!injected_.empty()) {
      std::string bytes = std::move(injected_.front());
      injected_.pop_front();
      lock.unlock();
      pty_.Write(bytes);
      ++sent_;
      lock.lock();
      continue;
    }
    if (std::chrono::steady_clock::now() >= next) {
      std::string frame = generator_ ? generator_() : frame_;
      next = std::chrono::steady_clock::now() + period_;
      if (!frame.empty()) {
        lock.unlock();
        pty_.Write(frame);
        ++sent_;
        lock.lock();
      }
      continue;
    }
    wake_.wait_until(lock, next);
  }
}

}  // namespace pesmo6sim
