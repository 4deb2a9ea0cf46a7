// The converter's command exchange: one blocking connection per command,
// the reply collected up to " OK" LF CR or the time limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>

#include "Converter.h"
#include "Loopback.h"
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

class CommandExchange : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = LimitesDoComando(); }
  void TearDown() override { LimitesDoComando() = saved_; }
  Converter conv_;
  LimitesComando saved_{};
};

TEST_F(CommandExchange, OneSegment) {
  conv_.SetInputs(129);
  pesmo6test::TraceLog log;
  const Stopwatch t0;
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN129 OK\n\r"));
  EXPECT_LT(OwnMsSince(t0), 500);
  EXPECT_EQ(conv_.Commands(), std::vector<std::string>{"IN"});
  const std::vector<std::string> trace = {"SocIO Conectando . . . . .", "SocIO Conectou !", "SocIO Desconectou !"};
  EXPECT_EQ(log.Lines(), trace);
}

TEST_F(CommandExchange, EachCommandHasItsOwnConnection) {
  EnviaComando(conv_.Address(), "OP5");
  EnviaComando(conv_.Address(), "OB13");
  EXPECT_EQ(conv_.CommandConnections(), 2);
  EXPECT_EQ(conv_.Outputs(), 5 | 8);
}

TEST_F(CommandExchange, ReplySplitWithTheTerminatorCut) {
  conv_.SetInputs(7);
  conv_.SetCommandMode(Converter::CommandMode::Split);
  const Stopwatch t0;
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN007 OK\n\r"));
  EXPECT_GE(MsSince(t0), 70) << "all three segments were awaited";
  EXPECT_LT(OwnMsSince(t0), 1000);
}

TEST_F(CommandExchange, ZeroByteEndsWhatASegmentGives) {
  conv_.SetInputs(129);
  conv_.SetCommandMode(Converter::CommandMode::ZeroByte);
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN129 OK\n\r"));
}

TEST_F(CommandExchange, TerminatorInTheWrongOrderRunsToTheLimit) {
  LimitesDoComando().respostaMs = 300;
  conv_.SetInputs(1);
  conv_.SetCommandMode(Converter::CommandMode::WrongOrder);
  const Stopwatch t0;
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN001 OK\r\n"));
  EXPECT_GE(MsSince(t0), 295);
  EXPECT_LT(OwnMsSince(t0), 800);
}

TEST_F(CommandExchange, SilentConverterGivesAnEmptyReplyAfterTenSeconds) {
  conv_.SetCommandMode(Converter::CommandMode::Silent);
  const Stopwatch t0;
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), "");
  EXPECT_GE(MsSince(t0), 9990);
  EXPECT_LT(OwnMsSince(t0), 11000) << "one read wait, not two";
}

