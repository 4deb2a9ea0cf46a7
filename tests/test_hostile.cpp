// Every export called with hostile arguments: out-of-range channel and
// converter numbers, null, huge and odd texts, extreme waits.  Each call must
// return its defined failure value promptly and never crash (this suite also
// runs under AddressSanitizer and UBSan).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "Converter.h"
#include "Indicator.h"
#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::Converter;

namespace {

class Hostile : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    // A small table: two serial channels on ports nobody maps, one deleted.
    ASSERT_EQ(Seta_Porta(60, "/dev/pesmo6-hostile-none"), 0);
    a_ = W7410Serial(60);
    b_ = WKVTSerial(60);
    ASSERT_GE(b_, 0);
    Deleta_Canal(b_);
  }
  int32_t a_ = -1, b_ = -1;
};

std::vector<int32_t> BadChannels(int32_t deleted) {
  return {INT32_MIN, -2, -1, deleted, 511, 512, 4096, 1 << 20, INT32_MAX};
}

const std::string kBig(1 << 20, 'x');
const std::string kHigh("\xFF\xE9\x80\x81\xA0", 5);
const std::string kControl("A\r\n\x01\x1B[2J\t\x7F", 9);

TEST_F(Hostile, ChannelNumbers) {
  for (const int32_t ch : BadChannels(b_)) {
    SCOPED_TRACE(ch);
    const Stopwatch t0;
    EXPECT_EQ(Update_Canal(ch), 1);
    EXPECT_EQ(Update_NoMotion(ch, 0), 1);
    EXPECT_EQ(Update_NoMotion(ch, INT32_MAX), 1);
    EXPECT_EQ(Update_NoMotion(ch, INT32_MIN), 1);
    for (auto readout : {Gross_Canal, Net_Canal, Tare_Canal, Estado_Canal, Estado_EmMovimento})
      EXPECT_STREQ(readout(ch), "EEEEEEEEEE");
    for (auto readout : {Tag_Canal, Total_Canal, Contadora_Canal, Display_Erro}) {
      const char* text = readout(ch);
      ASSERT_NE(text, nullptr);
      EXPECT_LE(std::strlen(text), 64u);
    }
    EXPECT_EQ(Gross_Canal_Float(ch), 0.0);
    EXPECT_EQ(Net_Canal_Float(ch), 0.0);
    EXPECT_EQ(Tare_Canal_Float(ch), 0.0);
    EXPECT_EQ(Select_Canal(ch), 0);
    ASSERT_NE(Erro_Validacao(), nullptr);
    Close_Canal(ch);
    Deleta_Canal(ch);
    ProgSerial(ch, INT32_MIN, INT32_MAX, -1, INT32_MIN);
    EXPECT_EQ(LePesoConsecutivo(ch, -5, INT32_MIN), ch == -1 ? -1 : 7) << "a limit already passed";
    EXPECT_LT(OwnMsSince(t0), 500);
  }
  // The one channel left is untouched by all of this.
  EXPECT_EQ(Select_Canal(a_), 1);
  EXPECT_EQ(LePesoConsecutivo(-1, INT32_MAX, INT32_MAX), -1);
}

TEST_F(Hostile, ConverterNumbersAndLines) {
  // The converter table only grows: the first number past its end.
  const int32_t next = Seta_Ip("hostile-probe") + 1;
  ASSERT_GT(next, 0);
  for (const int32_t conv : {INT32_MIN, -1, next, next + 1000, INT32_MAX}) {
    SCOPED_TRACE(conv);
    EXPECT_EQ(W7410(conv, "A"), -1);
    EXPECT_EQ(WOhaus(conv, nullptr), -1);
    EXPECT_EQ(DIO_InPort(conv), -1);
    EXPECT_STREQ(DIO_InPortStr(conv), "EEEEEEEE");
    EXPECT_EQ(DIO_InBit(conv, INT32_MIN), -1);
    EXPECT_EQ(DIO_InBitStr(conv, INT32_MAX), 'E');
    EXPECT_EQ(DIO_OutPort(conv, INT32_MIN), -1);
    EXPECT_EQ(DIO_OutPortStr(conv, kBig.c_str()), -1);
    EXPECT_EQ(DIO_OutBit(conv, INT32_MAX, INT32_MIN), -1);
    EXPECT_EQ(DIO_OutBitStr(conv, -1, nullptr), -1);
    EXPECT_EQ(ClrBufRx(conv, kBig.c_str()), -1);
    EXPECT_EQ(ClrBufTx(conv, nullptr), -1);
  }
  Converter sim;
  const int32_t ip = Seta_Ip(sim.Address().c_str());
  ASSERT_GE(ip, 0);
  for (const std::string& line : {std::string(), kBig, kHigh, kControl, std::string("E"), std::string("AB")}) {
    EXPECT_EQ(W7410(ip, line.c_str()), -1);
    EXPECT_EQ(WTrilograf(ip, line.c_str()), -1);
  }
  EXPECT_EQ(WMSI6260(ip, nullptr), -1);
  EXPECT_TRUE(sim.Commands().empty());
}

