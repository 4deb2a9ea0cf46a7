// The Ohaus driver on both transports: the print request, the answer line
// and its decoding, the no-motion repetition, late and missing answers.
#include <gtest/gtest.h>
#include <termios.h>

#include <memory>
#include <string>
#include <thread>

#include "Converter.h"
#include "Ohaus.h"
#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::OhausLinha;

namespace {

const std::string kE = "EEEEEEEEEE";

// One Ohaus balance, on a serial port or on converter line B.
class OhausTest : public LibraryTest, public ::testing::WithParamInterface<bool> {
 protected:
  static constexpr uint32_t kPort = 61;
  static constexpr int kLine = 2;

  bool Network() const { return GetParam(); }
  void SetUp() override {
    LibraryTest::SetUp();
    if (Network()) {
      conv_ = std::make_unique<pesmo6sim::Converter>();
      bal_ = std::make_unique<pesmo6sim::OhausBalance>(*conv_, kLine);
      ch_ = WOhaus(Seta_Ip(conv_->Address().c_str()), "b");
      ASSERT_EQ(Select_Canal(ch_), 1);
      ASSERT_TRUE(Eventually([&] { return conv_->LineClients(kLine) == 1; })) << "the converter took the link";
    } else {
      bal_ = std::make_unique<pesmo6sim::OhausBalance>();
      ASSERT_EQ(Seta_Porta(kPort, bal_->Device().c_str()), 0);
      ch_ = WOhausSerial(kPort);
    }
    ASSERT_GE(ch_, 0);
  }
  void TearDown() override {
    LibraryTest::TearDown();
    bal_.reset();
    conv_.reset();
  }
  std::string Net() const { return Net_Canal(ch_); }
  void ExpectOnlyNet() const {
    EXPECT_EQ(std::string(Gross_Canal(ch_)), kE);
    EXPECT_EQ(std::string(Tare_Canal(ch_)), kE);
  }

  std::unique_ptr<pesmo6sim::Converter> conv_;
  std::unique_ptr<pesmo6sim::OhausBalance> bal_;
  int32_t ch_ = -1;
};

TEST_P(OhausTest, WorkedExamples) {
  struct Row {
    std::string line;
    std::string net;
    const char* motion;
    const char* estado;
  };
  const Row rows[] = {
      {"    12.5 kg", W("     12,5 "), "N", "EENENEEE"},
      {"-   1.250 kg", W("-0001,250 "), "N", "EESENEEE"},
      {"    12.5 kg ?", W("     12,5 "), "S", "EENESEEE"},  // a normal update takes a moving line
      {"-    12 kg", "  -    12 ", "N", "EESENEEE"},       // no point: inner blanks stay
  };
  int requests = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    bal_->SetAnswer(r.line);
    ASSERT_EQ(Update_Canal(ch_), 0);
    EXPECT_EQ(bal_->Requests(), ++requests) << "one request per normal update";
    EXPECT_EQ(Net(), r.net);
    EXPECT_STREQ(Estado_EmMovimento(ch_), r.motion);
    EXPECT_STREQ(Estado_Canal(ch_), r.estado);
    ExpectOnlyNet();
  }
  bal_->SetAnswer("-   1.250 kg");
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_DOUBLE_EQ(Net_Canal_Float(ch_), -1.25);
  EXPECT_DOUBLE_EQ(Gross_Canal_Float(ch_), 0.0) << "not reported";
}

TEST_P(OhausTest, RequestIsPCrLfSpacedByAtLeast120Ms) {
  bal_->SetAnswer(OhausLinha("    3.5"));
  ASSERT_EQ(Update_Canal(ch_), 0);
  const auto got = bal_->Received();
  ASSERT_EQ(bal_->ReceivedText(), "P\r\n");
  using std::chrono::milliseconds;
  EXPECT_GE(got[1].when - got[0].when, milliseconds(120)) << "P to CR";
  EXPECT_GE(got[2].when - got[1].when, milliseconds(120)) << "CR to LF";
  EXPECT_LT(got[2].when - got[0].when, milliseconds(600));
  if (!Network()) {
    // Speed and stop bits show on the terminal; data bits and parity do not.
    termios t{};
    ASSERT_TRUE(bal_->Line().SlaveAttributes(t));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u) << "two stop bits";
  }
}

TEST_P(OhausTest, NoMotionRepeatsTheRequestUntilAStableLine) {
  bal_->QueueAnswers({OhausLinha("   12.5", "kg", true), OhausLinha("   12.6", "kg", true), OhausLinha("   12.7")});
  bal_->SetAnswer(OhausLinha("   99.9"));
  ASSERT_EQ(Update_NoMotion(ch_, 3000), 0);
  EXPECT_EQ(bal_->Requests(), 3);
  EXPECT_EQ(bal_->ReceivedText(), "P\r\nP\r\nP\r\n");
  EXPECT_EQ(Net(), W("     12,7 "));
  EXPECT_STREQ(Estado_EmMovimento(ch_), "N");
  EXPECT_STREQ(Estado_Canal(ch_), "EENENEEE");
}

