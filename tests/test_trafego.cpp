// The byte tap (Seta_Trafego) on both transports and on the converter's
// command exchange: the bytes the host sees are the bytes on the wire, in
// order, with their channel and direction; a callback may call back in,
// even to close the channel whose byte it is shown.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "Indicator.h"
#include "Listening.h"
#include "Ohaus.h"
#include "OhausRig.h"
#include "Support.h"
#include "Trilograf.h"
#include "pesmo6.h"

using namespace pesmo6test;

namespace {

struct Piece {
  int32_t canal;
  int32_t sentido;
  std::string bytes;
};

// Collects what the tap shows; `reaction` runs after each piece is stored.
class Tap {
 public:
  Tap() {
    current_ = this;
    Seta_Trafego(&Sink);
  }
  ~Tap() {
    Seta_Trafego(nullptr);
    current_ = nullptr;
  }
  std::function<void(const Piece&)> reaction;
  const std::vector<Piece>& Pieces() const { return pieces_; }
  // Everything shown for `canal` in direction `sentido`, in order.
  std::string Bytes(int32_t canal, int32_t sentido) const {
    std::string s;
    for (const auto& p : pieces_) {
      if (p.canal == canal && p.sentido == sentido) s += p.bytes;
    }
    return s;
  }

 private:
  static void PESMO6_CALL Sink(int32_t canal, int32_t sentido, const uint8_t* bytes, int32_t n) {
    if (current_ == nullptr) return;
    current_->pieces_.push_back({canal, sentido, std::string(reinterpret_cast<const char*>(bytes), n)});
    if (current_->reaction) current_->reaction(current_->pieces_.back());
  }
  std::vector<Piece> pieces_;
  static inline Tap* current_ = nullptr;
};

// A 7410 on a serial port or on converter line C.
class TapTest : public LibraryTest, public ::testing::WithParamInterface<bool> {
 protected:
  static constexpr uint32_t kPort = 171;
  static constexpr int kLine = 3;
  bool Network() const { return GetParam(); }
  void SetUp() override {
    LibraryTest::SetUp();
    pesmo6sim::Leitura7410 r = pesmo6sim::Leitura7410De(1250, 300);
    frame_ = pesmo6sim::Frame7410(r);
    if (Network()) {
      conv_ = std::make_unique<pesmo6sim::Converter>();
      conv_->SetLineFrame(kLine, frame_, std::chrono::milliseconds(20));
      ch_ = W7410(Seta_Ip(conv_->Address().c_str()), "C");
      ASSERT_EQ(Select_Canal(ch_), 1);
    } else {
      sim_ = std::make_unique<pesmo6sim::StreamingIndicator>(std::chrono::milliseconds(20));
      sim_->SetWirePace(std::chrono::microseconds(2084));
      sim_->SetFrame(frame_);
      ASSERT_EQ(Seta_Porta(kPort, sim_->Device().c_str()), 0);
      ch_ = W7410Serial(kPort);
    }
    ASSERT_GE(ch_, 0);
  }
  void TearDown() override {
    Seta_Trafego(nullptr);
    LibraryTest::TearDown();
    sim_.reset();
    conv_.reset();
  }
  std::string frame_;
  std::unique_ptr<pesmo6sim::StreamingIndicator> sim_;
  std::unique_ptr<pesmo6sim::Converter> conv_;
  int32_t ch_ = -1;
};

TEST_P(TapTest, ReceivedBytesAreTheWireInOrder) {
  // Each update reads one whole frame; the tap shows the bytes the driver
  // saw, in order, the frame it read last and whole.  (Bytes that arrive
  // between two updates, in an update's settle, or faster than the wire
  // are dropped before the driver sees them, so runs are checked per
  // update and may have gaps.)
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    std::string seen;
    {
      Tap tap;
      ASSERT_EQ(Update_Canal(ch_), 0);
      for (const auto& p : tap.Pieces()) {
        EXPECT_EQ(p.canal, ch_);
        EXPECT_EQ(p.sentido, 0);
      }
      seen = tap.Bytes(ch_, 0);
      EXPECT_EQ(tap.Bytes(ch_, 1), "") << "a listening driver sends nothing";
    }
    ASSERT_GE(seen.size(), frame_.size());
    EXPECT_EQ(seen.substr(seen.size() - frame_.size()), frame_) << "the frame read is the last thing seen, whole";
  }

