// A converter that vanishes without closing the line (power or cable lost):
// no FIN, no reset, nothing more at all.  The test runs in a network
// namespace of its own, where nftables drops every packet of the simulated
// converter; the library must notice the dead link by itself.  A converter
// process that merely stopped would still have its kernel answer keepalive
// probes, which is why its packets are dropped instead.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Converter.h"
#include "Frame7410.h"
#include "Support.h"
#include "engine/Definir.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::Converter;

namespace {

// Why the tests cannot run here; empty once the private network is up.
std::string& Unavailable() {
  static std::string reason = "not set up";
  return reason;
}

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A network namespace of this process's own, with its loopback up: the
// rules below touch no other process's traffic.
std::string PrivateNetwork() {
  if (geteuid() != 0) return "needs root (a private network namespace and nftables rules)";
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
  if (!Run("ip link set lo up")) return "ip link set lo up failed (is iproute2 installed?)";
  if (!Run("nft list tables")) return "nft does not run (is nftables installed?)";
  return std::string();
}

bool Nft(const std::string& command) { return Run("nft " + command); }

bool LinkActive(int32_t canal) {
  pesmo6::ChannelRef ch = pesmo6::CanalVivo(canal);
  return ch && ch->DMDLL && ch->DMDLL->SocLeitura.Active();
}

// A plain client without keepalive, as the library's link was before.
int PlainClient(const std::string& address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class DeadConverter : public LibraryTest {
 protected:
  void SetUp() override {
    if (!Unavailable().empty()) GTEST_SKIP() << Unavailable();
    LibraryTest::SetUp();
  }
  void TearDown() override {
    if (!Unavailable().empty()) return;
    Nft("delete table ip pesmo6");
    LibraryTest::TearDown();
  }
};

TEST_F(DeadConverter, LinkIsDroppedWithinFifteenSeconds) {
  Converter conv;
  conv.SetLineFrame(1, pesmo6sim::Frame7410(pesmo6sim::Leitura7410De(500, 0)));
  const int32_t ch = W7410(Seta_Ip(conv.Address().c_str()), "A");
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_EQ(Update_Canal(ch), 0);
  const int plain = PlainClient(conv.Address(), 8881);
  ASSERT_GE(plain, 0);
  ASSERT_TRUE(Eventually([&] { return conv.LineClients(1) == 2; }));

  // From now on nothing the converter sends arrives.
  ASSERT_TRUE(Nft("add table ip pesmo6"));
  ASSERT_TRUE(Nft("'add chain ip pesmo6 in { type filter hook input priority 0; }'"));
  ASSERT_TRUE(Nft("add rule ip pesmo6 in ip saddr " + conv.Address() + " drop"));
  const auto t0 = Clock::now();

  // The host keeps updating; nothing comes, and the link must go down.
  while (LinkActive(ch) && MsSince(t0) < 25000) EXPECT_EQ(Update_NoMotion(ch, 500), 2);
  const long long noticed = MsSince(t0);
  std::printf("dead link noticed after %lld ms\n", noticed);
  RecordProperty("noticed_ms", static_cast<int>(noticed));
  EXPECT_FALSE(LinkActive(ch));
  EXPECT_LE(noticed, 20000) << "keepalive should break the link within about 15 s";
  EXPECT_GE(noticed, 4000) << "nothing but the keepalive should have broken it";

  // The plain client on the same converter line sees nothing wrong: without
  // keepalive the link would still be up.
  pollfd p{plain, POLLRDHUP, 0};
  poll(&p, 1, 0);
  EXPECT_EQ(p.revents & (POLLRDHUP | POLLHUP | POLLERR), 0) << "revents " << p.revents;
  close(plain);

  // Select_Canal tries again, and cannot connect while the converter is gone.
  EXPECT_EQ(Select_Canal(ch), 0);

  // The converter is back: the channel connects and reads again.
  ASSERT_TRUE(Nft("delete table ip pesmo6"));
  const int accepted = conv.LineAccepted(1);
  conv.SetLineFrame(1, pesmo6sim::Frame7410(pesmo6sim::Leitura7410De(600, 0)));
  ASSERT_EQ(Select_Canal(ch), 1);
  EXPECT_TRUE(Eventually([&] { return conv.LineAccepted(1) == accepted + 1; }));
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_EQ(std::string(Net_Canal(ch)), Spaces(6) + W("6,00"));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Before any thread starts: every thread of the test lives in the namespace.
  Unavailable() = PrivateNetwork();
  if (!Unavailable().empty()) std::fprintf(stderr, "test_netns: %s\n", Unavailable().c_str());
  return RUN_ALL_TESTS();
}
