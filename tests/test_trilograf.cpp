// The Trilograf driver: the three-request exchange on a serial port and the
// STX ... CR tag line on a converter line.  Every update waits 3000 ms at
// most, whatever the wait asked for.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Support.h"
#include "Trilograf.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::LinhaTag;
using pesmo6sim::RespostaTrilograf;

namespace {

const std::string kPedido0("\x0A\xFF\x02\x44\xB1", 5);
const std::string kPedido1("\x0A\xFF\x02\x80\x75", 5);
const std::string kPedido2("\x0A\xFF\x03\x40\x01\xB3", 6);
const std::string kTagExemplo("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\xAB\xFF", 12);

std::string Tag(int32_t ch) { return Tag_Canal(ch); }

class TrilografSerial : public LibraryTest {
 protected:
  static constexpr uint32_t kPort = 71;
  void SetUp() override {
    LibraryTest::SetUp();
    reader_ = std::make_unique<pesmo6sim::TagReader>();
    ASSERT_EQ(Seta_Porta(kPort, reader_->Device().c_str()), 0);
    ch_ = WTrilografSerial(kPort);
    ASSERT_GE(ch_, 0);
  }
  void TearDown() override {
    LibraryTest::TearDown();
    reader_.reset();
  }
  // A tag-read reply: status, two bytes the driver skips, the tag, and more.
  static std::string TagData(const std::string& tag, uint8_t status = 1) {
    return std::string(1, static_cast<char>(status)) + std::string(2, '\0') + tag;
  }
  // One update that runs into the 3000 ms limit.
  void ExpectTimeOut() {
    const Stopwatch t0;
    EXPECT_EQ(Update_Canal(ch_), 1);
    EXPECT_GE(MsSince(t0), 2995);
    EXPECT_LT(OwnMsSince(t0), 3600);
  }
  std::unique_ptr<pesmo6sim::TagReader> reader_;
  int32_t ch_ = -1;
};

TEST_F(TrilografSerial, ThreeRequestsGiveTheTagInHex) {
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(Tag(ch_), "0102030405060708090AABFF");
  EXPECT_EQ(reader_->Requests(), (std::vector<std::string>{kPedido0, kPedido1, kPedido2}));
  EXPECT_EQ(reader_->Received(), kPedido0 + kPedido1 + kPedido2) << "nothing else was sent";

  // The next update runs a whole new exchange, and a no-motion wait of 0
  // changes nothing.
  reader_->SetTag(std::string(12, '\x5A'));
  ASSERT_EQ(Update_NoMotion(ch_, 0), 0);
  EXPECT_EQ(Tag(ch_), "5A5A5A5A5A5A5A5A5A5A5A5A");
  EXPECT_EQ(reader_->Requests(),
            (std::vector<std::string>{kPedido0, kPedido1, kPedido2, kPedido0, kPedido1, kPedido2}));
}

TEST_F(TrilografSerial, ReadinessStatusPositionFollowsByte1) {
  // Byte 1 = 4: the status is data byte 5 (data byte 4 holds 0 here).
  reader_->SetReadiness(4);
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(Tag(ch_), "0102030405060708090AABFF");

  // Byte 1 = 2: never ready, whatever the status bytes say; no tag request.
  reader_->SetReadiness(2);
  ExpectTimeOut();
  EXPECT_EQ(Tag(ch_), "");
  const auto requests = reader_->Requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[3], kPedido0);
  EXPECT_EQ(requests[4], kPedido1);
}

TEST_F(TrilografSerial, GarbageBeforeTheReplyAndChecksumsNotChecked) {
  // Noise before each 0x0B is skipped; a 0x0B inside a reply is data; the
  // checksum bytes are all wrong and the replies are taken anyway.
  const std::string tag("\x0B\x0B\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99", 12);
  reader_->SetReply(0x44, std::string("\x55\xAA\x0A", 3) + RespostaTrilograf(0, 0x44, "", 0x00));
  reader_->SetReply(0x80, std::string("\x01\x02", 2) + RespostaTrilograf(3, 0x80, std::string("\x01\x00", 2), 0x13));
  reader_->SetReply(0x40, std::string("\xFF", 1) + RespostaTrilograf(0, 0x40, TagData(tag), 0x77));
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(Tag(ch_), "0B0B00112233445566778899");
}

TEST_F(TrilografSerial, ThirtyByteLengthNeverCompletes) {
  // 28 data bytes announced: the driver keeps 20 and waits for the rest.
  reader_->SetReply(0x40, RespostaTrilograf(0, 0x40, TagData(kTagExemplo) + std::string(13, '\x01')));
  ASSERT_EQ(static_cast<uint8_t>(RespostaTrilograf(0, 0x40, TagData(kTagExemplo) + std::string(13, '\x01'))[2]), 30);
  ExpectTimeOut();
  EXPECT_EQ(Tag(ch_), "");
}

TEST_F(TrilografSerial, NoTagInTheField) {
  reader_->SetTag("");
  ExpectTimeOut();
  EXPECT_EQ(Tag(ch_), "");
  EXPECT_EQ(reader_->Requests().size(), 3u);
}