  // Off: nothing more is shown.
  Tap later;
  Seta_Trafego(nullptr);
  ASSERT_EQ(Update_Canal(ch_), 0);
  EXPECT_TRUE(later.Pieces().empty());
}

TEST_P(TapTest, CallbackCallsBackIn) {
  Tap tap;
  int calls = 0;
  std::string netInside;
  tap.reaction = [&](const Piece& p) {
    ++calls;
    // Readouts, the trace hook and the version while a byte is in flight.
    netInside = Net_Canal(p.canal);
    Seta_Log(nullptr);
    const char *a, *b, *c, *d, *e;
    FirVer(&a, &b, &c, &d, &e);
  };
  EXPECT_EQ(Update_Canal(ch_), 0);
  EXPECT_GT(calls, 0);
  EXPECT_EQ(std::string(Net_Canal(ch_)), W("     12,50"));
}

TEST_P(TapTest, ChannelClosedFromInsideTakesNoMoreBytes) {
  Tap tap;
  int shown = 0;
  tap.reaction = [&](const Piece& p) {
    if (++shown == 3) Close_Canal(p.canal);
  };
  EXPECT_EQ(Update_Canal(ch_), 1);
  EXPECT_EQ(shown, 3) << "no byte of the closed channel reached the tap after the close";
  EXPECT_EQ(std::string(Net_Canal(ch_)), "EEEEEEEEEE");
  EXPECT_EQ(Update_Canal(ch_), 1);
}

TEST_P(TapTest, ChannelDeletedFromInside) {
  Tap tap;
  int shown = 0;
  tap.reaction = [&](const Piece& p) {
    if (++shown == 1) Deleta_Canal(p.canal);
  };
  EXPECT_EQ(Update_Canal(ch_), 1);
  EXPECT_EQ(shown, 1);
}

INSTANTIATE_TEST_SUITE_P(Transports, TapTest, ::testing::Bool(), TransportName);

// A request family: what it sends and what comes back.
class TapRequestTest : public LibraryTest, public ::testing::WithParamInterface<bool> {
 protected:
  void TearDown() override {
    Seta_Trafego(nullptr);
    LibraryTest::TearDown();
  }
};

TEST_P(TapRequestTest, OhausRequestAndAnswer) {
  OhausRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Wire(GetParam(), 172));
  auto& bal = rig.bal;
  const int32_t ch = rig.ch;
  const std::string answer = pesmo6sim::OhausLinha("   12.5", "kg");
  bal->SetAnswer(answer);
  Tap tap;
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(tap.Bytes(ch, 1), "P\r\n");
  EXPECT_EQ(tap.Bytes(ch, 0), answer + "\r\n");
  EXPECT_EQ(bal->ReceivedText(), tap.Bytes(ch, 1)) << "what the balance got is what the tap showed";
  // Sent bytes come before the answer.
  ASSERT_FALSE(tap.Pieces().empty());
  EXPECT_EQ(tap.Pieces().front().sentido, 1);
  EXPECT_EQ(tap.Pieces().back().sentido, 0);
}