// A peer on the command port that answers with an endless stream and no
// terminator: the reply is cut off at its bound, long before the reply
// wait ends, instead of filling memory for ten seconds.
TEST_F(CommandExchange, EndlessReplyIsCutOffAtItsBound) {
  const std::string endereco = "127.93." + std::to_string(getpid() % 250 + 1) + ".7";
  const int ouvinte = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(ouvinte, 0);
  const int one = 1;
  setsockopt(ouvinte, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kPortaComando);
  inet_pton(AF_INET, endereco.c_str(), &a.sin_addr);
  ASSERT_EQ(bind(ouvinte, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(ouvinte, 1), 0);
  std::thread par([&] {
    const int c = accept(ouvinte, nullptr, nullptr);
    if (c < 0) return;
    const timeval limite{0, 200000};
    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limite, sizeof limite);
    const std::string bloco(4096, 'x');
    // Until the library hangs up, or 12 s (past the reply wait) at most.
    const Stopwatch t0;
    while (MsSince(t0) < 12000) {
      const ssize_t n = send(c, bloco.data(), bloco.size(), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    }
    close(c);
  });
  const Stopwatch t0;
  const std::string r = EnviaComando(endereco, "IN");
  const auto ms = OwnMsSince(t0);
  par.join();
  close(ouvinte);
  EXPECT_GE(r.size(), kMaxResposta);
  EXPECT_LT(r.size(), kMaxResposta + 1024);
  EXPECT_EQ(r.find_first_not_of('x'), std::string::npos);
  EXPECT_LT(ms, 3000) << "the exchange ends at the bound, not at the reply wait";
}

TEST_F(CommandExchange, ConverterClosingEarlyEndsTheExchange) {
  conv_.SetInputs(255);
  conv_.SetCommandMode(Converter::CommandMode::CloseEarly);
  const Stopwatch t0;
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN255"));
  EXPECT_LT(OwnMsSince(t0), 1000) << "nothing more can come once the converter closed";
}

TEST_F(CommandExchange, RefusedConnectionReturnsAtOnce) {
  conv_.SetCommandMode(Converter::CommandMode::Refuse);
  pesmo6test::TraceLog log;
  const Stopwatch t0;
  EXPECT_EQ(EnviaComando(conv_.Address(), "OP1"), "");
  EXPECT_LT(OwnMsSince(t0), 500);
  ASSERT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(log.Lines()[1].rfind("Erro ", 0), 0u);
  EXPECT_NE(log.Lines()[1].find(" no socket de IO"), std::string::npos);
  // A name the resolver does not know (no name server is asked here).
  platform::SetNameLookupForTest([](const std::string&, uint32_t&) { return false; });
  EXPECT_EQ(EnviaComando("not an address", "OP1"), "");
  platform::SetNameLookupForTest(nullptr);
}

TEST_F(CommandExchange, TickWrapDuringAnExchange) {
  conv_.SetInputs(42);
  conv_.SetCommandMode(Converter::CommandMode::Split);
  platform::ShiftTick(std::numeric_limits<uint32_t>::max() - platform::Tick() - 30);
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN042 OK\n\r"));
}

// ---- Interrupted waits ------------------------------------------------------

// SIGALRM every 3 ms at this thread only (the simulator's thread is left
// alone), with a handler installed without SA_RESTART so that each signal
// ends the blocking call under way with EINTR.  It stops by itself after
// kMaxSignals, so that a wait that starts over at each signal still ends.
class Interruptions {
 public:
  static constexpr int kMaxSignals = 400;  // 1.2 s of signals

  Interruptions() {
    count_ = 0;
    struct sigaction sa {};
    sa.sa_handler = &OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, &saved_);
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = SIGALRM;
    ev._sigev_un._tid = gettid();
    ok_ = timer_create(CLOCK_MONOTONIC, &ev, &timer_) == 0;
    if (!ok_) return;
    itimerspec every{};
    every.it_value.tv_nsec = 3'000'000;
    every.it_interval.tv_nsec = 3'000'000;
    timer_settime(timer_, 0, &every, nullptr);
  }
  ~Interruptions() {
    if (ok_) timer_delete(timer_);
    sigaction(SIGALRM, &saved_, nullptr);
  }
  bool Started() const { return ok_; }
  static int Count() { return count_; }

 private:
  static void OnSignal(int) {
    if (++count_ >= kMaxSignals) {
      const itimerspec off{};
      timer_settime(timer_, 0, &off, nullptr);
    }
  }
  static inline std::atomic<int> count_{0};
  static inline timer_t timer_{};
  struct sigaction saved_ {};
  bool ok_ = false;
};

TEST_F(CommandExchange, SignalsDoNotRestartTheReplyWait) {
  LimitesDoComando().respostaMs = 300;
  conv_.SetCommandMode(Converter::CommandMode::Silent);
  const int32_t conversor = Seta_Ip(conv_.Address().c_str());
  Interruptions signals;
  ASSERT_TRUE(signals.Started());
  const Stopwatch t0;
  EXPECT_EQ(DIO_InPort(conversor), -1);
  const long long took = MsSince(t0), own = OwnMsSince(t0);
  const int during = Interruptions::Count();
  EXPECT_GE(took, 295);
  EXPECT_LT(own, 450) << "the wait went on past its limit after " << during << " signals";
  // A wait restarted by each of them would outlast the bound above; on a
  // loaded machine fewer than the 100 the timer sends in 300 ms come through.
  EXPECT_GE(during, 10) << "the signals did interrupt the wait";
  EXPECT_EQ(conv_.Commands(), std::vector<std::string>{"IN"});
}

// A listener whose backlog is full leaves the connection attempt pending.
TEST_F(CommandExchange, SignalsDoNotRestartTheConnectWait) {
  LimitesDoComando().conexaoMs = 300;
  const std::string address = pesmo6sim::UniqueLoopback();
  const pesmo6test::PendingListener pending(address, kPortaComando);
  ASSERT_TRUE(pending.Listening());
  const int32_t conversor = Seta_Ip(address.c_str());
  {
    Interruptions signals;
    ASSERT_TRUE(signals.Started());
    const Stopwatch t0;
    EXPECT_EQ(DIO_InPort(conversor), -1);
    const long long took = MsSince(t0), own = OwnMsSince(t0);
    EXPECT_GE(took, 295);
    EXPECT_LT(own, 450) << "the wait went on past its limit after " << Interruptions::Count() << " signals";
    EXPECT_GE(Interruptions::Count(), 10);
  }
}

}  // namespace