TEST_F(Hostile, TextArguments) {
  EXPECT_EQ(Seta_Ip(kBig.c_str()), -1) << "longer than an address record";
  const int32_t high = Seta_Ip(kHigh.c_str());
  const int32_t control = Seta_Ip(kControl.c_str());
  EXPECT_GE(high, 0);
  EXPECT_GE(control, 0);
  EXPECT_EQ(Seta_Ip(kHigh.c_str()), high);

  // Mapping a huge or odd path is taken; opening it fails cleanly (code 4).
  EXPECT_EQ(Seta_Porta(61, kBig.c_str()), 0);
  EXPECT_EQ(Seta_Porta(62, kControl.c_str()), 0);
  EXPECT_EQ(Seta_Porta(63, kHigh.c_str()), 0);
  EXPECT_EQ(Seta_Porta(UINT32_MAX, "/dev/null"), -1);
  const int32_t big = W7410Serial(61);
  ASSERT_GE(big, 0);
  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(big, 0), 4);
  EXPECT_LT(OwnMsSince(t0), 1500);
  Seta_Log(nullptr);
  Seta_Eventos(nullptr, nullptr);
  FirVer(nullptr, nullptr, nullptr, nullptr, nullptr);
}

// Output patterns reach the converter as commands: whatever the host passes,
// what is sent is one well-formed command line.
TEST_F(Hostile, OutputPatternsSentToAConverter) {
  Converter sim;
  const int32_t ip = Seta_Ip(sim.Address().c_str());
  ASSERT_GE(ip, 0);
  const std::vector<std::string> patterns = {std::string(), kBig, kHigh, kControl, std::string(40, 'S'),
                                             std::string("SNSNxx\x00SS", 9)};
  for (const auto& p : patterns) EXPECT_EQ(DIO_OutPortStr(ip, p.c_str()), 0);
  EXPECT_EQ(DIO_OutBitStr(ip, 3, kBig.c_str()), 0);
  EXPECT_EQ(DIO_OutBit(ip, INT32_MIN, INT32_MAX), 0);
  ASSERT_EQ(sim.Commands().size(), patterns.size() + 2);
  for (const auto& c : sim.Commands()) {
    SCOPED_TRACE(c);
    EXPECT_LT(c.size(), 32u);
    EXPECT_EQ(c.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(c.rfind("O", 0), 0u);
  }
}

// Extreme waits on a channel that exists: a huge wait runs until the host
// ends it (no overflow into an immediate time-out); a wait below -1 is
// refused at once with 1, nothing done.
TEST_F(Hostile, ExtremeWaitsOnALiveChannel) {
  pesmo6sim::StreamingIndicator silent(std::chrono::milliseconds(20));
  silent.SetFrame("");
  ASSERT_EQ(Seta_Porta(64, silent.Device().c_str()), 0);
  const int32_t ch = W7410Serial(64);
  ASSERT_GE(ch, 0);
  Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch, INT32_MIN), 1);
  EXPECT_EQ(Update_NoMotion(ch, -2), 1);
  EXPECT_LT(OwnMsSince(t0), 100);

  t0 = Stopwatch();
  HostHook hook([&](int) {
    if (MsSince(t0) >= 300) Close_Canal(ch);
  });
  EXPECT_EQ(Update_NoMotion(ch, INT32_MAX), 1) << "ended by the close, not by the wait";
  const auto spent = MsSince(t0), own = OwnMsSince(t0);
  EXPECT_GE(spent, 290);
  EXPECT_LT(own, 1500);
}

}  // namespace
