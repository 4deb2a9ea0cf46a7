// Waits that cost nothing: without a host hook a silent wait blocks in one
// readiness call until its deadline; with a hook the pump still passes at
// least every 10 ms; a frame read whole takes one wake-up.  The CPU check
// only catches a spinning wait.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "Converter.h"
#include "Frame7410.h"
#include "Loopback.h"
#include "Pty.h"
#include "Support.h"
#include "pesmo6.h"
#include "transport/EventPump.h"
#include "transport/platform/Platform.h"

using pesmo6test::Clock;
using pesmo6test::MsSince;
using pesmo6test::OwnMsSince;
using pesmo6test::Stopwatch;

namespace {

double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

uint64_t Calls() { return pesmo6::platform::ReadinessCalls(); }

class IdleWait : public pesmo6test::LibraryTest {};

TEST_F(IdleWait, SilentWaitWithoutHookBlocksOnce) {
  pesmo6sim::Pty silent;
  ASSERT_EQ(Seta_Porta(201, silent.SlavePath().c_str()), 0);
  const int32_t serial = W7410Serial(201);
  pesmo6sim::Converter conv;
  const int32_t network = W7410(Seta_Ip(conv.Address().c_str()), "A");
  ASSERT_EQ(Select_Canal(network), 1);
  for (int32_t ch : {serial, network}) {
    SCOPED_TRACE(ch == serial ? "serial" : "network");
    const uint64_t before = Calls();
    const double cpu0 = ThreadCpuSeconds();
    const Stopwatch t0;
    EXPECT_EQ(Update_NoMotion(ch, 600), 2);
    const auto ms = MsSince(t0);
    EXPECT_GE(ms, 595);
    EXPECT_LE(Calls() - before, 4u) << "one for the settle, one for the wait, one more for its last millisecond";
    EXPECT_LT(ThreadCpuSeconds() - cpu0, 0.05) << "a wait that spins";
  }
  // With a hook the passes go on at least every 10 ms.
  int passes = 0;
  pesmo6test::HostHook hook([&](int) { ++passes; });
  const Stopwatch wait;
  EXPECT_EQ(Update_NoMotion(serial, 300), 2);
  // Time spent waiting for a core is time without passes.
  EXPECT_GE(passes, 20 - wait.Queued() / 10);
  EXPECT_LE(passes, 40);
}

// A frame written whole is taken by one read and decoded from memory.
TEST_F(IdleWait, FrameReadWholeWakesThePumpOnce) {
  pesmo6sim::Pty line;
  ASSERT_EQ(Seta_Porta(202, line.SlavePath().c_str()), 0);
  const int32_t raw = W7410SerialC(202);
  // The port opens and stays open (raw mode); the link lets through only
  // what the wire could have carried since the update settled.
  EXPECT_EQ(Update_NoMotion(raw, 50), 2);
  int32_t result = -1;
  uint64_t calls = 0;
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    line.Write(pesmo6sim::Frame7410(pesmo6sim::Leitura7410De(42)));
  });
  const uint64_t before = Calls();
  result = Update_Canal(raw);
  calls = Calls() - before;
  writer.join();
  EXPECT_EQ(result, 0);
  EXPECT_LE(calls, 3u) << "one pass for the settle, one woken by the frame";
  EXPECT_EQ(std::string(Contadora_Canal(raw)).size(), 16u);
}

// A link read by polling (the Ohaus converter path): a read made before the
// pump saw the socket readable takes all that waits into memory.  What it
// left there must keep the pump from blocking, or the rest of a reply sits
// unread until the wait's deadline.
TEST(IdleWaitLink, BytesAPollerLeftInMemoryDoNotWaitForTheDeadline) {
  const std::string address = pesmo6sim::UniqueLoopback();
  const int listener = pesmo6test::ListenOn(address, 8883, 1);
  ASSERT_GE(listener, 0);

  pesmo6::platform::LineSocket link;
  link.Open(address, 8883);
  const Stopwatch t0;
  while (!link.Active() && MsSince(t0) < 2000) pesmo6::ProcessaEventos(50);
  ASSERT_TRUE(link.Active());
  link.SetWakeOnData(true);
  const int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(send(peer, "ABC", 3, MSG_NOSIGNAL), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));

  uint8_t b = 0;
  ASSERT_EQ(link.ReadByte(b), 1);  // before any pump pass
  EXPECT_EQ(b, 'A');
  Stopwatch t1;
  pesmo6::ProcessaEventos(1500);
  EXPECT_LT(OwnMsSince(t1), 200) << "two bytes wait in memory";
  ASSERT_EQ(link.ReadByte(b), 1);
  EXPECT_EQ(b, 'B');
  ASSERT_EQ(link.ReadByte(b), 1);
  EXPECT_EQ(b, 'C');
  t1 = Stopwatch();
  pesmo6::ProcessaEventos(300);
  EXPECT_GE(MsSince(t1), 250) << "nothing left: the pump blocks again";
  link.Close();
  close(peer);
  close(listener);
}

}  // namespace
