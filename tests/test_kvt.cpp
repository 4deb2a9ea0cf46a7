// The KVT driver on both transports: the 7410 frame without checksum,
// accepted only at exactly 16 characters after the STX.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Converter.h"
#include "Frame7410.h"
#include "Indicator.h"
#include "Listening.h"
#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::FrameKVT;
using pesmo6sim::Leitura7410;

namespace {

Leitura7410 Reading(long weight, long tare = 0) { return pesmo6sim::Leitura7410De(weight, tare); }

// One KVT indicator, reached on serial port 50 or on converter line C.
class KvtTest : public ListeningTest<&WKVT, &WKVTSerial, 50, 3> {};

TEST_P(KvtTest, SeventeenByteFrame) {
  Leitura7410 r = Reading(500, 1000);
  r.negative = true;
  const std::string frame = FrameKVT(r);
  ASSERT_EQ(frame.size(), 17u);
  Stream(frame);
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(std::string(Net_Canal(ch_)), Spaces(5) + W("-5,00"));
  EXPECT_EQ(std::string(Gross_Canal(ch_)), Spaces(6) + W("5,00"));
  EXPECT_EQ(std::string(Tare_Canal(ch_)), Spaces(5) + W("10,00"));
  EXPECT_STREQ(Estado_Canal(ch_), "1NSNNkgN");
  EXPECT_STREQ(Contadora_Canal(ch_), "") << "KVT has no raw mode";
}

TEST_P(KvtTest, WrongLengthsDroppedThenGoodFrame) {
  const std::string good = FrameKVT(Reading(4321));
  const std::string body = good.substr(1);
  const std::string shortFrame = "\x02" + body.substr(0, 10) + "\r";
  const std::string longFrame = "\x02" + body.substr(0, 15) + "9\r";
  HostHook hook(OnceSettled([&] { Inject(shortFrame + longFrame + FrameKVT(Reading(1234))); }));
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(std::string(Net_Canal(ch_)), Spaces(5) + W("12,34"));
}

TEST_P(KvtTest, ByteAfterCrIgnoredUnlessItIsStx) {
  // A 7410-style checksum byte after the CR is noise; an STX there starts
  // the next frame at once.
  const std::string first = FrameKVT(Reading(1111)) + "\x55";
  const std::string second = FrameKVT(Reading(2222));
  HostHook hook(OnceSettled([&] { Inject(first + second); }));
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(std::string(Net_Canal(ch_)), Spaces(5) + W("11,11"));
}

TEST_P(KvtTest, StxInsideAFrameCountsAsACharacter) {
  Leitura7410 r = Reading(0);
  r.weight = "00\x02" "500";
  HostHook hook(OnceSettled([&] { Inject(FrameKVT(r)); }));
  ASSERT_EQ(Update_NoMotion(ch_, 1000), 0);
  EXPECT_EQ(std::string(Net_Canal(ch_)), Spaces(6) + W("0,00")) << "the field is not a number";
}

TEST_P(KvtTest, NoMotionWaitsAndOverload) {
  Leitura7410 moving = Reading(900);
  moving.motion = true;
  Stream(FrameKVT(moving));
  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch_, 250), 2);
  EXPECT_GE(MsSince(t0), 245);
  EXPECT_STREQ(Estado_EmMovimento(ch_), "S");
  EXPECT_EQ(std::string(Net_Canal(ch_)), Spaces(6) + W("9,00"));

  Leitura7410 over = Reading(1);
  over.overload = true;
  Stream(FrameKVT(over));
  EXPECT_EQ(Update_Canal(ch_), 3);
  Stream("");
  EXPECT_EQ(Update_NoMotion(ch_, 50), 3) << "overload sticks through time-outs";
  Stream(FrameKVT(Reading(2)));
  EXPECT_EQ(Update_Canal(ch_), 0);
}

TEST_P(KvtTest, SevenFourTenFramesAreNotAccepted) {
  Stream(pesmo6sim::Frame7410(Reading(5)));  // 18 bytes: the checksum follows the CR
  EXPECT_EQ(Update_Canal(ch_), 0) << "the CR ends a good KVT frame; the checksum byte is dropped";
  EXPECT_EQ(std::string(Net_Canal(ch_)), Spaces(6) + W("0,05"));
}

INSTANTIATE_TEST_SUITE_P(Transports, KvtTest, ::testing::Values(false, true), TransportName);

}  // namespace
