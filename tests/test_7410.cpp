// The 7410 driver on a serial port, against a simulated indicator on a
// pseudo-terminal, through the exported API.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "Frame7410.h"
#include "Indicator.h"
#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::Digits6;
using pesmo6sim::Frame7410;
using pesmo6sim::Leitura7410;

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A simulated indicator on its own port number, silent until told.
class Driver7410 : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    sim_ = std::make_unique<pesmo6sim::StreamingIndicator>(std::chrono::milliseconds(20));
    sim_->SetWirePace(std::chrono::microseconds(2084));  // 4800 baud, 7E1
    ASSERT_EQ(Seta_Porta(kPort, sim_->Device().c_str()), 0);
  }
  void TearDown() override {
    LibraryTest::TearDown();
    sim_.reset();
  }
  static constexpr uint32_t kPort = 40;

  static Leitura7410 Reading(long weight, long tare = 0) { return pesmo6sim::Leitura7410De(weight, tare); }

  std::unique_ptr<pesmo6sim::StreamingIndicator> sim_;
};

TEST_F(Driver7410, DecodesNegativeWeightWithTare) {
  Leitura7410 r = Reading(500, 1000);
  r.decimalCode = 4;
  r.negative = true;
  sim_->SetFrame(Frame7410(r));
  const int32_t ch = W7410Serial(kPort);
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(5) + W("-5,00"));
  EXPECT_EQ(std::string(Gross_Canal(ch)), Spaces(6) + W("5,00"));
  EXPECT_EQ(std::string(Tare_Canal(ch)), Spaces(5) + W("10,00"));
  EXPECT_STREQ(Estado_Canal(ch), "1NSNNkgN");
  EXPECT_STREQ(Estado_EmMovimento(ch), "N");
  EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), -5.0);
  EXPECT_DOUBLE_EQ(Gross_Canal_Float(ch), 5.0);
  EXPECT_DOUBLE_EQ(Tare_Canal_Float(ch), 10.0);
  EXPECT_STREQ(Contadora_Canal(ch), "") << "decoded mode leaves the raw frame alone";
}

TEST_F(Driver7410, StatusBitsAndDecimalCodes) {
  const int32_t ch = W7410Serial(kPort);
  struct Case {
    int code, increment;
    bool net, kg, aux;
    long weight;
    std::string net_text, estado;
  } cases[] = {
      {0, 1, false, true, false, 1234, Spaces(6) + "1234", "1NNNNkgN"},
      {2, 2, true, false, true, 1234, Spaces(6) + "1234", "2SNNNlbS"},
      {3, 5, false, true, false, 1234, Spaces(5) + W("123,4"), "5NNNNkgN"},
      {7, 1, false, true, false, 1, Spaces(3) + W("0,00001"), "1NNNNkgN"},
      {4, 1, false, true, false, 123456, Spaces(3) + W("1234,56"), "1NNNNkgN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Leitura7410 r = Reading(c.weight);
    r.decimalCode = c.code;
    r.increment = c.increment;
    r.net = c.net;
    r.kg = c.kg;
    r.auxiliary = c.aux;
    sim_->SetFrame(Frame7410(r));
    ASSERT_EQ(Update_Canal(ch), 0);
    EXPECT_EQ(std::string(Net_Canal(ch)), c.net_text);
    EXPECT_EQ(std::string(Gross_Canal(ch)), c.net_text);
    EXPECT_STREQ(Estado_Canal(ch), c.estado.c_str());
  }
}

TEST_F(Driver7410, NegativeZeroAndFieldsThatAreNotNumbers) {
  const int32_t ch = W7410Serial(kPort);
  Leitura7410 r = Reading(0);
  r.negative = true;
  sim_->SetFrame(Frame7410(r));
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(5) + W("-0,00"));
  EXPECT_EQ(std::string(Gross_Canal(ch)), Spaces(6) + W("0,00"));

  r = Reading(0, 250);
  r.weight = "12A456";
  sim_->SetFrame(Frame7410(r));
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(6) + W("0,00"));
  EXPECT_EQ(std::string(Gross_Canal(ch)), Spaces(6) + W("2,50"));
}

TEST_F(Driver7410, WrongChecksumAndNoiseAreSkipped) {
  const int32_t ch = W7410Serial(kPort);
  Leitura7410 bad = Reading(111);
  Leitura7410 good = Reading(2222);
  // Bytes go out once the update has settled: a frame tail, a frame with a
  // wrong checksum, a frame too short to hold status bytes (its checksum
  // right), then a good frame.
  HostHook hook(OnceSettled([&] {
    sim_->Inject(std::string("00123\r") + Frame7410(bad, false) + pesmo6sim::FrameFromBody("\r") +
                 Frame7410(good));
  }));
  const Stopwatch t0;
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(5) + W("22,22"));
}

