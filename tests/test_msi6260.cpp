// The MSI6260 driver on both transports: labelled lines ("GROSS ",
// " TARE ", "  NET ", "TOTAL "), a value and a unit, ended by LF.
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "FrameMSI.h"
#include "Listening.h"

using namespace pesmo6test;
using pesmo6sim::kRotuloGross;
using pesmo6sim::kRotuloNet;
using pesmo6sim::kRotuloTare;
using pesmo6sim::kRotuloTotal;
using pesmo6sim::LinhaMSI6260;

namespace {

constexpr uint32_t kPort = 61;
const std::string kNone = "EEEEEEE";
using Msi6260Test = ListeningTest<&WMSI6260, &WMSI6260Serial, kPort, 4, kPace1200_7M1.count()>;

TEST_P(Msi6260Test, WorkedExamplesWithEitherDecimalMark) {
  struct Row {
    std::string line, total, gross, net, tare, estado;
  };
  const Row rows[] = {
      {"GROSS  1234.5 KG\r\n", kNone, "1234,5", kNone, kNone, "EEEEEKGE"},
      {"  NET    980.0 LB\r\n", kNone, kNone, "  980,0", kNone, "EEEEELBE"},
      {"TOTAL   15000 KG\r\n", " 15000", kNone, kNone, kNone, "EEEEEKGE"},
      {"GROSS  1234.5\r\n", kNone, kNone, kNone, kNone, "EEEEELBE"},
      {" TARE   100.0 KG\r\n", kNone, kNone, kNone, " 100,0", "EEEEEKGE"},
  };
  for (char mark : {'.', ','}) {
    for (const Row& row : rows) {
      std::string line = row.line;
      for (char& c : line) {
        if (c == '.') c = mark;
      }
      SCOPED_TRACE(line);
      ASSERT_EQ(UpdateWith(line), 0);
      EXPECT_EQ(Total(), W(row.total));
      EXPECT_EQ(Gross(), W(row.gross));
      EXPECT_EQ(Net(), W(row.net));
      EXPECT_EQ(Tare(), W(row.tare));
      EXPECT_EQ(Estado(), row.estado);
      EXPECT_STREQ(Estado_EmMovimento(ch_), "E");
    }
  }
  EXPECT_STREQ(Contadora_Canal(ch_), "");
  EXPECT_STREQ(Tag_Canal(ch_), "");
}

TEST_P(Msi6260Test, FirstLabelledLineOfATicketIsTheReading) {
  const std::string ticket = pesmo6sim::TicketMSI6260(12345, 2345, 99000);
  ASSERT_EQ(UpdateWith("no label here\r\n" + ticket), 0);
  EXPECT_EQ(Gross(), W("  1234,5"));
  EXPECT_EQ(Tare(), kNone) << "the tare line came after the reading";
  EXPECT_EQ(Net(), kNone);
  EXPECT_EQ(Total(), kNone);
  EXPECT_DOUBLE_EQ(Gross_Canal_Float(ch_), 1234.5);
}

TEST_P(Msi6260Test, LabelsMatchExactlyWithTheirSpaces) {
  const std::string notLabels = "gross  12.0 KG\r\n"   // case
                                " NET  5.0 KG\r\n"      // one space before NET
                                "GROSS12.0 KG\r\n"      // no space after GROSS
                                " TARE\t3.0 KG\r\n"     // a tab is not a space
                                "Total   9 KG\r\n";
  ASSERT_EQ(UpdateWith(notLabels + LinhaMSI6260(kRotuloNet, "  7.5")), 0);
  EXPECT_EQ(Net(), W("  7,5"));
  EXPECT_EQ(Gross(), kNone);
  EXPECT_EQ(Tare(), kNone);

  EXPECT_EQ(UpdateWith(notLabels, 150), 1) << "lines without a label only";
}

TEST_P(Msi6260Test, WhereTheUnitStands) {
  ASSERT_EQ(UpdateWith("KG GROSS  12.0 KG\r\n"), 0);
  EXPECT_EQ(Gross(), "") << "the unit's first occurrence is before the label";
  EXPECT_EQ(Estado(), "EEEEEKGE");

  ASSERT_EQ(UpdateWith("  NET  980.0 LB (KG)\r\n"), 0);
  EXPECT_EQ(Net(), W("980,0 LB ")) << "a KG anywhere makes the unit KG; the value ends before it";
  EXPECT_EQ(Estado(), "EEEEEKGE");

  ASSERT_EQ(UpdateWith("GROSS  1,234.5 LB\r\n"), 0);
  EXPECT_EQ(Gross(), std::string("1") + Sep() + "234" + Sep() + "5") << "both marks become the separator";

  ASSERT_EQ(UpdateWith("TOTAL 5 KG\n"), 0);
  EXPECT_EQ(Total(), "") << "nothing between the label's separator and the unit's";
}

TEST_P(Msi6260Test, TotalIsKeptUntilALineReplacesIt) {
  ASSERT_EQ(UpdateWith(LinhaMSI6260(kRotuloTotal, "  15000")), 0);
  EXPECT_EQ(Total(), "  15000");
  Stream("");
  for (int32_t wait : {0, 100}) {
    SCOPED_TRACE(wait);
    const Stopwatch t0;
    EXPECT_EQ(Update_NoMotion(ch_, wait), 1) << "no motion is reported, so never 2";
    EXPECT_LT(OwnMsSince(t0), wait + 400);
    EXPECT_EQ(Total(), "  15000") << "an update does not reset the total";
    EXPECT_EQ(Gross(), "0");
    EXPECT_EQ(Net(), "0");
    EXPECT_EQ(Tare(), "0");
    EXPECT_EQ(Estado(), "EEEEEKGE");
  }
  ASSERT_EQ(UpdateWith(LinhaMSI6260(kRotuloGross, "  120.0")), 0);
  EXPECT_EQ(Total(), kNone) << "a reading without the total label replaces it";
}

TEST_P(Msi6260Test, StaleLinesAreNotTheReading) {
  Stream("");
  EXPECT_EQ(Update_NoMotion(ch_, 0), 1);  // a serial port stays open after a time-out
  Inject(LinhaMSI6260(kRotuloGross, "9999.9"));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // unread: no pump runs between updates
  ASSERT_EQ(UpdateWith(LinhaMSI6260(kRotuloGross, "   1.0")), 0);
  EXPECT_EQ(Gross(), W("   1,0"));
}

TEST_P(Msi6260Test, LinesStreamedAtTheIndicatorsPace) {
  if (Network()) conv_->SetLineGenerator(4, pesmo6sim::CicloLinhas({LinhaMSI6260(kRotuloNet, "  2.5"), "\r\n"}));
  else sim_->SetGenerator(pesmo6sim::CicloLinhas({LinhaMSI6260(kRotuloNet, "  2.5"), "\r\n"}));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Update_Canal(ch_), 0);
    EXPECT_EQ(Net(), W("  2,5"));
  }
}

