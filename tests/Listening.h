// A fixture for a listening indicator family tested on both transports: the
// parameter picks a serial port (a pseudo-terminal) or a line of a simulated
// converter.  Register and Serial are the family's two registrations.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "Converter.h"
#include "FrameMSI.h"
#include "Indicator.h"
#include "Support.h"
#include "pesmo6.h"

namespace pesmo6test {

// Wire time of one character at each family's line settings.
constexpr std::chrono::microseconds kPace4800_7E1{2084};
constexpr std::chrono::microseconds kPace9600_8N1{1042};
constexpr std::chrono::microseconds kPace1200_7M1{8334};

// The simulator talks at wire pace (kPace), as a real indicator does, on a
// serial port and on the converter's line alike: the library drops what
// arrives faster than the wire could carry it since the update began, as
// leftovers of an adapter's buffer or a converter's backlog.
template <auto Register, auto RegisterSerial, uint32_t kPort, int kLine,
          std::chrono::microseconds::rep kPaceUs = 2084>
class ListeningTest : public LibraryTest, public ::testing::WithParamInterface<bool> {
 protected:
  bool Network() const { return GetParam(); }
  void SetUp() override {
    LibraryTest::SetUp();
    if (Network()) {
      conv_ = std::make_unique<pesmo6sim::Converter>();
      // The converter's serial line runs at the indicator's speed.
      conv_->SetLinePace(kLine, std::chrono::microseconds(kPaceUs));
      const char letter[2] = {static_cast<char>('a' + kLine - 1), '\0'};
      ch_ = Register(Seta_Ip(conv_->Address().c_str()), letter);
      ASSERT_EQ(Select_Canal(ch_), 1);
      ASSERT_TRUE(Eventually([&] { return conv_->LineClients(kLine) == 1; })) << "the converter took the link";
    } else {
      sim_ = std::make_unique<pesmo6sim::StreamingIndicator>(std::chrono::milliseconds(20));
      sim_->SetWirePace(std::chrono::microseconds(kPaceUs));
      ASSERT_EQ(Seta_Porta(kPort, sim_->Device().c_str()), 0);
      ch_ = RegisterSerial(kPort);
    }
    ASSERT_GE(ch_, 0);
  }
  void TearDown() override {
    LibraryTest::TearDown();
    sim_.reset();
    conv_.reset();
  }
  // Sent again and again at the simulator's period; empty is silence.
  void Stream(const std::string& bytes) {
    if (Network()) conv_->SetLineFrame(kLine, bytes);
    else sim_->SetFrame(bytes);
  }
  void Inject(const std::string& bytes) {
    if (Network()) conv_->InjectLine(kLine, bytes);
    else sim_->Inject(bytes);
  }
  // One update with `bytes` sent once the update has settled, so that
  // nothing older than them can be read.
  int32_t UpdateWith(const std::string& bytes, int32_t wait = 2000) {
    HostHook hook(OnceSettled([&] { Inject(bytes); }));
    return Update_NoMotion(ch_, wait);
  }
  // A no-motion update fed `start`, then 17 blocks of 4 KiB of noise
  // without a terminator, then `last`, at the wire's pace.  The line is set
  // to 921600 baud first, so that the noise takes under a second; a
  // converter line runs at the family's own speed, where it would take a
  // minute: the collector is the same on both transports, so the converter
  // case is skipped.
  int32_t UpdateWithEndlessNoise(const std::string& start, const std::string& last, int32_t wait = 4000) {
    ProgSerial(ch_, 921600, 8, 0, 1);
    sim_->SetWirePace(std::chrono::microseconds(11));
    std::string all = start;
    for (unsigned i = 1; i <= 17; ++i) all += pesmo6sim::Lixo(4096, i);
    all += last;
    HostHook hook(OnceSettled([&] { Inject(all); }));
    return Update_NoMotion(ch_, wait);
  }
  std::string Gross() const { return Gross_Canal(ch_); }
  std::string Net() const { return Net_Canal(ch_); }
  std::string Tare() const { return Tare_Canal(ch_); }
  std::string Total() const { return Total_Canal(ch_); }
  std::string Estado() const { return Estado_Canal(ch_); }

  std::unique_ptr<pesmo6sim::StreamingIndicator> sim_;
  std::unique_ptr<pesmo6sim::Converter> conv_;
  int32_t ch_ = -1;
};

inline std::string TransportName(const ::testing::TestParamInfo<bool>& p) {
  return p.param ? "Converter" : "Serial";
}

}  // namespace pesmo6test
