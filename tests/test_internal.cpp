// Pieces no export shows on its own: weight formatting, number parsing, the
// line settings asked of the OS, the tick's wrap-around, converter address
// forms and the line link's liveness check.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "Indicator.h"
#include "Ohaus.h"
#include "Support.h"
#include "Trilograf.h"
#include "drivers/Formato.h"
#include "drivers/W_7410.h"
#include "engine/Canal.h"
#include "pesmo6.h"
#include "transport/DataMDll.h"
#include "transport/DataMSerial.h"
#include "transport/platform/Platform.h"

using namespace pesmo6;
using pesmo6test::Clock;
using pesmo6test::MsSince;
using pesmo6test::OwnMsSince;
using pesmo6test::Stopwatch;

namespace {

TEST(FormataPeso, WorkedExamples) {
  EXPECT_EQ(FormataPeso("1234", 2, false, ','), "     12,34");
  EXPECT_EQ(FormataPeso("5", 2, true, ','), "     -0,05");
  EXPECT_EQ(FormataPeso("1", 5, false, ','), "   0,00001");
  EXPECT_EQ(FormataPeso("1234", 0, false, ','), "      1234");
  EXPECT_EQ(FormataPeso("1234", 2, false, '.'), "     12.34");
  EXPECT_EQ(FormataPeso("0", 2, true, '.'), "     -0.00");
  EXPECT_EQ(FormataPeso("", 0, false, '.'), "         0");
  EXPECT_EQ(FormataPeso("999999", 5, true, ','), "  -9,99999");
  EXPECT_EQ(FormataPeso("123456789012", 0, false, ','), "3456789012") << "leftmost digits lost";
}

TEST(FormataPeso, DecimalsPastTheTenPositions) {
  // No separator fits and the rightmost ten digits show; a huge count pads
  // only to what shows (it once allocated as many zeros as it named).
  EXPECT_EQ(FormataPeso("1", 12, false, ','), "0000000001");
  EXPECT_EQ(FormataPeso("1", std::numeric_limits<int32_t>::max(), true, ','), "0000000001");
  EXPECT_EQ(FormataPeso("123", 9, false, ','), ",000000123");
  EXPECT_EQ(FormataPeso("5", -3, true, '.'), "        -5");
  EXPECT_EQ(FormataPeso("5", std::numeric_limits<int32_t>::min(), false, '.'), "         5");
}

TEST(Numbers, WeightTextConversion) {
  double v = -1;
  EXPECT_TRUE(TextoParaNumero("  12,50", ',', v));
  EXPECT_DOUBLE_EQ(v, 12.5);
  EXPECT_FALSE(TextoParaNumero("  12,50", '.', v));
  EXPECT_TRUE(TextoParaNumero("     -0,05", ',', v));
  EXPECT_DOUBLE_EQ(v, -0.05);
  EXPECT_TRUE(TextoParaNumero(" +1,5e2 ", ',', v));
  EXPECT_DOUBLE_EQ(v, 150.0);
  EXPECT_TRUE(TextoParaNumero("7", '.', v));
  EXPECT_DOUBLE_EQ(v, 7.0);
  for (const char* bad : {"", "   ", "EEEEEEEEEE", "12,5,0", "1e", "-", ",", "1 2", "1e999", "0x10", "12,50kg"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(TextoParaNumero(bad, ',', v));
  }
}

TEST(Numbers, FrameFields) {
  EXPECT_EQ(InteiroOuZero("000500"), 500);
  EXPECT_EQ(InteiroOuZero("  -120"), -120);
  EXPECT_EQ(InteiroOuZero("+00012"), 12);
  EXPECT_EQ(InteiroOuZero("12\r"), 0) << "a field that reaches the CR";
  EXPECT_EQ(InteiroOuZero(""), 0);
  EXPECT_EQ(InteiroOuZero("12 "), 0);
  EXPECT_EQ(InteiroOuZero("1A"), 0);
}

TEST(Checksum, AgreesWithTheSimulatorAndFlagsCorruption) {
  for (int i = 0; i < 200; ++i) {
    std::string body;
    for (int k = 0; k < 15; ++k) body.push_back(static_cast<char>(0x20 + (i * 7 + k * 13) % 0x60));
    body.push_back('\r');
    EXPECT_EQ(T7410Bal::CalculaSoma(body), pesmo6sim::Checksum7410(body));
  }
  // Bit 7 of a character does not enter the sum.
  EXPECT_EQ(T7410Bal::CalculaSoma("\xB1\r"), T7410Bal::CalculaSoma("1\r"));
}

class Internal : public pesmo6test::LibraryTest {
 protected:
  void TearDown() override {
    SetSerialOpenObserver(nullptr);
    pesmo6test::LibraryTest::TearDown();
  }
};

// Pseudo-terminals cannot keep 7 data bits or parity: check what the
// library asked the OS for.
TEST_F(Internal, LineSettingsAskedOfTheSystem) {
  pesmo6sim::StreamingIndicator sim(std::chrono::milliseconds(20));
  sim.SetFrame(pesmo6sim::Frame7410(pesmo6sim::Leitura7410{}));
  ASSERT_EQ(Seta_Porta(9, sim.Device().c_str()), 0);
  std::vector<std::pair<std::string, platform::SerialSettings>> seen;
  SetSerialOpenObserver([&](const std::string& d, const platform::SerialSettings& s) { seen.emplace_back(d, s); });
  const int32_t ch = W7410Serial(9);
  ASSERT_EQ(Update_Canal(ch), 0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, sim.Device());
  const platform::SerialSettings& s = seen[0].second;
  EXPECT_EQ(s.baud, 4800);
  EXPECT_EQ(s.dataBits, 7);
  EXPECT_EQ(s.parity, platform::Parity::Even);
  EXPECT_EQ(s.stopBits, 1);
  EXPECT_FALSE(s.dtr);
  EXPECT_FALSE(s.rts);
  EXPECT_EQ(s.swFlow, platform::SoftwareFlow::None);

  seen.clear();
  const int32_t unmapped = W7410Serial(3);
  EXPECT_EQ(Update_NoMotion(unmapped, 0), 4);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].first, "/dev/ttyS2") << "port n is /dev/ttyS(n-1) without a mapping";
}