TEST_F(Driver7410, FrameSplitAcrossWritesAndStxInsideFrameInRawMode) {
  const int32_t ch = W7410SerialC(kPort);
  const std::string body = std::string("\x24\x30\x20") + "00\x02" "500" "001000\r";
  const std::string frame = pesmo6sim::FrameFromBody(body);
  const auto t0 = Clock::now();
  int sent = 0;
  HostHook hook([&](int) {
    // Three writes some passes apart, once the update has settled.
    const long long at = kSettleMs + 20 * sent;
    if (sent == 3 || MsSince(t0) < at) return;
    const size_t from[] = {0, 5, 14, std::string::npos};
    sim_->Inject(frame.substr(from[sent], from[sent + 1] - from[sent]));
    ++sent;
  });
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Contadora_Canal(ch)), body) << "raw frame: status bytes through CR";
  EXPECT_EQ(std::string(Contadora_Canal(ch)).size(), 16u);
  EXPECT_STREQ(Gross_Canal(ch), "0");
  EXPECT_STREQ(Net_Canal(ch), "0");
  EXPECT_STREQ(Tare_Canal(ch), "0");
  EXPECT_STREQ(Estado_Canal(ch), "");
  EXPECT_STREQ(Estado_EmMovimento(ch), "");
}

TEST_F(Driver7410, MotionAndNoMotionWaits) {
  const int32_t ch = W7410Serial(kPort);
  Leitura7410 moving = Reading(4200);
  moving.motion = true;
  sim_->SetFrame(Frame7410(moving));

  ASSERT_EQ(Update_Canal(ch), 0) << "a normal update takes a moving frame";
  EXPECT_STREQ(Estado_EmMovimento(ch), "S");

  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch, 300), 2);
  EXPECT_GE(MsSince(t0), 290);
  // Each update opens the port again (a decoded 7410 closes it after its
  // frame), and an open that fails is retried up to the start limit (1 s):
  // that, not the 300 ms, is the call's bound.  A normal update's 10 s wait
  // in its place still fails here.
  EXPECT_LT(OwnMsSince(t0), 1250);
  EXPECT_STREQ(Estado_EmMovimento(ch), "S");
  EXPECT_EQ(Estado_Canal(ch)[4], 'S');
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(5) + W("42,00")) << "shows the last moving frame";

  // Motion stops half-way through the wait.
  sim_->SetGenerator([frames = 0]() mutable {
    Leitura7410 r = Reading(4300);
    r.motion = ++frames < 5;
    return Frame7410(r);
  });
  EXPECT_EQ(Update_NoMotion(ch, 2000), 0);
  EXPECT_STREQ(Estado_EmMovimento(ch), "N");
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(5) + W("43,00"));
}

TEST_F(Driver7410, NoMotionWaitZeroAndTimeouts) {
  const int32_t ch = W7410Serial(kPort);
  sim_->SetFrame(Frame7410(Reading(100, 50)));
  ASSERT_EQ(Update_Canal(ch), 0);
  sim_->SetFrame("");

  Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch, 0), 2);
  EXPECT_LT(OwnMsSince(t0), 100);

  t0 = Stopwatch();
  EXPECT_EQ(Update_NoMotion(ch, 150), 2);
  EXPECT_GE(MsSince(t0), 145);
  EXPECT_STREQ(Gross_Canal(ch), "0");
  EXPECT_STREQ(Net_Canal(ch), "0");
  EXPECT_STREQ(Tare_Canal(ch), "0");
  EXPECT_STREQ(Estado_Canal(ch), "1NNNNkgN") << "the status of the last frame stays";
  EXPECT_EQ(Gross_Canal_Float(ch), 0.0);

  EXPECT_EQ(Update_NoMotion(ch, -2), 1) << "a wait below -1 is refused";
  EXPECT_STREQ(Net_Canal(ch), "0");
  sim_->SetFrame(Frame7410(Reading(300)));
  EXPECT_EQ(Update_Canal(ch), 0) << "and the channel is ready again";
}

