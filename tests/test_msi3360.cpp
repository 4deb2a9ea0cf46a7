// The MSI3360 driver on both transports: STX, 26 characters (gross, net,
// tare in eight characters each, a two-character unit), ETX.
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "FrameMSI.h"
#include "Listening.h"

using namespace pesmo6test;
using pesmo6sim::LeituraMSI3360;
using pesmo6sim::QuadroMSI3360;

namespace {

constexpr uint32_t kPort = 60;
using Msi3360Test = ListeningTest<&WMSI3360, &WMSI3360Serial, kPort, 2, kPace9600_8N1.count()>;

std::string Frame(const std::string& gross, const std::string& net, const std::string& tare,
                  const std::string& unit = "kg") {
  return QuadroMSI3360(LeituraMSI3360{gross, net, tare, unit});
}

TEST_P(Msi3360Test, WorkedExamplesWithEitherDecimalMark) {
  struct Row {
    std::string gross, net, tare, wantGross, wantNet, wantTare;
  };
  const Row rows[] = {
      {"   12.50", "   12.50", "    0.00", "   12,50", "   12,50", "    0,00"},
      {"  100.00", "       0", "    0.00", "  100,00", "  100,00", "    0,00"},
      {"--------", "--------", "    0.00", "       0", "       0", "    0,00"},
  };
  for (char mark : {'.', ','}) {
    for (const Row& row : rows) {
      auto marked = [mark](std::string s) {
        for (char& c : s) {
          if (c == '.') c = mark;
        }
        return s;
      };
      SCOPED_TRACE(std::string("mark ") + mark + " gross [" + row.gross + "]");
      ASSERT_EQ(UpdateWith(Frame(marked(row.gross), marked(row.net), marked(row.tare))), 0);
      EXPECT_EQ(Gross(), W(row.wantGross));
      EXPECT_EQ(Net(), W(row.wantNet));
      EXPECT_EQ(Tare(), W(row.wantTare));
      EXPECT_EQ(Estado(), "EEEEEkgE");
      EXPECT_STREQ(Estado_EmMovimento(ch_), "E");
    }
  }
  EXPECT_STREQ(Total_Canal(ch_), "") << "only the MSI6260 fills the total";
  EXPECT_STREQ(Contadora_Canal(ch_), "");
}

TEST_P(Msi3360Test, FieldsKeepTheirPlaceAndOnlyAnEmptyNetShowsGross) {
  ASSERT_EQ(UpdateWith(Frame("   60.00", "   50.00", "   10.00", "lb")), 0);
  EXPECT_EQ(Gross(), W("   60,00"));
  EXPECT_EQ(Net(), W("   50,00"));
  EXPECT_EQ(Tare(), W("   10,00"));
  EXPECT_EQ(Estado(), "EEEEElbE");

  ASSERT_EQ(UpdateWith(Frame("   50.00", "--------", "--------", "lb")), 0);
  EXPECT_EQ(Net(), W("   50,00")) << "dashes in the net field: the gross weight";
  EXPECT_EQ(Tare(), "       0");

  ASSERT_EQ(UpdateWith(Frame("  -20.00", "    0.00", "    0.00")), 0);
  EXPECT_EQ(Net(), W("    0,00")) << "a net of 0,00 is a value, not an empty field";
  EXPECT_DOUBLE_EQ(Gross_Canal_Float(ch_), -20.0);
}

TEST_P(Msi3360Test, WrongLengthsAndNoiseSkippedWithinTheUpdate) {
  const std::string body = pesmo6sim::CorpoMSI3360(pesmo6sim::LeituraMSI3360De(4321, 0));
  ASSERT_EQ(body.size(), 26u);
  const std::string noise = "xx\x03yy";
  const std::string shortFrame = QuadroMSI3360(body.substr(1));  // 25 characters
  const std::string longFrame = QuadroMSI3360(" " + body);       // 27 characters
  const std::string good = QuadroMSI3360(pesmo6sim::LeituraMSI3360De(1234, 200));
  ASSERT_EQ(UpdateWith(noise + shortFrame + "junk" + longFrame + good), 0);
  EXPECT_EQ(Gross(), W("   12,34"));
  EXPECT_EQ(Net(), W("   10,34"));
  EXPECT_EQ(Tare(), W("    2,00"));
}

TEST_P(Msi3360Test, StxInsideAFrameIsData) {
  // A second STX does not restart the frame: the 37 characters up to the
  // ETX are one frame of the wrong length.
  const std::string hidden = pesmo6sim::CorpoMSI3360(pesmo6sim::LeituraMSI3360De(1111, 0));
  const std::string second = QuadroMSI3360(pesmo6sim::LeituraMSI3360De(2222, 0));
  ASSERT_EQ(UpdateWith("\x02" "0123456789\x02" + hidden + "\x03" + second), 0);
  EXPECT_EQ(Gross(), W("   22,22"));
}

TEST_P(Msi3360Test, TimeOutIsOneForEitherUpdateAndKeepsTheStatus) {
  ASSERT_EQ(UpdateWith(Frame("    1.00", "    1.00", "    0.00", "KG")), 0);
  Stream("");
  for (int32_t wait : {0, 120}) {
    SCOPED_TRACE(wait);
    const Stopwatch t0;
    EXPECT_EQ(Update_NoMotion(ch_, wait), 1) << "no motion is reported, so never 2";
    EXPECT_GE(MsSince(t0), wait - 5);
    EXPECT_LT(OwnMsSince(t0), wait + 400);
    EXPECT_EQ(Gross(), "0");
    EXPECT_EQ(Net(), "0");
    EXPECT_EQ(Tare(), "0");
    EXPECT_EQ(Estado(), "EEEEEKGE") << "the status of the last frame stays";
    EXPECT_STREQ(Estado_EmMovimento(ch_), "E");
  }
  // Wrong frames alone do not end the wait either.
  EXPECT_EQ(UpdateWith(QuadroMSI3360(std::string(25, '1')), 150), 1);
}

TEST_P(Msi3360Test, ChangingWeightEachUpdateTakesTheNextFrame) {
  if (Network()) conv_->SetLineGenerator(2, pesmo6sim::RampaMSI3360(50000, 1000, 50));
  else sim_->SetGenerator(pesmo6sim::RampaMSI3360(50000, 1000, 50));
  double last = -1;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Update_NoMotion(ch_, 2000), 0) << "a changing weight is a reading like any other";
    const double gross = Gross_Canal_Float(ch_);
    EXPECT_GT(gross, last);
    EXPECT_LE(gross, 500.0);
    EXPECT_DOUBLE_EQ(Tare_Canal_Float(ch_), 10.0);
    last = gross;
  }
}