TEST_F(Internal, ProgSerialSettingsAskedOfTheSystem) {
  pesmo6sim::StreamingIndicator sim(std::chrono::milliseconds(20));
  sim.SetFrame(pesmo6sim::Frame7410(pesmo6sim::Leitura7410{}));
  ASSERT_EQ(Seta_Porta(11, sim.Device().c_str()), 0);
  std::vector<platform::SerialSettings> seen;
  SetSerialOpenObserver([&](const std::string&, const platform::SerialSettings& s) { seen.push_back(s); });
  const int32_t ch = W7410Serial(11);

  ProgSerial(ch, 9600, 8, 3, 1);
  ASSERT_EQ(Update_Canal(ch), 0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].baud, 9600);
  EXPECT_EQ(seen[0].dataBits, 8);
  EXPECT_EQ(seen[0].parity, platform::Parity::None) << "code 3 is not mark";
  EXPECT_FALSE(seen[0].dtr) << "the driver's handshake lines stay";

  ProgSerial(ch, 19200, 7, 1, 2);
  ProgSerial(ch, 1200, 70000, 2, 1);  // does not fit: nothing changes
  ProgSerial(ch, 1200, 8, 2, -1);
  ASSERT_EQ(Update_Canal(ch), 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].baud, 19200);
  EXPECT_EQ(seen[1].dataBits, 7);
  EXPECT_EQ(seen[1].parity, platform::Parity::Odd);
  EXPECT_EQ(seen[1].stopBits, 2);
}

TEST(Platform, RejectsWhatAPortCannotDo) {
  platform::SerialPort port;
  platform::SerialSettings s;
  s.baud = 12345;
  EXPECT_THROW(port.Open("/dev/null", s), platform::SerialError);
  s.baud = 9600;
  EXPECT_THROW(port.Open("/dev/null", s), platform::SerialError) << "not a terminal";
  EXPECT_THROW(port.ReadByte(), platform::SerialError);
  const uint8_t b = 1;
  EXPECT_THROW(port.Write(&b, 1), platform::SerialError);
  EXPECT_FALSE(port.IsOpen());
}

