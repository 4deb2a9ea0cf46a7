// Helpers shared by the suites: a fixture that leaves the library empty, a
// scripted host hook, and the decimal separator the drivers will use.
#pragma once

#include <gtest/gtest.h>
#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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

// How long each thread of this process has been ready to run but waiting
// for a core, in nanoseconds, by thread id (/proc/self/task/*/schedstat).
inline std::map<long, unsigned long long> QueuedNsByThread() {
  std::map<long, unsigned long long> queued;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::ifstream f(it->path() / "schedstat");
    unsigned long long running = 0, waiting = 0;
    if (f >> running >> waiting) queued[std::atol(it->path().filename().c_str())] = waiting;
  }
  return queued;
}

// The time a stretch of a test took, measured as the soak measures calls.
// Wall() is what the clock shows: a wait lasts at least its time, so lower
// bounds use it.  Own() leaves out the time the measuring thread was ready
// to run but waited for a core, and the longest such wait of any other
// thread of the process (a simulator thread that was run late delivers late,
// and one preempted inside the kernel's terminal code holds up the library's
// port calls meanwhile): on a loaded machine that says nothing of the
// library, so upper bounds use Own().  On an idle machine both agree, and a
// bound keeps its full strength.  Queued() is the measuring thread's wait in
// ms, MostQueued() the longest of the other threads'.
class Stopwatch {
 public:
  Stopwatch() : self_(gettid()), queued0_(QueuedNsByThread()), t0_(Clock::now()) {}
  long long Wall() const { return MsSince(t0_); }
  long long Own() const {
    const long long wall = Wall();
    const auto now = QueuedNsByThread();
    return std::max(0LL, wall - Ms(Mine(now)) - Ms(MostOther(now)));
  }
  long long Queued() const { return Ms(Mine(QueuedNsByThread())); }
  long long MostQueued() const { return Ms(MostOther(QueuedNsByThread())); }
  Clock::time_point Start() const { return t0_; }

 private:
  static long long Ms(unsigned long long ns) { return static_cast<long long>(ns / 1000000); }
  // A thread that started since counts whole; one that ended is left out.
  unsigned long long Since(long tid, unsigned long long ns) const {
    const auto it = queued0_.find(tid);
    const unsigned long long before = it == queued0_.end() ? 0 : it->second;
    return ns > before ? ns - before : 0;
  }
  unsigned long long Mine(const std::map<long, unsigned long long>& now) const {
    const auto it = now.find(self_);
    return it == now.end() ? 0 : Since(self_, it->second);
  }
  unsigned long long MostOther(const std::map<long, unsigned long long>& now) const {
    unsigned long long most = 0;
    for (const auto& [tid, ns] : now) {
      if (tid != self_) most = std::max(most, Since(tid, ns));
    }
    return most;
  }
  long self_;
  std::map<long, unsigned long long> queued0_;
  Clock::time_point t0_;
};
inline long long MsSince(const Stopwatch& s) { return s.Wall(); }
inline long long OwnMsSince(const Stopwatch& s) { return s.Own(); }

// Polls a condition another thread (a simulator) makes true.  The limit
// only ends a wait for what should already have happened: generous, so that
// a loaded machine's late simulator thread is no failure.
template <class F>
bool Eventually(F condition, int ms = 5000) {
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

// A hook body that runs `action` once the update has settled: counted from
// the hook's first call (the first pump pass, after the update's first step
// discarded and began the settle), at the pass after the first one at least
// kSettleMs later, so that the update's step in between has ended the settle
// however late a loaded machine ran it.  The hook is installed just before
// the update starts.
inline HostHook::Body OnceSettled(std::function<void()> action) {
  struct State {
    bool started = false;
    bool due = false;
    bool done = false;
    Clock::time_point t0;
  };
  auto state = std::make_shared<State>();
  return [state, action = std::move(action)](int) {
    State& st = *state;
    if (st.done) return;
    if (!st.started) {
      st.started = true;
      st.t0 = Clock::now();
      return;
    }
    if (!st.due) {
      st.due = MsSince(st.t0) >= kSettleMs;
      return;
    }
    st.done = true;
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
