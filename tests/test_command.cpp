// The converter's command exchange: one blocking connection per command,
// the reply collected up to " OK" LF CR or the time limit.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "Converter.h"
#include "Support.h"
#include "transport/DataMDll.h"
#include "transport/platform/Platform.h"

using namespace pesmo6;
using pesmo6sim::Converter;
using pesmo6test::Clock;
using pesmo6test::MsSince;

namespace {

class CommandExchange : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = LimitesDoComando(); }
  void TearDown() override { LimitesDoComando() = saved_; }
  Converter conv_;
  LimitesComando saved_{};
};

TEST_F(CommandExchange, OneSegment) {
  conv_.SetInputs(129);
  pesmo6test::TraceLog log;
  const auto t0 = Clock::now();
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN129 OK\n\r"));
  EXPECT_LT(MsSince(t0), 500);
  EXPECT_EQ(conv_.Commands(), std::vector<std::string>{"IN"});
  const std::vector<std::string> trace = {"SocIO Conectando . . . . .", "SocIO Conectou !", "SocIO Desconectou !"};
  EXPECT_EQ(log.Lines(), trace);
}

TEST_F(CommandExchange, EachCommandHasItsOwnConnection) {
  EnviaComando(conv_.Address(), "OP5");
  EnviaComando(conv_.Address(), "OB13");
  EXPECT_EQ(conv_.CommandConnections(), 2);
  EXPECT_EQ(conv_.Outputs(), 5 | 8);
}

TEST_F(CommandExchange, ReplySplitWithTheTerminatorCut) {
  conv_.SetInputs(7);
  conv_.SetCommandMode(Converter::CommandMode::Split);
  const auto t0 = Clock::now();
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN007 OK\n\r"));
  EXPECT_GE(MsSince(t0), 70) << "all three segments were awaited";
  EXPECT_LT(MsSince(t0), 1000);
}

TEST_F(CommandExchange, ZeroByteEndsWhatASegmentGives) {
  conv_.SetInputs(129);
  conv_.SetCommandMode(Converter::CommandMode::ZeroByte);
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN129 OK\n\r"));
}

TEST_F(CommandExchange, TerminatorInTheWrongOrderRunsToTheLimit) {
  LimitesDoComando().respostaMs = 300;
  conv_.SetInputs(1);
  conv_.SetCommandMode(Converter::CommandMode::WrongOrder);
  const auto t0 = Clock::now();
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN001 OK\r\n"));
  EXPECT_GE(MsSince(t0), 295);
  EXPECT_LT(MsSince(t0), 800);
}

TEST_F(CommandExchange, SilentConverterGivesAnEmptyReplyAfterTenSeconds) {
  conv_.SetCommandMode(Converter::CommandMode::Silent);
  const auto t0 = Clock::now();
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), "");
  EXPECT_GE(MsSince(t0), 9990);
  EXPECT_LT(MsSince(t0), 11000) << "one read wait, not two";
}

TEST_F(CommandExchange, ConverterClosingEarlyEndsTheExchange) {
  conv_.SetInputs(255);
  conv_.SetCommandMode(Converter::CommandMode::CloseEarly);
  const auto t0 = Clock::now();
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN255"));
  EXPECT_LT(MsSince(t0), 1000) << "nothing more can come once the converter closed";
}

TEST_F(CommandExchange, RefusedConnectionReturnsAtOnce) {
  conv_.SetCommandMode(Converter::CommandMode::Refuse);
  pesmo6test::TraceLog log;
  const auto t0 = Clock::now();
  EXPECT_EQ(EnviaComando(conv_.Address(), "OP1"), "");
  EXPECT_LT(MsSince(t0), 500);
  ASSERT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(log.Lines()[1].rfind("Erro ", 0), 0u);
  EXPECT_NE(log.Lines()[1].find(" no socket de IO"), std::string::npos);
  EXPECT_EQ(EnviaComando("not an address", "OP1"), "");
}

TEST_F(CommandExchange, TickWrapDuringAnExchange) {
  conv_.SetInputs(42);
  conv_.SetCommandMode(Converter::CommandMode::Split);
  platform::ShiftTick(std::numeric_limits<uint32_t>::max() - platform::Tick() - 30);
  EXPECT_EQ(EnviaComando(conv_.Address(), "IN"), std::string("IN042 OK\n\r"));
}

}  // namespace