// The tick wraps at 2^32 ms (every 49.7 days); a wait that spans the wrap
// must neither end early nor hang.
TEST_F(Internal, WaitsSpanTheTickWrap) {
  pesmo6sim::Pty silent;
  ASSERT_EQ(Seta_Porta(10, silent.SlavePath().c_str()), 0);
  const int32_t ch = W7410SerialC(10);
  const uint32_t now = platform::Tick();
  platform::ShiftTick(std::numeric_limits<uint32_t>::max() - now - 100);  // wrap in ~100 ms
  const Stopwatch t0;
  EXPECT_EQ(Update_NoMotion(ch, 300), 2);
  EXPECT_GE(MsSince(t0), 295);
  EXPECT_LT(OwnMsSince(t0), 800);
  EXPECT_LT(platform::Tick(), 1000u) << "the tick did wrap during the wait";
}

// MSI3360: 9600 baud, 8 data bits, no parity; MSI6260: 1200 baud, 7 data
// bits, mark parity; both one stop bit, DTR and RTS off, no flow control.
TEST_F(Internal, MsiLineSettingsAskedOfTheSystem) {
  pesmo6sim::Pty line;
  ASSERT_EQ(Seta_Porta(12, line.SlavePath().c_str()), 0);
  std::vector<platform::SerialSettings> seen;
  SetSerialOpenObserver([&](const std::string&, const platform::SerialSettings& s) { seen.push_back(s); });
  const int32_t msi3360 = WMSI3360Serial(12);
  ASSERT_EQ(Update_NoMotion(msi3360, 0), 1);
  Close_Canal(msi3360);
  const int32_t msi6260 = WMSI6260Serial(12);
  ASSERT_EQ(Update_NoMotion(msi6260, 0), 1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].baud, 9600);
  EXPECT_EQ(seen[0].dataBits, 8);
  EXPECT_EQ(seen[0].parity, platform::Parity::None);
  EXPECT_EQ(seen[1].baud, 1200);
  EXPECT_EQ(seen[1].dataBits, 7);
  EXPECT_EQ(seen[1].parity, platform::Parity::Mark);
  for (const platform::SerialSettings& s : seen) {
    EXPECT_EQ(s.stopBits, 1);
    EXPECT_FALSE(s.dtr);
    EXPECT_FALSE(s.rts);
    EXPECT_EQ(s.swFlow, platform::SoftwareFlow::None);
  }
}

// The MSI families wait 5000 ms in a normal update: moving the clock 4800 ms
// on at the first pump pass leaves about 200 ms of waiting.
TEST_F(Internal, MsiNormalUpdateWaitsFiveSeconds) {
  pesmo6sim::Pty silent;
  ASSERT_EQ(Seta_Porta(13, silent.SlavePath().c_str()), 0);
  for (int32_t ch : {WMSI3360Serial(13), WMSI6260Serial(13)}) {
    pesmo6test::HostHook hook([](int pass) {
      if (pass == 1) platform::ShiftTick(4800);
    });
    const Stopwatch t0;
    EXPECT_EQ(Update_Canal(ch), 1);
    EXPECT_GE(MsSince(t0), 150);
    EXPECT_LT(OwnMsSince(t0), 600);
    Close_Canal(ch);
  }
}