TEST_F(Driver7410, OverloadSticksUntilAFrameWithoutIt) {
  const int32_t ch = W7410Serial(kPort);
  Leitura7410 over = Reading(999999);
  over.overload = true;
  sim_->SetFrame(Frame7410(over));
  EXPECT_EQ(Update_Canal(ch), 3);
  EXPECT_EQ(Estado_Canal(ch)[3], 'S');
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(3) + W("9999,99")) << "the reading is stored anyway";

  sim_->SetFrame("");
  EXPECT_EQ(Update_NoMotion(ch, 0), 3);
  EXPECT_EQ(Update_NoMotion(ch, 60), 3);

  sim_->SetFrame(Frame7410(Reading(5)));
  EXPECT_EQ(Update_Canal(ch), 0);
  sim_->SetFrame("");
  EXPECT_EQ(Update_NoMotion(ch, 0), 2);
}

TEST_F(Driver7410, PortThatCannotOpenGivesFourAfterTheStartLimit) {
  ASSERT_EQ(Seta_Porta(41, "/dev/pesmo6-no-such-port"), 0);
  const int32_t missing = W7410Serial(41);
  const int32_t zero = W7410Serial(0);
  for (int32_t ch : {missing, zero}) {
    const Stopwatch t0;
    EXPECT_EQ(Update_NoMotion(ch, 0), 4) << "whatever the wait";
    EXPECT_GE(MsSince(t0), 995);
    EXPECT_LT(OwnMsSince(t0), 1500);
  }
  EXPECT_STREQ(Net_Canal(missing), "0");
}

TEST_F(Driver7410, PortIsExclusiveAndFreedByClose) {
  const int32_t raw = W7410SerialC(kPort);
  sim_->SetFrame(Frame7410(Reading(1)));
  ASSERT_EQ(Update_Canal(raw), 0);  // raw-frame mode leaves the port open

  const int other = open(sim_->Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);  // root passes TIOCEXCL; the lock is what holds
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "the library holds the port";

  const int32_t second = W7410Serial(kPort);
  EXPECT_EQ(Update_NoMotion(second, 0), 4) << "a port in use does not open";

  Close_Canal(raw);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "closed for good";
  EXPECT_STREQ(Contadora_Canal(raw), "EEEEEEEEEE");

  // Held by another program now: the library cannot have it.
  EXPECT_EQ(Update_NoMotion(second, 0), 4);
  close(other);
  EXPECT_EQ(Update_Canal(second), 0);
}

TEST_F(Driver7410, LineSettingsOnThePseudoTerminal) {
  const int32_t ch = W7410SerialC(kPort);
  sim_->SetFrame(Frame7410(Reading(1)));
  ASSERT_EQ(Update_Canal(ch), 0);
  termios t{};
  ASSERT_TRUE(sim_->Line().SlaveAttributes(t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B4800));
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << "one stop bit";
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << "no hardware handshake";
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u) << "no software flow control";
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "raw mode";
}

TEST_F(Driver7410, DecodedModeClosesThePortAfterTheFrame) {
  const int32_t ch = W7410Serial(kPort);
  sim_->SetFrame(Frame7410(Reading(1)));
  ASSERT_EQ(Update_Canal(ch), 0);
  const int other = open(sim_->Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
}

TEST_F(Driver7410, IndicatorVanishingWhileThePortIsOpen) {
  const int32_t ch = W7410SerialC(kPort);
  sim_->SetFrame(Frame7410(Reading(1)));
  ASSERT_EQ(Update_Canal(ch), 0);
  // The kernel hands a freed pty number to the next process that asks, often
  // another test running beside this one; the port is mapped to a path that
  // stays gone, so a reopen cannot reach that other test's indicator.
  ASSERT_EQ(Seta_Porta(kPort, "/dev/pts/pesmo6-gone"), 0);
  sim_.reset();  // the pty master goes away: the port hangs up for good
  const Stopwatch t0;
  const double cpu0 = CpuSeconds();
  // Found hung up when the update starts (closed, and the device it would
  // open again is gone: 4), or hung up under the wait (which then ends: 2).
  const int32_t r = Update_NoMotion(ch, 300);
  EXPECT_TRUE(r == 4 || r == 2) << r;
  EXPECT_LT(OwnMsSince(t0), 1500);
  EXPECT_LT(CpuSeconds() - cpu0, 0.1) << "a hung-up port must not keep the pump busy";
}

// A USB adapter pulled out and plugged in again comes back as a new device
// node under the same stable link (/dev/serial/by-id): the channel mapped to
// the link reads again without being created anew.
TEST_F(Driver7410, MappedLinkToAnAdapterThatComesBack) {
  char dir[] = "/tmp/pesmo6-byid-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/usb-adapter-if00-port0";
  ASSERT_EQ(symlink(sim_->Device().c_str(), link.c_str()), 0);
  ASSERT_EQ(Seta_Porta(kPort + 2, link.c_str()), 0);
  const int32_t ch = W7410Serial(kPort + 2);
  sim_->SetFrame(Frame7410(Reading(125)));
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(6) + W("1,25"));

  // Pulled out: the device node and the link go away.
  sim_.reset();
  unlink(link.c_str());
  const int32_t gone = Update_NoMotion(ch, 300);
  EXPECT_TRUE(gone == 4 || gone == 2) << gone;
  EXPECT_EQ(Update_NoMotion(ch, 300), 4) << "nothing to open while the adapter is out";

  // Plugged in again: a new node (another pty) behind the same link.
  sim_ = std::make_unique<pesmo6sim::StreamingIndicator>(std::chrono::milliseconds(20));
  sim_->SetWirePace(std::chrono::microseconds(2084));
  sim_->SetFrame(Frame7410(Reading(250)));
  ASSERT_EQ(symlink(sim_->Device().c_str(), link.c_str()), 0);
  EXPECT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(6) + W("2,50"));
  Deleta_Canal(ch);
  unlink(link.c_str());
  rmdir(dir);
}

