// Converters: the converter table, 7410 indicators on converter lines, and
// the line link's life (connect, drop, reconnect, close), against the
// simulated converter on a loopback address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "Converter.h"
#include "Frame7410.h"
#include "Loopback.h"
#include "Indicator.h"
#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::Converter;
using pesmo6sim::Frame7410;
using pesmo6sim::Leitura7410;

namespace {

Leitura7410 Reading(long weight, long tare = 0) { return pesmo6sim::Leitura7410De(weight, tare); }

class ConverterTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    conv_ = std::make_unique<Converter>();
    ip_ = Seta_Ip(conv_->Address().c_str());
    ASSERT_GE(ip_, 0);
  }
  void TearDown() override {
    LibraryTest::TearDown();
    conv_.reset();
  }
  std::unique_ptr<Converter> conv_;
  int32_t ip_ = -1;
};

TEST(ConverterTable, FindOrAppend) {
  // Addresses no other test announces: the table is the process's.
  const int32_t a = Seta_Ip("192.0.2.10");
  EXPECT_EQ(Seta_Ip("192.0.2.10"), a);
  const int32_t b = Seta_Ip("192.0.2.10 ");
  EXPECT_EQ(b, a + 1) << "a trailing blank makes another address";
  const int32_t c = Seta_Ip("Conversor");
  EXPECT_EQ(Seta_Ip("conversor"), c + 1) << "case matters";
  const int32_t e = Seta_Ip("");
  EXPECT_EQ(Seta_Ip(nullptr), e) << "null is the empty text";
  EXPECT_EQ(Seta_Ip(""), e);
  EXPECT_EQ(Seta_Ip("255.255.255.255:1"), -1) << "17 characters do not fit";
  const int32_t f = Seta_Ip("123.123.123.1234");  // 16 fit
  EXPECT_EQ(f, e + 1) << "the rejected address added nothing";
  EXPECT_EQ(Seta_Ip("123.123.123.1234"), f);
}

TEST(ConverterTable, TraceLine) {
  TraceLog log;
  Seta_Ip("192.0.2.7");
  ASSERT_FALSE(log.Lines().empty());
  EXPECT_EQ(log.Lines().back(), "SetaIP[192.0.2.7]");
}

TEST_F(ConverterTest, RegistrationValidatesConverterAndLine) {
  const int32_t unknown = UnusedConverter();
  EXPECT_EQ(W7410(unknown, "A"), -1);
  EXPECT_EQ(std::string(Erro_Validacao()),
            "O n\xFAmero de IP registrado (" + std::to_string(unknown) + ") est\xE1 errado !\n\rTemos " +
                std::to_string(unknown) + " IP registrado(s).");
  EXPECT_EQ(W7410(-1, "A"), -1);
  for (const char* bad : {"AB", "E", "", "1", " A"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(W7410C(ip_, bad), -1);
  }
  EXPECT_EQ(W7410(ip_, nullptr), -1);
  EXPECT_EQ(W7410(ip_, "ab"), -1);
  EXPECT_STREQ(Erro_Validacao(), "O canal (AB) n\xE3o existe !\n\rUtilize os canais seriais A,B,C ou D.");
  EXPECT_EQ(W7410(ip_, "a"), 0) << "no rejected registration took a slot";

  // Lower case "a" is line A: port 8881.
  ASSERT_EQ(Select_Canal(0), 1);
  EXPECT_TRUE(Eventually([&] { return conv_->LineAccepted(1) == 1; }));
  EXPECT_EQ(W7410(ip_, "d"), 1);
  ASSERT_EQ(Select_Canal(1), 1);
  EXPECT_TRUE(Eventually([&] { return conv_->LineAccepted(4) == 1; }));
}

TEST_F(ConverterTest, ReadsAnIndicatorOnALine) {
  Leitura7410 r = Reading(12345, 1000);
  r.decimalCode = 3;
  r.net = true;
  conv_->SetLineFrame(2, Frame7410(r));
  const int32_t ch = W7410(ip_, "B");
  EXPECT_STREQ(Gross_Canal(ch), "") << "registered, not yet updated";
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(4) + W("1234,5"));
  EXPECT_EQ(std::string(Gross_Canal(ch)), Spaces(4) + W("1334,5"));
  EXPECT_EQ(std::string(Tare_Canal(ch)), Spaces(5) + W("100,0"));
  EXPECT_STREQ(Estado_Canal(ch), "1SNNNkgN");
  EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), 1234.5);
  EXPECT_EQ(LePesoConsecutivo(ch, 5, 2), 0);
  EXPECT_EQ(conv_->LineAccepted(2), 1) << "one connection served every update";
}