// Ohaus: 9600 baud, 7 data bits, even parity, 2 stop bits, DTR and RTS
// raised.  Trilograf: 9600 baud, 8 data bits, no parity, 1 stop bit, DTR and
// RTS off.  Neither uses flow control.
TEST_F(Internal, OhausAndTrilografLineSettingsAskedOfTheSystem) {
  pesmo6sim::OhausBalance balanca;
  balanca.SetAnswer("    1.0 kg");
  pesmo6sim::TagReader leitor;
  ASSERT_EQ(Seta_Porta(21, balanca.Device().c_str()), 0);
  ASSERT_EQ(Seta_Porta(22, leitor.Device().c_str()), 0);
  std::vector<platform::SerialSettings> seen;
  SetSerialOpenObserver([&](const std::string&, const platform::SerialSettings& s) { seen.push_back(s); });
  ASSERT_EQ(Update_Canal(WOhausSerial(21)), 0);
  ASSERT_EQ(Update_Canal(WTrilografSerial(22)), 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].baud, 9600);
  EXPECT_EQ(seen[0].dataBits, 7);
  EXPECT_EQ(seen[0].parity, platform::Parity::Even);
  EXPECT_EQ(seen[0].stopBits, 2);
  EXPECT_TRUE(seen[0].dtr);
  EXPECT_TRUE(seen[0].rts);
  EXPECT_EQ(seen[1].baud, 9600);
  EXPECT_EQ(seen[1].dataBits, 8);
  EXPECT_EQ(seen[1].parity, platform::Parity::None);
  EXPECT_EQ(seen[1].stopBits, 1);
  EXPECT_FALSE(seen[1].dtr);
  EXPECT_FALSE(seen[1].rts);
  for (const platform::SerialSettings& s : seen) EXPECT_EQ(s.swFlow, platform::SoftwareFlow::None);
}

// A normal Ohaus update waits 5000 ms from its start.  The request takes
// 300 ms; moving the clock 4500 ms on just before it leaves about 200 ms.
TEST_F(Internal, OhausNormalUpdateWaitsFiveSeconds) {
  pesmo6sim::OhausBalance mute;  // no answer set: it never prints
  ASSERT_EQ(Seta_Porta(23, mute.Device().c_str()), 0);
  const int32_t ch = WOhausSerial(23);
  pesmo6test::HostHook hook([](int pass) {
    if (pass == 1) platform::ShiftTick(4500);
  });
  const Stopwatch t0;
  EXPECT_EQ(Update_Canal(ch), 1);
  EXPECT_GE(MsSince(t0), 450);
  EXPECT_LT(OwnMsSince(t0), 800);
  EXPECT_EQ(mute.Requests(), 1);
}

TEST(Addresses, NormalForms) {
  using platform::NormalizeAddress;
  EXPECT_EQ(NormalizeAddress("192.168.000.010"), "192.168.0.10") << "decimal, not octal";
  EXPECT_EQ(NormalizeAddress(" \t010.008.09.1 \t"), "10.8.9.1");
  EXPECT_EQ(NormalizeAddress("000.000.000.000"), "0.0.0.0");
  EXPECT_EQ(NormalizeAddress("255.255.255.255"), "255.255.255.255");
  EXPECT_EQ(NormalizeAddress("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(NormalizeAddress("  conversor-01\t"), "conversor-01");
  EXPECT_EQ(NormalizeAddress(" a b "), "a b") << "only the blanks around go";
  EXPECT_EQ(NormalizeAddress(""), "");
  EXPECT_EQ(NormalizeAddress(" \t "), "");
  // Not four decimal parts of 1 to 3 digits up to 255: left to the resolver.
  for (const char* other : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "0001.2.3.4", "1.2.3.4.", ".1.2.3",
                            "0x7f.0.0.1", "1.2.3.-4", "1.2.3.4a", "1. 2.3.4"}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(NormalizeAddress(other), other);
  }
  EXPECT_EQ(NormalizeAddress(" 999.1.1.1 "), "999.1.1.1");
}

// A listener on a loopback address of this process's own.
class PeerListener {
 public:
  PeerListener() : address_(pesmo6sim::UniqueLoopback()) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      close(fd_);
      fd_ = -1;
    }
    port_ = ntohs(a.sin_port);
  }
  ~PeerListener() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  const std::string& Address() const { return address_; }
  uint16_t Port() const { return port_; }
  int Accept() const { return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

 private:
  std::string address_;
  uint16_t port_ = 0;
  int fd_ = -1;
};

class LineLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.Ok());
    link_.SetEvents({[this] { ++connects_; }, [this] { ++disconnects_; }, [](int code) {
                       ADD_FAILURE() << "error " << code;
                     }});
    link_.Open(listener_.Address(), listener_.Port());
    const Stopwatch t0;
    while (!link_.Active() && link_.Connecting() && MsSince(t0) < 2000) platform::WaitAndDispatch(100);
    ASSERT_TRUE(link_.Active());
    peer_ = listener_.Accept();
    ASSERT_GE(peer_, 0);
  }
  void TearDown() override {
    if (peer_ >= 0) close(peer_);
  }
  // Lets the peer's FIN or reset reach the link (no pump runs meanwhile).
  static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

  PeerListener listener_;
  platform::LineSocket link_;
  int peer_ = -1;
  int connects_ = 0;
  int disconnects_ = 0;
};