// A tag reply too short to hold the twelve tag bytes holds no tag: what an
// earlier reply left behind is not taken for one.
TEST_F(TrilografSerial, ShortTagReplyIsNotAStaleTag) {
  ASSERT_EQ(Update_Canal(ch_), 0);
  reader_->SetReply(0x40, RespostaTrilograf(0, 0x40, TagData(std::string(4, '\x0C'))));
  ExpectTimeOut();
  EXPECT_EQ(Tag(ch_), "");
}

TEST_F(TrilografSerial, UnopenablePortGivesTwoAtOnce) {
  ASSERT_EQ(Seta_Porta(72, "/nonexistent/ttyTrilograf"), 0);
  const int32_t ch = WTrilografSerial(72);
  for (int i = 0; i < 2; ++i) {
    const Stopwatch t0;
    EXPECT_EQ(Update_Canal(ch), 2) << "the first request cannot be written";
    EXPECT_LT(OwnMsSince(t0), 500);
    EXPECT_EQ(Tag(ch), "");
  }
}

TEST_F(TrilografSerial, ClosedFromInsideThePump) {
  HostHook hook([&](int pass) {
    if (pass == 1) Close_Canal(ch_);
  });
  EXPECT_EQ(Update_Canal(ch_), 1);
  EXPECT_EQ(Tag(ch_), "EEEEEEEEEE");
}

TEST_F(TrilografSerial, Registrations) {
  EXPECT_EQ(WTrilografSerial(65536), -1);
  EXPECT_EQ(WTrilografSerial(65535), ch_ + 1) << "a rejected port adds no slot";
  pesmo6sim::Converter conv;
  const int32_t ip = Seta_Ip(conv.Address().c_str());
  EXPECT_EQ(WTrilograf(ip, "x"), -1);
  EXPECT_EQ(WTrilograf(ip + 100, "A"), -1);
  EXPECT_EQ(WTrilograf(ip, "c"), ch_ + 2);
}

// A reader behind converter line A.
class TrilografNetwork : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    conv_ = std::make_unique<pesmo6sim::Converter>();
    reader_ = std::make_unique<pesmo6sim::NetworkTagReader>(*conv_, 1);
    ch_ = Connect("A", 1);
  }
  void TearDown() override {
    LibraryTest::TearDown();
    reader_.reset();
    conv_.reset();
  }
  int32_t Connect(const char* letter, int line) {
    const int32_t ch = WTrilograf(Seta_Ip(conv_->Address().c_str()), letter);
    EXPECT_GE(ch, 0);
    EXPECT_EQ(Select_Canal(ch), 1);
    EXPECT_TRUE(Eventually([&] { return conv_->LineClients(line) == 1; }));
    return ch;
  }
  std::unique_ptr<pesmo6sim::Converter> conv_;
  std::unique_ptr<pesmo6sim::NetworkTagReader> reader_;
  int32_t ch_ = -1;
};

TEST_F(TrilografNetwork, TagLine) {
  {
    HostHook hook(OnceSettled([&] { reader_->SendRaw("noise" + LinhaTag("ABC123")); }));
    ASSERT_EQ(Update_Canal(ch_), 0);
    EXPECT_EQ(Tag(ch_), "ABC123") << "what came before the STX is not part of it";
  }
  reader_->Present("XYZ");
  ASSERT_EQ(Update_NoMotion(ch_, 1), 0) << "the wait is not used";
  EXPECT_EQ(Tag(ch_), "XYZ");
  EXPECT_EQ(conv_->LineReceived(1), "") << "nothing is sent on a converter line";
}

// A line cut short (the reader reset, the link hiccuped) is followed by a
// whole one: the new STX starts the tag over instead of gluing both.
TEST_F(TrilografNetwork, StxStartsTheTagOver) {
  HostHook hook(OnceSettled([&] { reader_->SendRaw("\x02" "E2003412D" + LinhaTag("E2003412DC0301181234")); }));
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(Tag(ch_), "E2003412DC0301181234");
}

TEST_F(TrilografNetwork, LineWithoutCrTimesOutWithWhatCame) {
  HostHook hook(OnceSettled([&] { reader_->Send("PARTIAL", false); }));
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch_), 1);
  EXPECT_GE(MsSince(t0), 2995);
  EXPECT_EQ(Tag(ch_), "PARTIAL");
}

// The tag ends at its CR and stays as read until the channel's next update.
TEST_F(TrilografNetwork, TagIsNotExtendedAfterItsLine) {
  {
    HostHook hook(OnceSettled([&] { reader_->SendRaw(LinhaTag("AAA") + LinhaTag("BBB")); }));
    ASSERT_EQ(Update_Canal(ch_), 0);
  }
  EXPECT_EQ(Tag(ch_), "AAA") << "bytes after the CR in the same segment";

  // More lines while another channel's update runs the pump.
  const int32_t other = Connect("B", 2);
  {
    HostHook hook(OnceSettled([&] {
      reader_->SendRaw(LinhaTag("CCC"));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      conv_->InjectLine(2, LinhaTag("OTHER"));
    }));
    ASSERT_EQ(Update_Canal(other), 0);
  }
  EXPECT_EQ(Tag(other), "OTHER");
  EXPECT_EQ(Tag(ch_), "AAA");

  // A line waiting when the update starts is stale.
  reader_->SendRaw(LinhaTag("STALE"));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  HostHook hook(OnceSettled([&] { reader_->SendRaw(LinhaTag("DDD")); }));
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_EQ(Tag(ch_), "DDD");
}

}  // namespace