TEST_F(ConverterTest, RawFramesOnALine) {
  conv_->SetLineFrame(3, Frame7410(Reading(42)));
  const int32_t ch = W7410C(ip_, "c");
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_EQ(Update_Canal(ch), 0);
  const std::string raw = Contadora_Canal(ch);
  ASSERT_EQ(raw.size(), 16u);
  EXPECT_EQ(raw.substr(3, 12), "000042000000");
  EXPECT_EQ(raw.back(), '\r');
  EXPECT_STREQ(Net_Canal(ch), "0");
}

TEST_F(ConverterTest, SelectCases) {
  TraceLog log;
  conv_->SetLineFrame(1, Frame7410(Reading(1)));
  const int32_t ch = W7410(ip_, "A");
  const int32_t serial = W7410Serial(3);
  EXPECT_EQ(Select_Canal(serial), 1);
  ASSERT_EQ(Select_Canal(ch), 1);
  EXPECT_EQ(Select_Canal(ch), 1);
  EXPECT_EQ(log.Count("J\xE1 aberto"), 1);
  EXPECT_TRUE(Eventually([&] { return conv_->LineAccepted(1) == 1; }));
  EXPECT_EQ(Select_Canal(-1), 0);
  EXPECT_EQ(Select_Canal(2), 0) << "the table's length";
  Close_Canal(ch);
  EXPECT_EQ(Select_Canal(ch), 1) << "a closed channel is not connected again";
  EXPECT_EQ(conv_->LineAccepted(1), 1);
  EXPECT_EQ(Update_Canal(ch), 1);
  Deleta_Canal(ch);
  EXPECT_EQ(Select_Canal(ch), 0);
}

TEST_F(ConverterTest, RefusedLineFailsAtOnceAndLaterConnects) {
  TraceLog log;
  conv_->SetLineListening(1, false);
  const int32_t ch = W7410(ip_, "A");
  Stopwatch t0;
  EXPECT_EQ(Select_Canal(ch), 0);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_EQ(log.Count("SelectCanal[" + std::to_string(ch) + "] sem conexao"), 1);
  conv_->SetLineListening(1, true);
  conv_->SetLineFrame(1, Frame7410(Reading(7)));
  EXPECT_EQ(Select_Canal(ch), 1);
  EXPECT_EQ(Update_Canal(ch), 0);
}

// A listener whose backlog is full leaves new connections pending: the
// attempt neither succeeds nor fails, and Select_Canal gives up at 5 s.
TEST_F(ConverterTest, PendingConnectionGivesUpAfterFiveSeconds) {
  const std::string address = pesmo6sim::UniqueLoopback();
  const pesmo6test::PendingListener pending(address, 8881);
  ASSERT_TRUE(pending.Listening());

  const int32_t ch = W7410(Seta_Ip(address.c_str()), "A");
  const Stopwatch t0;
  EXPECT_EQ(Select_Canal(ch), 0);
  EXPECT_GE(MsSince(t0), 4990);
  EXPECT_LT(OwnMsSince(t0), 6000);
}

TEST_F(ConverterTest, UpdateWithoutConnectionTimesOut) {
  conv_->SetLineFrame(1, Frame7410(Reading(1)));
  const int32_t ch = W7410(ip_, "A");
  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch, 200), 2);
  EXPECT_GE(MsSince(t0), 195);
  EXPECT_EQ(conv_->LineAccepted(1), 0);
}

TEST_F(ConverterTest, DroppedLinkIsReconnectedBySelect) {
  conv_->SetLineFrame(1, Frame7410(Reading(100)));
  const int32_t ch = W7410(ip_, "A");
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_EQ(Update_Canal(ch), 0);
  ASSERT_TRUE(Eventually([&] { return conv_->LineClients(1) == 1; }));

  conv_->DropLine(1);
  EXPECT_EQ(Update_NoMotion(ch, 150), 2) << "nothing comes on a dropped link";
  conv_->SetLineFrame(1, Frame7410(Reading(200)));
  ASSERT_EQ(Select_Canal(ch), 1);
  EXPECT_TRUE(Eventually([&] { return conv_->LineAccepted(1) == 2; })) << "a new connection";
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(6) + W("2,00"));
}