TEST_P(TapRequestTest, OhausClosedBetweenRequestBytes) {
  OhausRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Wire(GetParam(), 173));
  auto& bal = rig.bal;
  const int32_t ch = rig.ch;
  bal->SetAnswer(pesmo6sim::OhausLinha("   12.5", "kg"));
  Tap tap;
  tap.reaction = [&](const Piece& p) {
    if (p.sentido == 1 && p.bytes == "P") Deleta_Canal(p.canal);
  };
  EXPECT_EQ(Update_Canal(ch), 1);
  EXPECT_EQ(tap.Bytes(ch, 1), "P") << "nothing more is sent on a deleted channel";
}

// A slow tap on the request (a host that logs each piece to disk): the
// balance answers while the callback still runs, and the answer must not be
// taken for something that came while the request went out.
TEST_P(TapRequestTest, SlowTapOnTheRequestLosesNoAnswer) {
  OhausRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Wire(GetParam(), 175));
  auto& bal = rig.bal;
  const int32_t ch = rig.ch;
  const std::string answer = pesmo6sim::OhausLinha("   12.5", "kg");
  bal->SetAnswer(answer);
  Tap tap;
  tap.reaction = [&](const Piece& p) {
    if (p.sentido == 1 && p.bytes == "\n") std::this_thread::sleep_for(std::chrono::milliseconds(60));
  };
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(Net_Canal_Float(ch), 12.5);
  EXPECT_EQ(tap.Bytes(ch, 0), answer + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Transports, TapRequestTest, ::testing::Bool(), TransportName);

TEST_F(LibraryTest, SlowTapOnTrilografRequestsLosesNoReply) {
  pesmo6sim::TagReader reader;
  ASSERT_EQ(Seta_Porta(176, reader.Device().c_str()), 0);
  const int32_t ch = WTrilografSerial(176);
  Tap tap;
  tap.reaction = [&](const Piece& p) {
    if (p.sentido == 1) std::this_thread::sleep_for(std::chrono::milliseconds(40));
  };
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(reader.Requests().size(), 3u);
  EXPECT_EQ(tap.Bytes(ch, 0), reader.HelloReply() + reader.ReadinessReply() + reader.TagReply());
  Seta_Trafego(nullptr);
}

TEST_F(LibraryTest, TapShowsTrilografExchange) {
  pesmo6sim::TagReader reader;
  ASSERT_EQ(Seta_Porta(174, reader.Device().c_str()), 0);
  const int32_t ch = WTrilografSerial(174);
  Tap tap;
  ASSERT_EQ(Update_Canal(ch), 0);
  std::string requests;
  for (const auto& r : reader.Requests()) requests += r;
  EXPECT_EQ(tap.Bytes(ch, 1), requests);
  EXPECT_EQ(tap.Bytes(ch, 1).size(), 16u);
  EXPECT_EQ(tap.Bytes(ch, 0), reader.HelloReply() + reader.ReadinessReply() + reader.TagReply());
  Seta_Trafego(nullptr);
}

TEST_F(LibraryTest, TapShowsConverterCommands) {
  pesmo6sim::Converter conv;
  conv.SetInputs(5);
  const int32_t ip = Seta_Ip(conv.Address().c_str());
  Tap tap;
  ASSERT_EQ(DIO_InPort(ip), 5);
  EXPECT_EQ(tap.Bytes(-1 - ip, 1), "IN\r");
  EXPECT_EQ(tap.Bytes(-1 - ip, 0), "IN005 OK\n\r");
  ASSERT_EQ(DIO_OutBit(ip, 3, 1), 0);
  EXPECT_EQ(tap.Bytes(-1 - ip, 1), "IN\rOB13\r");

  // A command from inside the tap of another command: its own exchange.
  std::vector<int> inner;
  tap.reaction = [&](const Piece& p) {
    if (p.sentido == 1 && p.bytes == "OP7\r") inner.push_back(DIO_InPort(ip));
  };
  ASSERT_EQ(DIO_OutPort(ip, 7), 0);
  EXPECT_EQ(inner, std::vector<int>{5});
  EXPECT_EQ(conv.Outputs(), 7);
  Seta_Trafego(nullptr);
}

}  // namespace