// ---- Re-entrancy: the host acts from inside the pump --------------------

TEST_F(Driver7410, UpdateOfTheSameChannelFromInsideThePumpGetsOne) {
  const int32_t ch = W7410Serial(kPort);
  sim_->SetFrame(Frame7410(Reading(777)));
  int inner = -99;
  HostHook hook([&](int pass) {
    if (pass == 1) inner = Update_Canal(ch);
  });
  EXPECT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(6) + W("7,77"));
}

TEST_F(Driver7410, OtherChannelsCanBeUpdatedFromInsideThePump) {
  pesmo6sim::StreamingIndicator second(std::chrono::milliseconds(20));
  ASSERT_EQ(Seta_Porta(kPort + 1, second.Device().c_str()), 0);
  const int32_t a = W7410Serial(kPort);
  const int32_t b = W7410Serial(kPort + 1);
  sim_->SetFrame(Frame7410(Reading(100)));
  second.SetFrame(Frame7410(Reading(200)));
  int inner = -99;
  HostHook hook([&](int pass) {
    if (pass == 1) inner = Update_Canal(b);
  });
  EXPECT_EQ(Update_Canal(a), 0);
  EXPECT_EQ(inner, 0);
  EXPECT_EQ(std::string(Net_Canal(a)), Spaces(6) + W("1,00"));
  EXPECT_EQ(std::string(Net_Canal(b)), Spaces(6) + W("2,00"));
}

TEST_F(Driver7410, CloseFromInsideThePumpEndsTheUpdate) {
  const int32_t ch = W7410SerialC(kPort);  // silent: the update would wait 10 s
  HostHook hook([&](int pass) {
    if (pass == 3) Close_Canal(ch);
  });
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch), 1);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_STREQ(Gross_Canal(ch), "EEEEEEEEEE");
  EXPECT_EQ(Update_Canal(ch), 1);
  const int other = open(sim_->Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "the port was closed at once";
  close(other);
}

TEST_F(Driver7410, DeleteFromInsideThePumpEndsTheUpdate) {
  const int32_t ch = W7410Serial(kPort);
  HostHook hook([&](int pass) {
    if (pass == 2) Deleta_Canal(ch);
  });
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch), 1);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_EQ(Select_Canal(ch), 0) << "the slot is gone, the table emptied";
  EXPECT_EQ(W7410Serial(kPort), 0);
}

TEST_F(Driver7410, DeleteWhileThePortIsStillOpening) {
  ASSERT_EQ(Seta_Porta(42, "/dev/pesmo6-no-such-port"), 0);
  const int32_t keep = W7410Serial(kPort);
  const int32_t ch = W7410Serial(42);
  HostHook hook([&](int pass) {
    if (pass == 5) Deleta_Canal(ch);
  });
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch), 1);
  EXPECT_LT(OwnMsSince(t0), 900);
  EXPECT_EQ(Select_Canal(ch), 0);
  EXPECT_EQ(Select_Canal(keep), 1);
}