TEST_F(LineLink, CheckAliveLeavesUnreadBytesThenDropsAClosedLink) {
  EXPECT_EQ(connects_, 1);
  EXPECT_TRUE(link_.CheckAlive());
  EXPECT_TRUE(link_.Active());

  ASSERT_EQ(send(peer_, "xy", 2, MSG_NOSIGNAL), 2);
  close(peer_);
  peer_ = -1;
  Settle();
  EXPECT_TRUE(link_.CheckAlive()) << "the peer closed, but sent bytes are still to be read";
  EXPECT_EQ(disconnects_, 0);
  uint8_t b = 0;
  ASSERT_EQ(link_.ReadByte(b), 1);
  EXPECT_EQ(b, 'x');
  ASSERT_EQ(link_.ReadByte(b), 1);
  EXPECT_EQ(b, 'y');
  EXPECT_FALSE(link_.CheckAlive());
  EXPECT_FALSE(link_.Active());
  EXPECT_EQ(disconnects_, 1);
  EXPECT_FALSE(link_.CheckAlive());
  EXPECT_EQ(disconnects_, 1) << "one disconnect event";
}

TEST_F(LineLink, CheckAliveDropsAResetLink) {
  linger hard{1, 0};
  setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(peer_);
  peer_ = -1;
  Settle();
  EXPECT_FALSE(link_.CheckAlive());
  EXPECT_FALSE(link_.Active());
  EXPECT_EQ(disconnects_, 1);
}

}  // namespace

namespace {

// A device that cannot take 7 data bits with parity (a pty opened as if it
// were hardware reads back 8 data bits, no parity): the port runs at 8 data
// bits and the request carries the even parity in bit 7.
TEST(SoftwareParity, SevenBitsWithParityEmulatedOnEightBits) {
  pesmo6sim::Pty line;
  ASSERT_EQ(Seta_Porta(77, line.SlavePath().c_str()), 0);
  const int32_t ch = WOhausSerial(77);
  ASSERT_GE(ch, 0);
  pesmo6::platform::TreatPseudoTerminalsAsHardware(true);
  Update_NoMotion(ch, 0);
  pesmo6::platform::TreatPseudoTerminalsAsHardware(false);
  std::string sent;
  for (int i = 0; i < 5 && sent.size() < 3; ++i) sent += line.Read(200);
  // 'P' has two ones (bit 7 clear), CR three (bit 7 set), LF two.
  EXPECT_EQ(sent, std::string("\x50\x8D\x0A"));
  Deleta_Canal(ch);
}

// A tag line without CR is dropped past 64 KiB and the next STX starts
// afresh.  At the reader's 9600 baud 70,000 bytes take more than a minute:
// the line's speed is raised to 921600 baud on both sides.
TEST(TrilografLine, LineWithoutCrIsDroppedPast64KiB) {
  pesmo6test::LibraryTest::DeleteAllChannels();
  pesmo6sim::Converter conv;
  conv.SetLinePace(1, std::chrono::microseconds(11));
  const int32_t ch = WTrilograf(Seta_Ip(conv.Address().c_str()), "A");
  ASSERT_GE(ch, 0);
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_TRUE(pesmo6test::Eventually([&] { return conv.LineClients(1) == 1; }));
  CanalVivo(ch)->DMDLL->DefineLinha(platform::SerialSettings{921600, 8, Parity::None, 1, false, false,
                                                             platform::SoftwareFlow::None});
  {
    pesmo6test::HostHook hook(pesmo6test::OnceSettled(
        [&] { conv.InjectLine(1, "\x02" + std::string(70000, 'x') + pesmo6sim::LinhaTag("TAG")); }));
    ASSERT_EQ(Update_Canal(ch), 0);
  }
  EXPECT_EQ(std::string(Tag_Canal(ch)), "TAG");
  Deleta_Canal(ch);
}

}  // namespace
