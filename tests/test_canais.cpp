// Update_Canais: many channels' updates in one wait, each with the code its
// update alone would give; invalid entries; channels closed or deleted from
// the host hook; request families interleaved with listening ones.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "FrameMSI.h"
#include "Indicator.h"
#include "Ohaus.h"
#include "Support.h"
#include "Trilograf.h"
#include "pesmo6.h"

using namespace pesmo6test;
using pesmo6sim::Frame7410;
using pesmo6sim::Leitura7410De;

namespace {

const std::string kE = "EEEEEEEEEE";

// A 7410 indicator streaming on its own pseudo-terminal at wire pace.
std::unique_ptr<pesmo6sim::StreamingIndicator> Streaming7410(uint32_t port, const pesmo6sim::Leitura7410& r,
                                                             int periodMs = 50) {
  auto sim = std::make_unique<pesmo6sim::StreamingIndicator>(std::chrono::milliseconds(periodMs));
  sim->SetWirePace(std::chrono::microseconds(2084));
  sim->SetFrame(Frame7410(r));
  EXPECT_EQ(Seta_Porta(port, sim->Device().c_str()), 0);
  return sim;
}

class UpdateCanais : public LibraryTest {};

TEST_F(UpdateCanais, MixedFamiliesAndTransportsInOneWait) {
  auto s7410 = Streaming7410(101, Leitura7410De(1250));
  auto sMsi = std::make_unique<pesmo6sim::StreamingIndicator>(std::chrono::milliseconds(40));
  sMsi->SetWirePace(std::chrono::microseconds(1042));
  sMsi->SetFrame(pesmo6sim::QuadroMSI3360(pesmo6sim::LeituraMSI3360De(5000, 0)));
  ASSERT_EQ(Seta_Porta(102, sMsi->Device().c_str()), 0);
  pesmo6sim::TagReader tags;
  tags.SetTag(std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\xAB\xFF", 12));
  ASSERT_EQ(Seta_Porta(103, tags.Device().c_str()), 0);

  pesmo6sim::Converter conv;
  const int32_t ip = Seta_Ip(conv.Address().c_str());
  conv.SetLineFrame(1, pesmo6sim::FrameKVT(Leitura7410De(777)), std::chrono::milliseconds(40));
  pesmo6sim::OhausBalance balance(conv, 2);
  balance.SetAnswer(pesmo6sim::OhausLinha("   12.5"));

  const std::vector<int32_t> canais = {W7410Serial(101), WMSI3360Serial(102), WTrilografSerial(103), WKVT(ip, "A"),
                                       WOhaus(ip, "B")};
  for (int32_t ch : canais) ASSERT_GE(ch, 0);
  ASSERT_EQ(Select_Canal(canais[3]), 1);
  ASSERT_EQ(Select_Canal(canais[4]), 1);
  ASSERT_TRUE(Eventually([&] { return conv.LineClients(1) == 1 && conv.LineClients(2) == 1; }));

  std::vector<int32_t> codigos(canais.size(), 99);
  const Stopwatch t0;
  EXPECT_EQ(Update_Canais(canais.data(), static_cast<int32_t>(canais.size()), -1, codigos.data()), 5);
  EXPECT_LT(OwnMsSince(t0), 1500) << "one wait, not five";
  EXPECT_EQ(codigos, std::vector<int32_t>(5, 0));
  EXPECT_EQ(std::string(Net_Canal(canais[0])), W("     12,50"));
  EXPECT_EQ(std::string(Gross_Canal(canais[1])), W("   50,00"));
  EXPECT_EQ(std::string(Tag_Canal(canais[2])), "0102030405060708090AABFF");
  EXPECT_EQ(std::string(Net_Canal(canais[3])), W("      7,77"));
  EXPECT_EQ(std::string(Net_Canal(canais[4])), W("     12,5 "));
  EXPECT_EQ(balance.Requests(), 1);

  // The channels are ready again, each for its own update.
  EXPECT_EQ(Update_Canal(canais[0]), 0);
  EXPECT_EQ(Update_NoMotion(canais[4], 2000), 0);
}

// Each channel ends with the code its own update gives: a silent one times
// out, an overloaded one reports 3, a port that never opens gives 4 after
// its family's start limit, a link the converter drops times out.
TEST_F(UpdateCanais, PerChannelCodes) {
  pesmo6sim::Leitura7410 over = Leitura7410De(1);
  over.overload = true;
  auto sOver = Streaming7410(111, over);
  pesmo6sim::Pty silent;
  ASSERT_EQ(Seta_Porta(112, silent.SlavePath().c_str()), 0);
  ASSERT_EQ(Seta_Porta(113, "/nonexistent/ttyCanais1"), 0);
  ASSERT_EQ(Seta_Porta(114, "/nonexistent/ttyCanais2"), 0);
  pesmo6sim::Converter conv;
  const int32_t ip = Seta_Ip(conv.Address().c_str());

  const int32_t cOver = W7410Serial(111), cSilent = W7410Serial(112), cNoPort = W7410Serial(113),
                cMsiNoPort = WMSI3360Serial(114), cDropped = W7410(ip, "C"), cMsiSilent = WMSI3360(ip, "D");
  ASSERT_EQ(Select_Canal(cDropped), 1);
  ASSERT_EQ(Select_Canal(cMsiSilent), 1);
  ASSERT_TRUE(Eventually([&] { return conv.LineClients(3) == 1 && conv.LineClients(4) == 1; }));

  const int32_t canais[] = {cOver, cSilent, cNoPort, cMsiNoPort, cDropped, cMsiSilent};
  int32_t codigos[6];
  bool dropped = false;
  HostHook hook([&](int pass) {
    if (pass == 3 && !dropped) {
      conv.DropLine(3);
      dropped = true;
    }
  });
  const Stopwatch t0;
  EXPECT_EQ(Update_Canais(canais, 6, 400, codigos), 1) << "only the overloaded one stored a reading";
  const auto ms = MsSince(t0), own = OwnMsSince(t0);
  EXPECT_TRUE(dropped);
  EXPECT_EQ(codigos[0], 3) << "overload";
  EXPECT_EQ(codigos[1], 2) << "no-motion wait ran out";
  EXPECT_EQ(codigos[2], 4) << "7410 port did not open";
  EXPECT_EQ(codigos[3], 4) << "MSI3360 port did not open";
  EXPECT_EQ(codigos[4], 2) << "the converter dropped the line";
  EXPECT_EQ(codigos[5], 1) << "an MSI no-motion update that read nothing gives 1";
  EXPECT_GE(ms, 995) << "the 7410 start limit";
  EXPECT_LT(own, 1700) << "the longest limit, not their sum";
  EXPECT_EQ(std::string(Net_Canal(cSilent)), "0");
  EXPECT_EQ(std::string(Estado_Canal(cOver)).substr(3, 1), "S");
}

TEST_F(UpdateCanais, InvalidEntriesGetOneAndTheOthersProceed) {
  auto sim = Streaming7410(121, Leitura7410De(4321));
  const int32_t good = W7410Serial(121);
  const int32_t closed = W7410Serial(122);
  const int32_t deleted = W7410Serial(123);
  Close_Canal(closed);
  Deleta_Canal(deleted);
  const int32_t canais[] = {-1, good, 9999, closed, deleted, good};
  int32_t codigos[6] = {9, 9, 9, 9, 9, 9};
  EXPECT_EQ(Update_Canais(canais, 6, -1, codigos), 1);
  EXPECT_EQ(codigos[1], 0);
  for (int i : {0, 2, 3, 4, 5}) EXPECT_EQ(codigos[i], 1) << "entry " << i;
  EXPECT_EQ(std::string(Net_Canal(good)), W("     43,21"));

  // Rejected as a whole: nothing is written.
  int32_t untouched[2] = {9, 9};
  EXPECT_EQ(Update_Canais(nullptr, 1, -1, untouched), -1);
  EXPECT_EQ(Update_Canais(canais, 1, -1, nullptr), -1);
  EXPECT_EQ(Update_Canais(canais, 0, -1, untouched), -1);
  EXPECT_EQ(Update_Canais(canais, -3, -1, untouched), -1);
  std::vector<int32_t> many(1025, good), codes(1025, 9);
  EXPECT_EQ(Update_Canais(many.data(), 1025, -1, codes.data()), -1);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(codes[0], 9);

  // A wait below -1 is what Update_NoMotion makes of it: 1 at once.
  const Stopwatch t0;
  EXPECT_EQ(Update_Canais(&good, 1, -2, codigos), 0);
  EXPECT_EQ(codigos[0], 1);
  EXPECT_LT(OwnMsSince(t0), 100);
}

// From inside the pump: an update running elsewhere makes its channel
// busy; the host closes one listed channel and deletes another.
TEST_F(UpdateCanais, HookUpdatesClosesAndDeletesListedChannels) {
  auto sA = Streaming7410(131, Leitura7410De(100), 200);
  auto sB = Streaming7410(132, Leitura7410De(200), 200);
  auto sC = Streaming7410(133, Leitura7410De(300), 200);
  const int32_t a = W7410Serial(131), b = W7410Serial(132), c = W7410Serial(133);
  const int32_t canais[] = {a, b, c};
  int32_t codigos[3] = {9, 9, 9};
  int32_t nested = -9;
  {
    HostHook hook([&](int pass) {
      if (pass == 1) {
        nested = Update_Canal(a);  // a is listed and updating
        Close_Canal(a);
        Deleta_Canal(b);
      }
    });
    EXPECT_EQ(Update_Canais(canais, 3, -1, codigos), 1);
  }
  EXPECT_EQ(nested, 1) << "already updating";
  EXPECT_EQ(codigos[0], 1);
  EXPECT_EQ(codigos[1], 1);
  EXPECT_EQ(codigos[2], 0);
  EXPECT_EQ(std::string(Net_Canal(a)), kE);
  EXPECT_EQ(std::string(Net_Canal(b)), kE);
  EXPECT_EQ(std::string(Net_Canal(c)), W("      3,00"));

  // An Update_Canais from the hook while c updates: c is busy there, the
  // other listed channel is read.
  auto sD = Streaming7410(134, Leitura7410De(400));
  const int32_t d = W7410Serial(134);
  int32_t inner[2] = {9, 9};
  int32_t innerResult = -9;
  {
    bool once = false;
    HostHook hook([&](int) {
      if (once) return;
      once = true;
      const int32_t list[] = {c, d};
      innerResult = Update_Canais(list, 2, -1, inner);
    });
    EXPECT_EQ(Update_Canal(c), 0);
  }
  EXPECT_EQ(innerResult, 1);
  EXPECT_EQ(inner[0], 1);
  EXPECT_EQ(inner[1], 0);
  EXPECT_EQ(std::string(Net_Canal(d)), W("      4,00"));
}

// The Ohaus request takes 300 ms on pump timers: the 7410 in the same call
// is read meanwhile, at its own pace, and the request keeps its spacing.
TEST_F(UpdateCanais, OhausAndA7410ReadWithinTheirOwnTimings) {
  auto s7410 = Streaming7410(141, Leitura7410De(555));
  pesmo6sim::OhausBalance balance;
  balance.SetAnswer(pesmo6sim::OhausLinha("    3.5"));
  ASSERT_EQ(Seta_Porta(142, balance.Device().c_str()), 0);
  const int32_t c7410 = W7410Serial(141), cOhaus = WOhausSerial(142);
  const int32_t canais[] = {cOhaus, c7410};
  int32_t codigos[2] = {9, 9};
  const Stopwatch t0;
  long long read7410 = -1;
  {
    HostHook hook([&](int) {
      if (read7410 < 0 && std::string(Net_Canal(c7410)) != "0") read7410 = OwnMsSince(t0);
    });
    EXPECT_EQ(Update_Canais(canais, 2, -1, codigos), 2);
  }
  const auto total = MsSince(t0), ownTotal = OwnMsSince(t0);
  // A late reader thread in the simulator dates a request late: the gap
  // it sees may shrink by as much as that thread waited for a core.
  const auto lateness = std::chrono::milliseconds(t0.MostQueued());
  EXPECT_EQ(codigos[0], 0);
  EXPECT_EQ(codigos[1], 0);
  EXPECT_GE(read7410, 0);
  EXPECT_LT(read7410, 250) << "the 7410 is not held by the Ohaus request";
  EXPECT_GE(total, 295) << "the request itself takes 300 ms";
  EXPECT_LT(ownTotal, 1500);
  ASSERT_EQ(balance.ReceivedText(), "P\r\n");
  const auto got = balance.Received();
  EXPECT_GE(got[1].when - got[0].when + lateness, std::chrono::milliseconds(120));
  EXPECT_GE(got[2].when - got[1].when + lateness, std::chrono::milliseconds(120));
  EXPECT_EQ(std::string(Net_Canal(cOhaus)), W("      3,5 "));
  EXPECT_EQ(std::string(Net_Canal(c7410)), W("      5,55"));
}

}  // namespace