// The converter closes the line while no update runs: no pump pass has
// seen the FIN, so the link still reads as up until Select_Canal looks.
TEST_F(ConverterTest, SelectReconnectsALineClosedBetweenUpdates) {
  conv_->SetLineFrame(1, Frame7410(Reading(100)));
  const int32_t ch = W7410(ip_, "A");
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_EQ(Update_Canal(ch), 0);
  ASSERT_EQ(conv_->LineAccepted(1), 1);

  conv_->DropLine(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the FIN comes in
  conv_->SetLineFrame(1, Frame7410(Reading(300)));
  TraceLog log;
  ASSERT_EQ(Select_Canal(ch), 1);
  EXPECT_EQ(log.Count("J\xE1 aberto"), 0) << "a closed link is not reported open";
  EXPECT_TRUE(Eventually([&] { return conv_->LineAccepted(1) == 2; })) << "a new connection";
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(6) + W("3,00"));
  EXPECT_EQ(Select_Canal(ch), 1);
  EXPECT_EQ(log.Count("J\xE1 aberto"), 1) << "the live link is left as it is";
  EXPECT_EQ(conv_->LineAccepted(1), 2);
}

// Frames the converter sent while no update listened still sit unread when
// it closes the line (orderly, or reset as it restarts): they are stale, the
// next update would drop them, so they do not make the link count as up.
TEST_F(ConverterTest, SelectReconnectsAClosedLineWithStaleBytesUnread) {
  conv_->SetLineFrame(1, Frame7410(Reading(100)));
  const int32_t ch = W7410(ip_, "A");
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_EQ(Update_Canal(ch), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // frames nobody reads
  conv_->DropLine(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(Select_Canal(ch), 1);
  EXPECT_TRUE(Eventually([&] { return conv_->LineAccepted(1) == 2; })) << "a new connection";
  EXPECT_EQ(Update_NoMotion(ch, 2000), 0) << "read on the new link, not waited out on the closed one";

  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  conv_->PowerOff();  // the converter restarts: its connections are reset
  // The reset reaches the library's socket when the kernel delivers it, on
  // a loaded machine later than a fixed pause: until then the link is up.
  EXPECT_TRUE(Eventually([&] { return Select_Canal(ch) == 0; })) << "nothing listens while it is down";
  conv_->PowerOn();
  ASSERT_EQ(Select_Canal(ch), 1);
  EXPECT_TRUE(Eventually([&] { return conv_->LineAccepted(1) == 3; }));
  EXPECT_EQ(Update_NoMotion(ch, 2000), 0);
}

// Hosts write addresses zero-padded ("127.001.020.003") and with blanks
// around; the parts are decimal ("020" is 20, not octal 16).
TEST_F(ConverterTest, ZeroAndBlankPaddedAddresses) {
  // A last part of two digits: written "0nn", an octal reading would go
  // elsewhere (or nowhere, with an 8 or 9).
  std::string address;
  unsigned parts[4] = {};
  do {
    address = pesmo6sim::UniqueLoopback();
    ASSERT_EQ(std::sscanf(address.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]), 4);
  } while (parts[3] < 10 || parts[3] > 99);
  Converter conv(address);
  conv.SetLineFrame(1, Frame7410(Reading(4321)));
  char padded[48];
  std::snprintf(padded, sizeof padded, " %03u.%03u.%03u.%03u", parts[0], parts[1], parts[2], parts[3]);
  ASSERT_EQ(std::strlen(padded), 16u);
  const int32_t a = W7410(Seta_Ip(padded), "A");
  ASSERT_EQ(Select_Canal(a), 1) << padded;
  ASSERT_EQ(Update_Canal(a), 0);
  EXPECT_EQ(std::string(Net_Canal(a)), Spaces(5) + W("43,21"));

  std::snprintf(padded, sizeof padded, "%u.%u.%u.%03u\t", parts[0], parts[1], parts[2], parts[3]);
  ASSERT_LE(std::strlen(padded), 16u);
  const int32_t b = W7410(Seta_Ip(padded), "A");
  ASSERT_EQ(Select_Canal(b), 1) << padded;
  ASSERT_EQ(Update_Canal(b), 0);
  EXPECT_EQ(conv.LineAccepted(1), 2);
}

TEST_F(ConverterTest, CloseAndDeleteEndTheLink) {
  conv_->SetLineFrame(1, Frame7410(Reading(1)));
  conv_->SetLineFrame(2, Frame7410(Reading(2)));
  TraceLog log;
  const int32_t a = W7410(ip_, "A");
  const int32_t b = W7410(ip_, "B");
  ASSERT_EQ(Select_Canal(a), 1);
  ASSERT_EQ(Select_Canal(b), 1);
  ASSERT_TRUE(Eventually([&] { return conv_->LineClients(1) == 1 && conv_->LineClients(2) == 1; }));

  Close_Canal(a);
  EXPECT_EQ(log.Count("Fechou TCP IP"), 1);
  EXPECT_TRUE(Eventually([&] { return conv_->LineClients(1) == 0; })) << "the converter saw the close";
  EXPECT_STREQ(Gross_Canal(a), "EEEEEEEEEE");
  EXPECT_EQ(Net_Canal_Float(a), 0.0);
  EXPECT_EQ(Update_Canal(a), 1);
  Close_Canal(a);
  EXPECT_EQ(log.Count("Fechou TCP IP"), 1) << "the second close does nothing";

  Deleta_Canal(b);
  EXPECT_TRUE(Eventually([&] { return conv_->LineClients(2) == 0; })) << "deleting an open channel closes it";
}

TEST_F(ConverterTest, CloseFromInsideThePumpStopsANetworkUpdate) {
  const int32_t ch = W7410(ip_, "A");  // silent line
  ASSERT_EQ(Select_Canal(ch), 1);
  int inner = -99;
  HostHook hook([&](int pass) {
    if (pass == 2) inner = Update_NoMotion(ch, 0);
    if (pass == 4) Close_Canal(ch);
  });
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch), 1);
  EXPECT_LT(OwnMsSince(t0), 1000);
  EXPECT_EQ(inner, 1) << "busy channel";
  EXPECT_STREQ(Net_Canal(ch), "EEEEEEEEEE");
  EXPECT_TRUE(Eventually([&] { return conv_->LineClients(1) == 0; }));
}

