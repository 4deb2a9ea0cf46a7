// Converter digital I/O and buffer commands: what the converter received
// for every export, and how replies turn into results.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "Indicator.h"
#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::Converter;
using Commands = std::vector<std::string>;

namespace {

class Dio : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    conv_ = std::make_unique<Converter>();
    ip_ = Seta_Ip(conv_->Address().c_str());
  }
  void Reply(const std::string& text) {
    conv_->SetCommandMode(Converter::CommandMode::Fixed);
    conv_->SetFixedReply(text);
  }
  std::unique_ptr<Converter> conv_;
  int32_t ip_ = -1;
};

TEST_F(Dio, InputValue129) {
  conv_->SetInputs(129);
  EXPECT_EQ(DIO_InPort(ip_), 129);
  EXPECT_STREQ(DIO_InPortStr(ip_), "SNNNNNNS");
  EXPECT_EQ(DIO_InBit(ip_, 7), 1);
  EXPECT_EQ(DIO_InBit(ip_, 1), 0);
  EXPECT_EQ(DIO_InBitStr(ip_, 0), 'S');
  EXPECT_EQ(DIO_InBitStr(ip_, 1), 'N');
  EXPECT_EQ(DIO_InBit(ip_, 32), 1) << "only the low five bits of the bit number count";
  EXPECT_EQ(DIO_InBit(ip_, 33), 0);
  conv_->SetInputs(2);
  EXPECT_EQ(DIO_InBit(ip_, 33), 1);
  EXPECT_EQ(conv_->Commands(), Commands(9, "IN"));
}

TEST_F(Dio, InputReplyParsing) {
  Reply("IN  5 OK\n\r");
  EXPECT_EQ(DIO_InPort(ip_), 5);
  Reply("**IN042 OK\n\r");
  EXPECT_EQ(DIO_InPort(ip_), 42) << "\"IN\" anywhere in the reply";
  Reply("IN-12 OK\n\r");
  EXPECT_EQ(DIO_InPort(ip_), -12);
  for (const char* bad : {"IN5 X OK\n\r", "129 OK\n\r", "in129 OK\n\r", "IN OK\n\r"}) {
    SCOPED_TRACE(bad);
    Reply(bad);
    EXPECT_EQ(DIO_InPort(ip_), -1);
    EXPECT_STREQ(DIO_InPortStr(ip_), "EEEEEEEE");
    EXPECT_EQ(DIO_InBit(ip_, 0), -1);
    EXPECT_EQ(DIO_InBitStr(ip_, 0), 'E');
  }
}

TEST_F(Dio, InPortStrKeepsItsTextUntilTheNextCall) {
  conv_->SetInputs(3);
  const char* first = DIO_InPortStr(ip_);
  EXPECT_STREQ(first, "SSNNNNNN");
  conv_->SetInputs(0);
  EXPECT_STREQ(DIO_InPortStr(ip_), "NNNNNNNN");
}

TEST_F(Dio, OutputCommandTexts) {
  TraceLog log;
  EXPECT_EQ(DIO_OutPort(ip_, 5), 0);
  EXPECT_EQ(DIO_OutPort(ip_, -7), 0);
  EXPECT_EQ(DIO_OutPortStr(ip_, "SNS"), 0);
  EXPECT_EQ(DIO_OutPortStr(ip_, "snS"), 0);
  EXPECT_EQ(DIO_OutPortStr(ip_, ""), 0);
  EXPECT_EQ(DIO_OutPortStr(ip_, nullptr), 0);
  EXPECT_EQ(DIO_OutPortStr(ip_, (std::string(31, 'N') + "SS").c_str()), 0);
  EXPECT_EQ(DIO_OutBit(ip_, 3, 1), 0);
  EXPECT_EQ(DIO_OutBitStr(ip_, 3, "S"), 0);
  EXPECT_EQ(DIO_OutBitStr(ip_, 3, "s"), 0);
  EXPECT_EQ(DIO_OutBitStr(ip_, 12, nullptr), 0);
  EXPECT_EQ(DIO_OutBit(ip_, 0, 7), 0);
  const Commands expected = {"OP5",  "OP-7", "OP5",  "OP4",   "OP0", "OP0", "OP-2147483648",
                             "OB13", "OB13", "OB03", "OB012", "OB70"};
  EXPECT_EQ(conv_->Commands(), expected);
  const std::string c = std::to_string(ip_);
  EXPECT_EQ(log.Count("DIO_OutPort[" + c + ",5]"), 1);
  EXPECT_EQ(log.Count("DIO_OutPort[" + c + ",SNS]"), 1);
  EXPECT_EQ(log.Count("DIO_Outbit[" + c + ",3,1]"), 1);
  EXPECT_EQ(log.Count("DIO_Outbit[" + c + ",3,S]"), 1);
  EXPECT_EQ(log.Count("DIO_Outbit[" + c + ",12,]"), 1);
}

TEST_F(Dio, BufferCommands) {
  EXPECT_EQ(ClrBufRx(ip_, "b"), 0);
  EXPECT_EQ(ClrBufTx(ip_, "D"), 0);
  EXPECT_EQ(ClrBufTx(ip_, "E"), -1);
  EXPECT_EQ(ClrBufRx(ip_, "AB"), -1);
  EXPECT_EQ(ClrBufRx(ip_, nullptr), -1);
  EXPECT_EQ(ClrBufTx(ip_, ""), -1);
  EXPECT_EQ(conv_->Commands(), (Commands{"RB", "WD"})) << "rejected letters send nothing";
  EXPECT_EQ(conv_->Clears('R', 2), 1);
  EXPECT_EQ(conv_->Clears('W', 4), 1);
}