TEST_P(OhausTest, NoMotionRunsOutWhileTheBalanceMoves) {
  bal_->SetAnswer(OhausLinha("    7.5", "kg", true));
  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch_, 900), 2);
  EXPECT_GE(MsSince(t0), 895);
  EXPECT_LT(OwnMsSince(t0), 1600);
  EXPECT_GE(bal_->Requests(), 2) << "every moving line asks again";
  EXPECT_STREQ(Estado_EmMovimento(ch_), "S");
  EXPECT_STREQ(Estado_Canal(ch_), "EENESEEE");
  EXPECT_EQ(Net(), W("      7,5 ")) << "the last line decoded";
  ExpectOnlyNet();
}

TEST_P(OhausTest, WaitZeroReturnsTwoRightAfterTheRequest) {
  bal_->SetAnswer(OhausLinha("    1.0"));
  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch_, 0), 2);
  EXPECT_GE(MsSince(t0), 295) << "the request itself takes 300 ms";
  EXPECT_LT(OwnMsSince(t0), 600);
  EXPECT_TRUE(Eventually([&] { return bal_->ReceivedText() == "P\r\n"; }));
  EXPECT_EQ(Net(), "0");
  ExpectOnlyNet();
}

TEST_P(OhausTest, NoAnswerKeepsTheLastStatus) {
  bal_->SetAnswer(OhausLinha("   12.5", "kg", true));
  ASSERT_EQ(Update_Canal(ch_), 0);
  bal_->SetAnswer("");
  EXPECT_EQ(Update_NoMotion(ch_, 500), 2);
  EXPECT_EQ(Net(), "0");
  ExpectOnlyNet();
  EXPECT_STREQ(Estado_Canal(ch_), "EENESEEE");
  EXPECT_STREQ(Estado_EmMovimento(ch_), "S");
}

// An answer that comes after its update gave up is no answer to the next
// update: that one sends its own request and reads the line that answers it.
TEST_P(OhausTest, LateLineIsNeverTheNextUpdatesReading) {
  bal_->QueueAnswers({OhausLinha("    1.0", "kg", true), OhausLinha("    2.0")});
  bal_->SetDelay(std::chrono::milliseconds(250));
  EXPECT_EQ(Update_NoMotion(ch_, 400), 2) << "the request goes out whole, its answer comes after the wait";
  ASSERT_TRUE(Eventually([&] { return bal_->Answers() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));

  EXPECT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(bal_->Requests(), 2) << "the update asked for its own reading";
  EXPECT_EQ(Net(), W("      2,0 ")) << "the answer to this update's request, not the late one";
  EXPECT_STREQ(Estado_EmMovimento(ch_), "N");
}

// Bytes that arrive while this update's request is still going out are not
// its answer, even when they form a whole line.
TEST_P(OhausTest, LineArrivingDuringTheRequestIsNotTheAnswer) {
  bal_->SetAnswer(OhausLinha("    3.0"));
  bal_->SetDelay(std::chrono::milliseconds(20));
  // 120 ms into the update: after "P" went out, before the LF.
  HostHook hook(OnceSettled([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(90));
    bal_->Inject(OhausLinha("    9.9") + "\r\n");
  }));
  EXPECT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(Net(), W("      3,0 "));
}

TEST_P(OhausTest, LineEdges) {
  struct Row {
    std::string line;
    std::string net;
    const char* estado;
  };
  const Row rows[] = {
      // An LF alone is no line; CR never enters it.
      {"\n  1\r2.5 kg", W("     12,5 "), "EENENEEE"},
      // More than ten characters: the sign is lost from the field only.
      {"-   123456789.5 kg", W("3456789,5 "), "EESENEEE"},
      {"kg 12.5", Spaces(10), "EENENEEE"},
      // A "-" after the unit still makes the weight negative.
      {"   12.5 kg -", W("  00012,5 "), "EESENEEE"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    bal_->SetAnswer(r.line);
    ASSERT_EQ(Update_Canal(ch_), 0);
    EXPECT_EQ(Net(), r.net);
    EXPECT_STREQ(Estado_Canal(ch_), r.estado);
  }
}

TEST_P(OhausTest, LineWithoutLfIsDroppedPast64KiB) {
  // 64 KiB at the balance's 9600 baud take more than a minute: the line is
  // set to 921600 baud.  A converter line runs at the family's speed; the
  // collector is the same on both transports.
  if (Network()) GTEST_SKIP() << "64 KiB at a converter line's speed take a minute";
  ProgSerial(ch_, 921600, 7, 2, 2);
  bal_->SetPace(std::chrono::microseconds(12));
  // 64 KiB of "?" fill the collector; the next byte starts it afresh.
  bal_->SetAnswer(std::string(64 * 1024, '?') + "   12.5 kg");
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_STREQ(Estado_EmMovimento(ch_), "N");
  EXPECT_EQ(Net(), W("     12,5 "));
  // A line of exactly 64 KiB is still a line.
  bal_->SetAnswer(std::string(64 * 1024 - 10, '?') + "   12.5 kg");
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_STREQ(Estado_EmMovimento(ch_), "S");
  EXPECT_EQ(Net(), Spaces(10)) << "no numeric prefix";
}

TEST_P(OhausTest, WaitBelowMinusOneDoesNothing) {
  bal_->SetAnswer(OhausLinha("    4.0"));
  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch_, -2), 1);
  EXPECT_LT(OwnMsSince(t0), 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(bal_->ReceivedText(), "");
  EXPECT_EQ(Update_Canal(ch_), 0) << "the channel is ready again";
  EXPECT_EQ(Net(), W("      4,0 "));
}