TEST_P(Msi3360Test, StaleBytesAreNotTheReading) {
  Stream("");
  EXPECT_EQ(Update_NoMotion(ch_, 0), 1);  // a serial port stays open after a time-out
  Inject(QuadroMSI3360(pesmo6sim::LeituraMSI3360De(9999, 0)));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // unread: no pump runs between updates
  ASSERT_EQ(UpdateWith(QuadroMSI3360(pesmo6sim::LeituraMSI3360De(100, 0))), 0);
  EXPECT_EQ(Gross(), W("    1,00"));
}

TEST_P(Msi3360Test, FrameFollowedByMoreBytesInTheSameBurst) {
  // On a serial port the frame closes the port while the rest of the
  // announced bytes are still to be taken.
  const std::string a = QuadroMSI3360(pesmo6sim::LeituraMSI3360De(300, 0));
  const std::string b = QuadroMSI3360(pesmo6sim::LeituraMSI3360De(400, 0));
  const unsigned long sent = sim_ ? sim_->Sent() : 0;
  ASSERT_EQ(UpdateWith(a + b + "trailing"), 0);
  EXPECT_EQ(Gross(), W("    3,00"));
  // A serial line is still carrying the rest; a frame sent after the next
  // open would rightly be that update's reading.
  if (sim_) {
    ASSERT_TRUE(Eventually([&] { return sim_->Sent() > sent; }));
  }
  ASSERT_EQ(UpdateWith(QuadroMSI3360(pesmo6sim::LeituraMSI3360De(500, 0))), 0);
  EXPECT_EQ(Gross(), W("    5,00"));
}

