// Converter links as the kernel carries them, in a network namespace of the
// test's own.
//
// A converter that vanishes without closing the line (power or cable lost):
// no FIN, no reset, nothing more at all.  nftables drops every packet of the
// simulated converter; the library must notice the dead link by itself.  A
// converter process that merely stopped would still have its kernel answer
// keepalive probes, which is why its packets are dropped instead.
//
// A host that stops calling while an indicator streams: TCP's window closes
// and the converter keeps a backlog, minutes old when the host calls again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "Converter.h"
#include "Frame7410.h"
#include "Loopback.h"
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


// A model of a converter that keeps its oldest bytes: a 4 KiB buffer between
// the indicator's serial line and the TCP connection, which takes nothing
// more once full.  The indicator's frames carry their own number as the
// weight.  While `fast`, the indicator sends at 100 times 4800 baud, so that
// a few seconds stand for minutes of a host that never called; otherwise at
// 4800 baud.  Everything the buffer holds goes to the connection as fast as
// TCP takes it.
class HoardingConverter {
 public:
  explicit HoardingConverter(const std::string& address) {
    listener_ = pesmo6test::ListenOn(address, 8881, 1);
    if (listener_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~HoardingConverter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (conn_ >= 0) close(conn_);
    if (listener_ >= 0) close(listener_);
  }
  bool Listening() const { return listener_ >= 0; }
  bool Connected() const { return connected_; }
  void SetFast(bool fast) { fast_ = fast; }
  unsigned long FramesMade() const { return made_; }
  // When frame n's first byte went onto the indicator's wire.
  Clock::time_point Began(unsigned long n) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = began_.find(n);
    return it == began_.end() ? Clock::time_point::max() : it->second;
  }

 private:
  static constexpr auto kChar = std::chrono::microseconds(2084);  // 4800 baud, 7E1
  static constexpr size_t kBuffer = 4096;

  void Run() {
    while (!stop_ && conn_ < 0) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) == 1) conn_ = accept(listener_, nullptr, nullptr);
    }
    if (conn_ < 0) return;
    const int small = 4096;
    setsockopt(conn_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    connected_ = true;
    std::string buffer, frame;
    size_t inFrame = 0;
    auto wire = Clock::now();  // when the next character is due
    while (!stop_) {
      // The indicator's characters that are due, into the buffer (or lost).
      const auto now = Clock::now();
      const auto perChar = fast_ ? kChar / 100 : kChar;
      if (now - wire > std::chrono::milliseconds(5)) wire = now - perChar;  // held up: no catch-up
      while (wire + perChar <= now) {
        wire += perChar;
        if (inFrame == frame.size()) {
          const unsigned long n = ++made_;
          frame = pesmo6sim::Frame7410(pesmo6sim::Leitura7410De(static_cast<long>(n % 1000000), 0));
          inFrame = 0;
          std::lock_guard<std::mutex> lock(mutex_);
          began_[n] = wire - perChar;
        }
        const char c = frame[inFrame++];
        if (buffer.size() < kBuffer) buffer += c;
      }
      // The buffer to the connection, as fast as TCP takes it.
      while (!buffer.empty()) {
        const ssize_t n = send(conn_, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        buffer.erase(0, static_cast<size_t>(n));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }

  int listener_ = -1;
  int conn_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> fast_{false};
  std::atomic<unsigned long> made_{0};
  std::mutex mutex_;
  std::map<unsigned long, Clock::time_point> began_;
};

std::string ReadSysctl(const char* path) {
  std::ifstream in(path);
  std::string value;
  std::getline(in, value);
  return value;
}

bool WriteSysctl(const char* path, const std::string& value) {
  std::ofstream out(path);
  out << value << '\n';
  out.close();
  return !out.fail();
}

// Small TCP buffers, in this process's namespace only: a line the host does
// not read fills them within a second, and the converter then keeps its own
// backlog.
class IdleConverterLine : public DeadConverter {
 protected:
  void SetUp() override {
    DeadConverter::SetUp();
    if (IsSkipped()) return;
    rmem_ = ReadSysctl(kRmem);
    wmem_ = ReadSysctl(kWmem);
    ASSERT_TRUE(WriteSysctl(kRmem, "4096 4096 8192"));
    ASSERT_TRUE(WriteSysctl(kWmem, "4096 4096 8192"));
  }
  void TearDown() override {
    if (!rmem_.empty()) WriteSysctl(kRmem, rmem_);
    if (!wmem_.empty()) WriteSysctl(kWmem, wmem_);
    DeadConverter::TearDown();
  }
  static constexpr const char* kRmem = "/proc/sys/net/ipv4/tcp_rmem";
  static constexpr const char* kWmem = "/proc/sys/net/ipv4/tcp_wmem";
  std::string rmem_, wmem_;
};

// A host that reads a converter line, then does not call for a while (here
// 3 s of an indicator sent 100 times too fast: about five minutes of frames).
// The converter holds minutes-old frames behind the full TCP window; the
// update, after Select_Canal as the docs show, must read a frame that began
// on the wire after it started, never the backlog.
TEST_F(IdleConverterLine, BacklogAfterAnIdleHostIsNeverTheReading) {
  const std::string address = "127.0.0.1";
  HoardingConverter conv(address);
  ASSERT_TRUE(conv.Listening());
  const int32_t ch = W7410(Seta_Ip(address.c_str()), "A");
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_TRUE(Eventually([&] { return conv.Connected(); }));
  ASSERT_EQ(Update_Canal(ch), 0);

  for (int round = 0; round < 2; ++round) {
    conv.SetFast(true);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    conv.SetFast(false);
    const unsigned long madeWhileIdle = conv.FramesMade();
    const auto t0 = Clock::now();
    ASSERT_EQ(Select_Canal(ch), 1);
    ASSERT_EQ(Update_Canal(ch), 0) << "round " << round;
    const auto n = static_cast<unsigned long>(std::lround(Net_Canal_Float(ch) * 100));
    EXPECT_GT(n, madeWhileIdle % 1000000) << "round " << round << ": a frame made while the host was away";
    EXPECT_TRUE(conv.Began(n) >= t0) << "round " << round << ": frame " << n << " of " << conv.FramesMade()
                                     << " began before the update";
  }
  Deleta_Canal(ch);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Before any thread starts: every thread of the test lives in the namespace.
  Unavailable() = PrivateNetwork();
  if (!Unavailable().empty()) std::fprintf(stderr, "test_netns: %s\n", Unavailable().c_str());
  return RUN_ALL_TESTS();
}