TEST_P(OhausTest, ClosedOrDeletedFromInsideThePump) {
  bal_->SetAnswer(OhausLinha("    4.0"));
  {
    // Pass 1 runs just before the request goes out.
    HostHook hook([&](int pass) {
      if (pass == 1) Close_Canal(ch_);
    });
    EXPECT_EQ(Update_Canal(ch_), 1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(bal_->ReceivedText(), "") << "nothing sent on a closed channel";
  EXPECT_EQ(std::string(Net_Canal(ch_)), kE);
  Deleta_Canal(ch_);

  // Deleted while waiting for the answer.
  ch_ = Network() ? WOhaus(Seta_Ip(conv_->Address().c_str()), "B") : WOhausSerial(kPort);
  ASSERT_GE(ch_, 0);
  if (Network()) {
    ASSERT_EQ(Select_Canal(ch_), 1);
  }
  bal_->SetDelay(std::chrono::milliseconds(200));
  HostHook hook([&](int pass) {
    if (pass == 3) Deleta_Canal(ch_);
  });
  EXPECT_EQ(Update_Canal(ch_), 1);
  EXPECT_EQ(std::string(Net_Canal(ch_)), kE);
}

INSTANTIATE_TEST_SUITE_P(Transports, OhausTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Converter" : "Serial"; });

class OhausChannel : public LibraryTest {};

TEST_F(OhausChannel, UnopenablePortGivesFourAfter600Ms) {
  ASSERT_EQ(Seta_Porta(62, "/nonexistent/ttyOhaus"), 0);
  const int32_t ch = WOhausSerial(62);
  ASSERT_GE(ch, 0);
  Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch), 4);
  EXPECT_GE(MsSince(t0), 595);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_EQ(std::string(Net_Canal(ch)), "0");
  EXPECT_EQ(std::string(Gross_Canal(ch)), kE);
  t0 = Stopwatch();
  EXPECT_EQ(Update_NoMotion(ch, 0), 4) << "whatever the wait";
  EXPECT_GE(MsSince(t0), 595);
}

// After a time-out the port stays open and its bytes still reach the line
// collector whenever the pump runs, here during another channel's update.
// A late line never reaches the channel between updates, nor asks again:
// the exchange ends with its update.
TEST_F(OhausChannel, LateLineIsDroppedWhenThePumpRunsBetweenUpdates) {
  pesmo6sim::OhausBalance bal;
  bal.SetAnswer(OhausLinha("    8.5", "kg", true));
  bal.SetDelay(std::chrono::milliseconds(150));
  ASSERT_EQ(Seta_Porta(63, bal.Device().c_str()), 0);
  ASSERT_EQ(Seta_Porta(64, "/nonexistent/ttyOther"), 0);
  const int32_t ch = WOhausSerial(63);
  const int32_t other = WOhausSerial(64);
  EXPECT_EQ(Update_NoMotion(ch, 350), 2);
  EXPECT_EQ(std::string(Net_Canal(ch)), "0");
  ASSERT_TRUE(Eventually([&] { return bal.Answers() == 1; }));
  EXPECT_EQ(Update_Canal(other), 4);  // 600 ms of pumping
  EXPECT_EQ(std::string(Net_Canal(ch)), "0") << "the late line is no reading";
  EXPECT_STREQ(Estado_EmMovimento(ch), "") << "nor does it change the status";
  EXPECT_EQ(bal.Requests(), 1) << "a late moving line asks nothing";
}

TEST_F(OhausChannel, Registrations) {
  const int32_t first = WOhausSerial(5);
  ASSERT_GE(first, 0);
  EXPECT_EQ(WOhausSerial(65536), -1);
  EXPECT_EQ(WOhausSerial(6), first + 1) << "a rejected port adds no slot";

  pesmo6sim::Converter conv;
  const int32_t ip = Seta_Ip(conv.Address().c_str());
  EXPECT_EQ(WOhaus(ip + 100, "A"), -1);
  EXPECT_EQ(WOhaus(ip, "E"), -1);
  EXPECT_EQ(WOhaus(ip, "AB"), -1);
  EXPECT_EQ(WOhaus(ip, nullptr), -1);
  EXPECT_EQ(WOhaus(ip, "d"), first + 2);
}

// A network channel starts at once, connected or not: it never gives 4.
TEST_F(OhausChannel, NetworkChannelWithoutLinkTimesOut) {
  pesmo6sim::Converter conv;
  const int32_t ch = WOhaus(Seta_Ip(conv.Address().c_str()), "A");
  EXPECT_EQ(Update_NoMotion(ch, 400), 2);
  EXPECT_EQ(conv.LineReceived(1), "");
}

}  // namespace