TEST_F(Dio, InvalidConverterSendsNothing) {
  const int32_t bad = UnusedConverter();
  EXPECT_EQ(DIO_InPort(bad), -1);
  EXPECT_STREQ(DIO_InPortStr(-1), "EEEEEEEE");
  EXPECT_EQ(DIO_InBit(bad, 0), -1);
  EXPECT_EQ(DIO_InBitStr(bad, 0), 'E');
  EXPECT_EQ(DIO_OutPort(bad, 1), -1);
  EXPECT_EQ(DIO_OutPortStr(bad, "S"), -1);
  EXPECT_EQ(DIO_OutBit(bad, 1, 1), -1);
  EXPECT_EQ(DIO_OutBitStr(bad, 1, "S"), -1);
  EXPECT_EQ(ClrBufRx(bad, "A"), -1);
  EXPECT_EQ(ClrBufTx(-5, "A"), -1);
  EXPECT_TRUE(conv_->Commands().empty());
  EXPECT_EQ(conv_->CommandConnections(), 0);
}

TEST_F(Dio, UnreachableConverter) {
  conv_->SetCommandMode(Converter::CommandMode::Refuse);
  const Stopwatch t0;
  EXPECT_EQ(DIO_OutPort(ip_, 1), 0) << "sent, even though nobody got it";
  EXPECT_EQ(DIO_OutPortStr(ip_, "S"), 0);
  EXPECT_EQ(DIO_OutBit(ip_, 1, 1), 0);
  EXPECT_EQ(DIO_OutBitStr(ip_, 1, "S"), 0);
  EXPECT_EQ(ClrBufRx(ip_, "A"), 0);
  EXPECT_EQ(DIO_InPort(ip_), -1);
  EXPECT_STREQ(DIO_InPortStr(ip_), "EEEEEEEE");
  EXPECT_EQ(DIO_InBit(ip_, 0), -1);
  EXPECT_EQ(DIO_InBitStr(ip_, 0), 69);
  EXPECT_LT(OwnMsSince(t0), 1000) << "a refused connection costs nothing";
}

TEST_F(Dio, ExchangeErrorIsCaughtAndTraced) {
  conv_->SetCommandMode(Converter::CommandMode::Reset);
  TraceLog log;
  EXPECT_EQ(DIO_OutPort(ip_, 9), -1);
  EXPECT_EQ(DIO_OutPortStr(ip_, "NS"), -1);
  EXPECT_EQ(DIO_OutBitStr(ip_, 2, "S"), -1);
  EXPECT_EQ(DIO_InPort(ip_), -1);
  EXPECT_EQ(DIO_InBitStr(ip_, 0), 'E');
  EXPECT_EQ(ClrBufTx(ip_, "A"), -1);
  const std::string c = std::to_string(ip_);
  EXPECT_EQ(log.Count("DIO_OutPort[" + c + ",9] com except"), 1);
  EXPECT_EQ(log.Count("DIO_OutPortStr[" + c + ",NS] com except"), 1);
  EXPECT_EQ(log.Count("DIO_Outbit[" + c + ",2,S] com except"), 1);
}

// ---- ProgSerial -------------------------------------------------------------

class ProgSerialTest : public LibraryTest {};

TEST_F(ProgSerialTest, NextUpdateOpensWithTheNewSettings) {
  pesmo6sim::StreamingIndicator sim(std::chrono::milliseconds(20));
  sim.SetFrame(pesmo6sim::Frame7410(pesmo6sim::Leitura7410{}));
  ASSERT_EQ(Seta_Porta(30, sim.Device().c_str()), 0);
  const int32_t ch = W7410SerialC(30);  // raw mode keeps the port open
  ASSERT_EQ(Update_Canal(ch), 0);

  ProgSerial(ch, 9600, 8, 2, 2);
  const int other = open(sim.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "ProgSerial closed the port";
  close(other);

  ASSERT_EQ(Update_Canal(ch), 0);
  termios t{};
  ASSERT_TRUE(sim.Line().SlaveAttributes(t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u) << "two stop bits";

  // Rates outside the termios table are set as numbers.
  ProgSerial(ch, 14400, 8, 0, 1);
  EXPECT_EQ(Update_NoMotion(ch, 0), 2) << "the port opened at 14400 baud";
  EXPECT_EQ(pesmo6sim::OutputSpeed(sim.Line().MasterFd()), 14400);
  ProgSerial(ch, 56000, 8, 0, 1);
  EXPECT_EQ(Update_NoMotion(ch, 0), 2);
  EXPECT_EQ(pesmo6sim::OutputSpeed(sim.Line().MasterFd()), 56000);
  ProgSerial(ch, 4800, 9, 0, 1);
  EXPECT_EQ(Update_NoMotion(ch, 0), 4) << "a refused setting shows when the port opens";
  ProgSerial(ch, 4800, 7, 2, 1);
  EXPECT_EQ(Update_Canal(ch), 0);
}

TEST_F(ProgSerialTest, LeavesOtherChannelsAlone) {
  Converter conv;
  conv.SetLineFrame(1, pesmo6sim::Frame7410(pesmo6sim::Leitura7410{}));
  const int32_t net = W7410(Seta_Ip(conv.Address().c_str()), "A");
  ASSERT_EQ(Select_Canal(net), 1);
  ProgSerial(net, 9600, 8, 0, 1);
  EXPECT_EQ(Update_Canal(net), 0);
  EXPECT_EQ(conv.LineAccepted(1), 1);

  const int32_t closed = W7410Serial(5);
  Close_Canal(closed);
  ProgSerial(closed, 9600, 8, 0, 1);
  ProgSerial(-1, 9600, 8, 0, 1);
  ProgSerial(999, 9600, 8, 0, 1);
  EXPECT_STREQ(Net_Canal(closed), "EEEEEEEEEE");
}

}  // namespace
