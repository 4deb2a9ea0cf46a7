// Converter addresses given as host names: the lookup never holds a call
// past its bound, whatever the name server does.  The system's resolver is
// replaced by one the test controls, so no name server is ever asked.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Converter.h"
#include "Support.h"
#include "pesmo6.h"
#include "transport/DataMDll.h"
#include "transport/platform/Platform.h"

using namespace pesmo6;
using pesmo6sim::Converter;
using pesmo6test::Clock;
using pesmo6test::MsSince;
using pesmo6test::OwnMsSince;
using pesmo6test::Stopwatch;

namespace {

// The resolver seam: names ending in ".hung" never answer until released;
// names ending in ".slow" answer gSlowTarget after 50 ms; anything else is
// unknown.
std::mutex gMutex;
std::condition_variable gRelease;
bool gReleased = false;
std::atomic<int> gCalls{0};
std::string gSlowTarget;  // set before any lookup starts

bool Resolver(const std::string& name, uint32_t& address) {
  ++gCalls;
  auto ends = [&](const std::string& tail) {
    return name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (ends(".hung")) {
    std::unique_lock<std::mutex> lock(gMutex);
    gRelease.wait(lock, [] { return gReleased; });
    return false;
  }
  if (ends(".slow")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    in_addr a{};
    if (inet_pton(AF_INET, gSlowTarget.c_str(), &a) != 1) return false;
    address = a.s_addr;
    return true;
  }
  return false;
}

class NameLookups : public pesmo6test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    {
      std::lock_guard<std::mutex> lock(gMutex);
      gReleased = false;
    }
    gCalls = 0;
    saved_ = LimitesDoComando();
    platform::SetNameLookupForTest(&Resolver);
  }
  void TearDown() override {
    LimitesDoComando() = saved_;
    // Lets every hung lookup finish, so no worker outlives the test's data.
    {
      std::lock_guard<std::mutex> lock(gMutex);
      gReleased = true;
    }
    gRelease.notify_all();
    uint32_t unused = 0;
    for (int i = 0; i < 200 && platform::LookUpWithin("drain.hung", 0, unused); ++i) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    platform::SetNameLookupForTest(nullptr);
    LibraryTest::TearDown();
  }
  LimitesComando saved_{};
};

TEST_F(NameLookups, AHungLookupEndsAtItsBoundAndIsNotStartedTwice) {
  uint32_t address = 0;
  const Stopwatch t0;
  EXPECT_FALSE(platform::LookUpWithin("scale-1.hung", 150, address));
  const auto spent = MsSince(t0), own = OwnMsSince(t0);
  EXPECT_GE(spent, 140);
  EXPECT_LT(own, 400);
  // The same name again while the first lookup still runs: it is waited
  // for, not started a second time.
  EXPECT_FALSE(platform::LookUpWithin("scale-1.hung", 50, address));
  EXPECT_EQ(gCalls.load(), 1);
}

TEST_F(NameLookups, AnAnswerWithinTheBoundIsTaken) {
  uint32_t address = 0;
  gSlowTarget = "127.0.0.9";
  ASSERT_TRUE(platform::LookUpWithin("scale.slow", 1000, address));
  in_addr a{};
  a.s_addr = address;
  EXPECT_STREQ(inet_ntoa(a), "127.0.0.9");
  EXPECT_FALSE(platform::LookUpWithin("nowhere.example", 1000, address));
  EXPECT_FALSE(platform::LookUpWithin("", 1000, address));
}

TEST_F(NameLookups, ManyHungNamesDoNotPileUpWorkers) {
  uint32_t address = 0;
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(platform::LookUpWithin("n" + std::to_string(i) + ".hung", 5, address));
  EXPECT_LE(gCalls.load(), 8) << "lookups still running are bounded";
}

TEST_F(NameLookups, SelectCanalThroughANameConnects) {
  Converter conv;
  gSlowTarget = conv.Address();
  const int32_t ip = Seta_Ip("conv-a.slow");
  const int32_t ch = W7410(ip, "A");
  ASSERT_GE(ch, 0) << ip;
  EXPECT_EQ(Select_Canal(ch), 1);
  EXPECT_TRUE(pesmo6test::Eventually([&] { return conv.LineAccepted(1) == 1; }));
  Deleta_Canal(ch);
}

TEST_F(NameLookups, SelectCanalWithAnUnknownNameFailsAtOnce) {
  const int32_t ip = Seta_Ip("nobody.example");
  const int32_t ch = W7410(ip, "B");
  ASSERT_GE(ch, 0) << ip;
  const Stopwatch t0;
  pesmo6test::TraceLog log;
  EXPECT_EQ(Select_Canal(ch), 0);
  EXPECT_LT(OwnMsSince(t0), 500);
  EXPECT_EQ(log.Count("SelectCanal[" + std::to_string(ch) + "] sem conexao"), 1);
  Deleta_Canal(ch);
}

// The bound of Select_Canal itself (5 s): a name server that never answers
// ends the call there, as a connection that failed.
TEST_F(NameLookups, SelectCanalWithADeadNameServerKeepsItsBound) {
  const int32_t ip = Seta_Ip("converter.hung");
  const int32_t ch = W7410(ip, "C");
  ASSERT_GE(ch, 0) << ip;
  pesmo6test::TraceLog log;
  const Stopwatch t0;
  EXPECT_EQ(Select_Canal(ch), 0);
  const auto spent = MsSince(t0), own = OwnMsSince(t0);
  EXPECT_GE(spent, 4900);
  EXPECT_LT(own, 5250);
  EXPECT_EQ(log.Count("SelectCanal[" + std::to_string(ch) + "] sem conexao"), 1);
  Deleta_Canal(ch);
}

TEST_F(NameLookups, CommandExchangeCountsTheLookupInItsConnectBound) {
  LimitesDoComando().conexaoMs = 200;
  pesmo6test::TraceLog log;
  const Stopwatch t0;
  EXPECT_EQ(EnviaComando("io.hung", "OP1"), "");
  const auto spent = MsSince(t0), own = OwnMsSince(t0);
  EXPECT_GE(spent, 190);
  EXPECT_LT(own, 450);
  ASSERT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(log.Lines()[1].rfind("Erro ", 0), 0u);

  Converter conv;
  conv.SetInputs(7);
  gSlowTarget = conv.Address();
  LimitesDoComando().conexaoMs = 1000;
  EXPECT_NE(EnviaComando("io.slow", "IN").find(" OK"), std::string::npos);
}

}  // namespace