TEST_P(Msi3360Test, FrameWithoutEtxIsAbandonedPastSixtyFourKiB) {
  if (Network()) GTEST_SKIP() << "64 KiB at a converter line's speed take a minute (see UpdateWithEndlessNoise)";
  // Past 64 KiB the collector gives up and looks for the next STX, which
  // otherwise would be data of an endless frame.
  const std::string good = QuadroMSI3360(pesmo6sim::LeituraMSI3360De(777, 0));
  ASSERT_EQ(UpdateWithEndlessNoise("\x02", good), 0);
  EXPECT_EQ(Gross(), W("    7,77"));
}

TEST_P(Msi3360Test, WaitBelowMinusOneAndCloseFromInsideThePump) {
  Stream(QuadroMSI3360(pesmo6sim::LeituraMSI3360De(100, 0)));
  EXPECT_EQ(Update_NoMotion(ch_, -2), 1);
  EXPECT_EQ(Update_NoMotion(ch_, 2000), 0) << "the channel is Pronto again";

  Stream("");
  HostHook hook([&](int pass) {
    if (pass == 3) Close_Canal(ch_);
  });
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch_), 1);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_STREQ(Gross_Canal(ch_), "EEEEEEEEEE");
  EXPECT_EQ(Update_Canal(ch_), 1);
}

INSTANTIATE_TEST_SUITE_P(Transports, Msi3360Test, ::testing::Values(false, true), TransportName);

// ---- Serial port only -------------------------------------------------------

class Msi3360Serial : public LibraryTest {};

TEST_F(Msi3360Serial, RegistrationsAndPortRange) {
  EXPECT_EQ(WMSI3360Serial(65536), -1);
  const int32_t conv = Seta_Ip("127.0.0.1");
  EXPECT_EQ(WMSI3360(conv + 1000, "A"), -1);
  EXPECT_EQ(WMSI3360(conv, "E"), -1);
  EXPECT_EQ(WMSI3360(conv, nullptr), -1);
  EXPECT_EQ(WMSI3360(conv, "b"), 0) << "rejections added no slot";
  EXPECT_EQ(WMSI3360Serial(65535), 1);
  EXPECT_STREQ(Gross_Canal(1), "");
}

TEST_F(Msi3360Serial, PortThatCannotOpenGivesFourAfterSixHundredMs) {
  ASSERT_EQ(Seta_Porta(kPort + 2, "/dev/pesmo6-no-such-port"), 0);
  const int32_t ch = WMSI3360Serial(kPort + 2);
  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch, 5000), 4);
  EXPECT_GE(MsSince(t0), 595);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_STREQ(Net_Canal(ch), "0");
  EXPECT_EQ(Update_NoMotion(ch, 0), 4) << "whatever the wait";
}

TEST_F(Msi3360Serial, LineSettingsOnThePseudoTerminal) {
  pesmo6sim::StreamingIndicator sim(std::chrono::milliseconds(20));
  ASSERT_EQ(Seta_Porta(kPort, sim.Device().c_str()), 0);
  const int32_t ch = WMSI3360Serial(kPort);
  ASSERT_EQ(Update_NoMotion(ch, 0), 1);  // opens the port and leaves it open
  termios t{};
  ASSERT_TRUE(sim.Line().SlaveAttributes(t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << "one stop bit";
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << "no hardware handshake";
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u) << "no software flow control";
}

}  // namespace
