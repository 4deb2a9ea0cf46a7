// Helpers shared by the suites: a fixture that leaves the library empty, a
// scripted host hook, and the decimal separator the drivers will use.
#pragma once

#include <gtest/gtest.h>
#include <langinfo.h>
#include <locale.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pesmo6.h"

namespace pesmo6test {

// The separator of the environment's locale, as the drivers read it.
inline char Sep() {
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return '.';
  const char c = nl_langinfo_l(RADIXCHAR, loc)[0];
  freelocale(loc);
  return c;
}

// A weight text written with ',' in the test, adapted to the separator.
inline std::string W(std::string text) {
  for (char& c : text) {
    if (c == ',') c = Sep();
  }
  return text;
}

inline std::string Spaces(size_t n) { return std::string(n, ' '); }

using Clock = std::chrono::steady_clock;
inline long long MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Polls a condition another thread (a simulator) makes true.
template <class F>
bool Eventually(F condition, int ms = 1000) {
  const auto t0 = Clock::now();
  while (MsSince(t0) < ms) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// Runs a test body once per pass of the library's event pump.
class HostHook {
 public:
  using Body = std::function<void(int pass)>;
  explicit HostHook(Body body) : body_(std::move(body)) {
    current_ = this;
    Seta_Eventos(&Trampoline, this);
  }
  ~HostHook() {
    Seta_Eventos(nullptr, nullptr);
    current_ = nullptr;
  }
  int Passes() const { return passes_; }

 private:
  static void PESMO6_CALL Trampoline(void* context) {
    auto* self = static_cast<HostHook*>(context);
    self->body_(++self->passes_);
  }
  Body body_;
  int passes_ = 0;
  static inline HostHook* current_ = nullptr;
};

// What arrives in the library's first moments after a port opens or an
// update starts is dropped as an adapter's or a converter's leftovers (the
// settle, 24 ms); a frame meant as an update's reading is sent after it.
constexpr long long kSettleMs = 30;

// A hook body that runs `action` once, at the first pump pass at least
// kSettleMs after the body was made (made just before the update starts).
inline HostHook::Body OnceSettled(std::function<void()> action) {
  const auto t0 = Clock::now();
  auto done = std::make_shared<bool>(false);
  return [t0, done, action = std::move(action)](int) {
    if (*done || MsSince(t0) < kSettleMs) return;
    *done = true;
    action();
  };
}

// A converter number no Seta_Ip has handed out: one past a converter added
// just now (the converter table only grows).
inline int32_t UnusedConverter() {
  static int n = 0;
  const std::string address = "unused-" + std::to_string(++n);
  return Seta_Ip(address.c_str()) + 1;
}

// Collects the trace lines.
class TraceLog {
 public:
  TraceLog() {
    lines_ = &store_;
    Seta_Log(&Sink);
  }
  ~TraceLog() {
    Seta_Log(nullptr);
    lines_ = nullptr;
  }
  const std::vector<std::string>& Lines() const { return store_; }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : store_) n += l.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  static void PESMO6_CALL Sink(const char* line) {
    if (lines_) lines_->push_back(line);
  }
  std::vector<std::string> store_;
  static inline std::vector<std::string>* lines_ = nullptr;
};

// Every test starts and ends with an empty channel table.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteAll(); }
  void TearDown() override {
    Seta_Eventos(nullptr, nullptr);
    Seta_Log(nullptr);
    DeleteAll();
  }
  static void DeleteAll() { DeleteAllChannels(); }

 public:
  static void DeleteAllChannels() {
    for (int i = 0; i < 512; ++i) Deleta_Canal(i);
  }
};

}  // namespace pesmo6test