TEST_P(Msi6260Test, LineWithoutLfIsDroppedPastSixtyFourKiB) {
  if (Network()) GTEST_SKIP() << "64 KiB at a converter line's speed take a minute (see UpdateWithEndlessNoise)";
  // The label at the start of an endless line is lost with it; collection
  // starts again and the next line is the reading.
  ASSERT_EQ(UpdateWithEndlessNoise("GROSS  1.0 KG ", "\n" + LinhaMSI6260(kRotuloNet, "2.0")), 0);
  EXPECT_EQ(Net(), W("2,0"));
  EXPECT_EQ(Gross(), kNone);
}

TEST_P(Msi6260Test, DeleteFromInsideThePumpEndsTheUpdate) {
  HostHook hook([&](int pass) {
    if (pass == 2) Deleta_Canal(ch_);
  });
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch_), 1);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_STREQ(Total_Canal(ch_), "EEEEEEEEEE");
  EXPECT_EQ(Select_Canal(ch_), 0) << "the slot is gone";
}

INSTANTIATE_TEST_SUITE_P(Transports, Msi6260Test, ::testing::Values(false, true), TransportName);

// ---- Serial port only -------------------------------------------------------

class Msi6260Serial : public LibraryTest {};

TEST_F(Msi6260Serial, RegistrationsAndPortRange) {
  EXPECT_EQ(WMSI6260Serial(70000), -1);
  const int32_t conv = Seta_Ip("127.0.0.1");
  EXPECT_EQ(WMSI6260(conv, "AB"), -1);
  EXPECT_EQ(WMSI6260(conv, ""), -1);
  EXPECT_EQ(WMSI6260(-1, "A"), -1);
  EXPECT_EQ(WMSI6260(conv, "d"), 0) << "rejections added no slot";
  EXPECT_EQ(WMSI6260Serial(1), 1);
  EXPECT_STREQ(Total_Canal(0), "");
}

TEST_F(Msi6260Serial, PortThatCannotOpenGivesFourAfterSixHundredMs) {
  ASSERT_EQ(Seta_Porta(kPort + 2, "/dev/pesmo6-no-such-port"), 0);
  const int32_t ch = WMSI6260Serial(kPort + 2);
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch), 4);
  EXPECT_GE(MsSince(t0), 595);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_STREQ(Gross_Canal(ch), "0");
}

TEST_F(Msi6260Serial, LineSettingsOnThePseudoTerminal) {
  pesmo6sim::StreamingIndicator sim(std::chrono::milliseconds(20));
  ASSERT_EQ(Seta_Porta(kPort, sim.Device().c_str()), 0);
  const int32_t ch = WMSI6260Serial(kPort);
  ASSERT_EQ(Update_NoMotion(ch, 0), 1);  // opens the port and leaves it open
  termios t{};
  ASSERT_TRUE(sim.Line().SlaveAttributes(t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B1200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B1200));
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << "one stop bit";
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << "no hardware handshake";
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u) << "no software flow control";
}

}  // namespace