TEST_F(Driver7410, CloseFromInsideThePumpWithAFrameWaiting) {
  const int32_t ch = W7410Serial(kPort);
  HostHook hook([&](int pass) {
    if (pass != 1) return;
    sim_->Inject(Frame7410(Reading(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the frame sits in the port
    Close_Canal(ch);
  });
  EXPECT_EQ(Update_Canal(ch), 1) << "the waiting frame is never handed to the released driver";
  EXPECT_STREQ(Net_Canal(ch), "EEEEEEEEEE");
}

// ---- LePesoConsecutivo ----------------------------------------------------

TEST_F(Driver7410, StableWeightFound) {
  TraceLog log;
  const int32_t ch = W7410Serial(kPort);
  sim_->SetFrame(Frame7410(Reading(0)));
  EXPECT_EQ(LePesoConsecutivo(ch, 5, 1), 0);
  EXPECT_EQ(log.Count("Update_C["), 1) << "0.0 matches the initial reference";

  sim_->SetFrame(Frame7410(Reading(500)));
  const int before = log.Count("Update_C[");
  EXPECT_EQ(LePesoConsecutivo(ch, 5, 1), 0);
  EXPECT_EQ(log.Count("Update_C[") - before, 2) << "5.00 needs one reading more";
  EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), 5.0);
}

TEST_F(Driver7410, ChangingWeightRunsOutOfTime) {
  const int32_t ch = W7410Serial(kPort);
  sim_->SetGenerator([w = 0L]() mutable { return Frame7410(Reading(w += 10)); });
  const Stopwatch t0;
  EXPECT_EQ(LePesoConsecutivo(ch, 1, 3), 7);
  EXPECT_GE(MsSince(t0), 1000);
  EXPECT_LT(OwnMsSince(t0), 1600);
}

TEST_F(Driver7410, IndicatorThatNeverAnswersGivesTheDriverCode) {
  ASSERT_EQ(Seta_Porta(43, "/dev/pesmo6-no-such-port"), 0);
  const int32_t ch = W7410Serial(43);
  const Stopwatch t0;
  EXPECT_EQ(LePesoConsecutivo(ch, 1, 3), 4) << "the last update's code, not 7";
  EXPECT_LT(OwnMsSince(t0), 2600);
}

// ---- Decimal separator --------------------------------------------------

// The drivers read the system separator at each decode; the floating
// readouts keep the one read when the library loaded.  A decode under
// another locale gives texts the readouts cannot convert.
TEST_F(Driver7410, FloatReadoutsConvertWithEitherLocalesSeparator) {
  const char loaded = Sep();
  const char* other = loaded == ',' ? "C" : "pt_BR.UTF-8";
  locale_t probe = newlocale(LC_NUMERIC_MASK, other, static_cast<locale_t>(nullptr));
  if (probe == static_cast<locale_t>(nullptr)) GTEST_SKIP() << other << " locale not installed";
  freelocale(probe);

  const int32_t ch = W7410Serial(kPort);
  sim_->SetFrame(Frame7410(Reading(1250)));
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), 12.5);

  // The system locale now differs from the one read at load, as on a
  // Windows service account: the drivers write the system's separator and
  // the readout still converts it.
  const char* saved = std::getenv("LC_ALL");
  const std::string restore = saved ? saved : "";
  setenv("LC_ALL", other, 1);
  const int32_t r = Update_Canal(ch);
  const std::string net = Net_Canal(ch);
  const double value = Net_Canal_Float(ch);
  const double gross = Gross_Canal_Float(ch);
  if (saved) setenv("LC_ALL", restore.c_str(), 1); else unsetenv("LC_ALL");
  ASSERT_EQ(r, 0);
  EXPECT_EQ(net, Spaces(5) + "12" + (loaded == ',' ? "." : ",") + "50");
  EXPECT_DOUBLE_EQ(value, 12.5);
  EXPECT_DOUBLE_EQ(gross, 12.5);
}

}  // namespace

namespace {

// A USB adapter's leftovers: twenty old frames arrive right after the
// port's flush, then the indicator goes on at wire pace.  No update may
// return one of the old frames.
TEST_F(Driver7410, AdapterLeftoversAfterTheFlushAreNotTheReading) {
  std::string old;
  for (int i = 0; i < 20; ++i) old += Frame7410(Reading(999));
  sim_->SetBurstOnOpen(old);
  sim_->SetFrame(Frame7410(Reading(111)));
  const int32_t ch = W7410Serial(kPort);
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE("update " + std::to_string(i));
    ASSERT_EQ(Update_Canal(ch), 0);
    EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(6) + W("1,11"));
  }
}

// Bit 7 of a byte received at 7 data bits is the parity an 8-bit capture
// carries: the frame is still accepted.
TEST_F(Driver7410, ParityBitInBitSevenIsClearedOnReception) {
  std::string frame = Frame7410(Reading(4242));
  for (char& c : frame) c = static_cast<char>(static_cast<unsigned char>(c) | 0x80);
  sim_->SetFrame(frame);
  const int32_t ch = W7410Serial(kPort);
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(5) + W("42,42"));
}

}  // namespace