TEST_F(ConverterTest, DeleteFromInsideSelect) {
  conv_->SetLineListening(1, false);
  conv_->SetLineListening(1, true);
  const int32_t keep = W7410(ip_, "B");
  const int32_t ch = W7410(ip_, "A");
  HostHook hook([&](int) { Deleta_Canal(ch); });
  EXPECT_EQ(Select_Canal(ch), 0);
  EXPECT_EQ(Select_Canal(keep), 1);
}

TEST_F(ConverterTest, FramesBetweenUpdatesAreStale) {
  conv_->SetLineFrame(1, Frame7410(Reading(111)));
  const int32_t net = W7410(ip_, "A");
  ASSERT_EQ(Select_Canal(net), 1);
  ASSERT_EQ(Update_Canal(net), 0);
  // Frames of the old weight pile up while the host does other things; the
  // next update must report the weight now shown, not a buffered one.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  conv_->SetLineFrame(1, Frame7410(Reading(222)));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(Update_Canal(net), 0);
  EXPECT_EQ(std::string(Net_Canal(net)), Spaces(6) + W("2,22"));
}

// ---- A real serial device server -------------------------------------------

// ser2net bridges TCP port 8881 of a loopback address to a pseudo-terminal
// where the simulated indicator talks: a converter line made of real parts.
class Ser2Net {
 public:
  Ser2Net(const std::string& address, const std::string& device) {
    const std::string stem = "/tmp/pesmo6-ser2net-" + std::to_string(getpid()) + "-" + address;
    config_ = stem + ".yaml";
    // ser2net removes its pid file when it stops: never point it at a shared path.
    pidFile_ = stem + ".pid";
    std::ofstream(config_) << "connection: &line\n"
                           << "  accepter: tcp," << address << ",8881\n"
                           << "  connector: serialdev," << device << ",4800e71,local\n";
    const char* argv[] = {"ser2net", "-n", "-c", config_.c_str(), "-P", pidFile_.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "ser2net", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Ser2Net() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::remove(config_.c_str());
    std::remove(pidFile_.c_str());
  }
  bool Started() const { return pid_ > 0; }
  // Ready once its port accepts a connection.
  static bool WaitListening(const std::string& address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8881);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return Eventually(
        [&] {
          const int fd = socket(AF_INET, SOCK_STREAM, 0);
          const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
          close(fd);
          return ok;
        },
        3000);
  }

 private:
  std::string config_;
  std::string pidFile_;
  pid_t pid_ = -1;
};

bool HaveSer2Net() { return access("/usr/sbin/ser2net", X_OK) == 0 || access("/usr/bin/ser2net", X_OK) == 0; }

TEST_F(ConverterTest, ReadsThroughSer2Net) {
  if (!HaveSer2Net()) GTEST_SKIP() << "ser2net is not installed";
  pesmo6sim::StreamingIndicator indicator(std::chrono::milliseconds(20));
  Leitura7410 r = Reading(31415, 0);
  r.decimalCode = 5;  // three decimals
  indicator.SetFrame(Frame7410(r));
  const std::string address = pesmo6sim::UniqueLoopback();
  Ser2Net server(address, indicator.Device());
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(Ser2Net::WaitListening(address));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const int32_t ch = W7410(Seta_Ip(address.c_str()), "A");
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(4) + W("31,415"));
  EXPECT_EQ(LePesoConsecutivo(ch, 5, 3), 0);
  EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), 31.415);
  Close_Canal(ch);
}

}  // namespace
