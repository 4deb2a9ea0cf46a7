// The freshness oracle: every frame a simulated indicator sends carries its
// own number, and the simulator notes when its first byte began on the wire.
// A reading an update returns with code 0 must be a frame whose first byte
// began after the update did; frames that stand for old bytes (an adapter's
// leftovers, a converter's backlog) carry numbers that were never sent live
// and fail the check whenever they are read.  Each pattern runs over the
// listening families on both transports and over the update kinds.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "FrameMSI.h"
#include "Indicator.h"
#include "Ohaus.h"
#include "OhausRig.h"
#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;

namespace {

// A family as the oracle drives it: its frame for a number, how the number
// reads back from the channel, its wire pace and its registrations.
struct Familia {
  const char* nome;
  std::string (*quadro)(long n);
  long (*numero)(int32_t ch);
  std::chrono::microseconds pace;
  int32_t (*serial)(uint32_t);
  int32_t (*rede)(int32_t, const char*);
};

long Arredonda(double v) { return std::lround(v); }

const Familia kFamilias[] = {
    {"7410", [](long n) { return pesmo6sim::Frame7410(pesmo6sim::Leitura7410De(n)); },
     [](int32_t ch) { return Arredonda(Net_Canal_Float(ch) * 100); }, std::chrono::microseconds(2084), W7410Serial,
     W7410},
    {"kvt", [](long n) { return pesmo6sim::FrameKVT(pesmo6sim::Leitura7410De(n)); },
     [](int32_t ch) { return Arredonda(Net_Canal_Float(ch) * 100); }, std::chrono::microseconds(2084), WKVTSerial,
     WKVT},
    {"msi3360", [](long n) { return pesmo6sim::QuadroMSI3360(pesmo6sim::LeituraMSI3360De(n, 0)); },
     [](int32_t ch) { return Arredonda(Gross_Canal_Float(ch) * 100); }, std::chrono::microseconds(1042),
     WMSI3360Serial, WMSI3360},
    {"msi6260",
     [](long n) { return pesmo6sim::LinhaMSI6260(pesmo6sim::kRotuloNet, pesmo6sim::Campo(n, 1, 8)); },
     [](int32_t ch) { return Arredonda(Net_Canal_Float(ch) * 10); }, std::chrono::microseconds(8334),
     WMSI6260Serial, WMSI6260},
};

// Numbers of live frames start here; old bytes carry numbers below.
constexpr long kVivo = 100000;
constexpr long kVelho = 1000;

// Where each live frame's first byte began on the wire, by number.
class Carimbos {
 public:
  // The generator: the next live frame, made by `quadro` from its number.
  std::string Proximo(std::string (*quadro)(long)) {
    std::lock_guard<std::mutex> lock(mutex_);
    const long n = proximo_++;
    std::string q = quadro(n);
    numeros_[q] = n;
    return q;
  }
  // The simulator: frame `q` began on the wire at `t`.
  void Saiu(std::chrono::steady_clock::time_point t, const std::string& q) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = numeros_.find(q);
    if (it == numeros_.end()) return;
    inicio_[it->second] = t;
    numeros_.erase(it);
  }
  // Fails unless frame `n` is live and began at or after `t0`.
  ::testing::AssertionResult Fresco(long n, std::chrono::steady_clock::time_point t0) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = inicio_.find(n);
    if (it == inicio_.end()) return ::testing::AssertionFailure() << "frame " << n << " is old bytes, never sent live";
    if (it->second < t0) {
      return ::testing::AssertionFailure()
             << "frame " << n << " began "
             << std::chrono::duration_cast<std::chrono::microseconds>(t0 - it->second).count()
             << " us before the update";
    }
    return ::testing::AssertionSuccess();
  }

 private:
  mutable std::mutex mutex_;
  long proximo_ = kVivo;
  std::map<std::string, long> numeros_;  // frames made and not yet out
  std::map<long, std::chrono::steady_clock::time_point> inicio_;
};

// Old frames, as an adapter or a converter would still hold them.
std::string Velhos(const Familia& f, int quantos) {
  std::string s;
  for (int i = 0; i < quantos; ++i) s += f.quadro(kVelho + i);
  return s;
}

// One indicator of family `f` streaming numbered frames back to back at its
// wire's pace, on a serial port or on line A of a converter.
class Indicador {
 public:
  Indicador(const Familia& f, bool rede, uint32_t porta) : f_(f) {
    if (rede) {
      conv_ = std::make_unique<pesmo6sim::Converter>();
      conv_->SetLinePace(1, f.pace);
      conv_->SetLineFrameOut(1, [this](auto t, const std::string& q) { carimbos_.Saiu(t, q); });
      conv_->SetLineGenerator(1, [this] { return carimbos_.Proximo(f_.quadro); }, std::chrono::milliseconds(1));
      ch_ = f.rede(Seta_Ip(conv_->Address().c_str()), "A");
      EXPECT_EQ(Select_Canal(ch_), 1);
    } else {
      sim_ = std::make_unique<pesmo6sim::StreamingIndicator>(std::chrono::milliseconds(1));
      sim_->SetWirePace(f.pace);
      sim_->SetOnFrameOut([this](auto t, const std::string& q) { carimbos_.Saiu(t, q); });
      sim_->SetGenerator([this] { return carimbos_.Proximo(f_.quadro); });
      EXPECT_EQ(Seta_Porta(porta, sim_->Device().c_str()), 0);
      ch_ = f.serial(porta);
    }
    EXPECT_GE(ch_, 0);
  }
  ~Indicador() { Deleta_Canal(ch_); }

  int32_t Canal() const { return ch_; }
  pesmo6sim::StreamingIndicator* Serial() { return sim_.get(); }
  pesmo6sim::Converter* Conversor() { return conv_.get(); }
  // Old bytes that arrive at once, faster than any wire.
  void Rajada(const std::string& bytes) {
    if (conv_) {
      conv_->SetLinePace(1, std::chrono::microseconds(0));
      conv_->InjectLine(1, bytes);
      conv_->SetLinePace(1, f_.pace);
    } else {
      sim_->Line().Write(bytes);
    }
  }
  ::testing::AssertionResult Fresco(std::chrono::steady_clock::time_point t0) const {
    return carimbos_.Fresco(f_.numero(ch_), t0);
  }

 private:
  const Familia& f_;
  Carimbos carimbos_;
  std::unique_ptr<pesmo6sim::StreamingIndicator> sim_;
  std::unique_ptr<pesmo6sim::Converter> conv_;
  int32_t ch_ = -1;
};

// The update kinds a reading can come from.
enum class Tipo { Canal, SemMovimento, Canais };
const char* Nome(Tipo t) {
  switch (t) {
    case Tipo::Canal: return "Update_Canal";
    case Tipo::SemMovimento: return "Update_NoMotion";
    case Tipo::Canais: return "Update_Canais";
  }
  return "";
}
int32_t Atualiza(Tipo t, int32_t ch) {
  switch (t) {
    case Tipo::Canal: return Update_Canal(ch);
    case Tipo::SemMovimento: return Update_NoMotion(ch, 3000);
    case Tipo::Canais: {
      int32_t codigo = -1;
      Update_Canais(&ch, 1, -1, &codigo);
      return codigo;
    }
  }
  return -1;
}

std::string TransportName(const ::testing::TestParamInfo<bool>& p) { return p.param ? "Converter" : "Serial"; }

struct Caso {
  const Familia* familia;
  bool rede;
};

void PrintTo(const Caso& c, std::ostream* os) { *os << c.familia->nome << (c.rede ? " on a converter line" : " on a serial port"); }
void PrintTo(const Familia* f, std::ostream* os) { *os << f->nome; }

std::string NomeCaso(const ::testing::TestParamInfo<Caso>& p) {
  return std::string(p.param.familia->nome) + (p.param.rede ? "_Converter" : "_Serial");
}

std::vector<Caso> Casos() {
  std::vector<Caso> casos;
  for (const Familia& f : kFamilias) {
    casos.push_back({&f, false});
    casos.push_back({&f, true});
  }
  return casos;
}

class Frescor : public LibraryTest, public ::testing::WithParamInterface<Caso> {
 protected:
  const Familia& F() const { return *GetParam().familia; }
  bool Rede() const { return GetParam().rede; }
  static uint32_t Porta() { return 300; }
};

// Live frames, then each kind of update: the reading began after it did.
TEST_P(Frescor, EveryUpdateKindReadsAFrameBegunAfterIt) {
  Indicador ind(F(), Rede(), Porta());
  for (Tipo t : {Tipo::Canal, Tipo::SemMovimento, Tipo::Canais, Tipo::Canal}) {
    SCOPED_TRACE(Nome(t));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // frames pile up meanwhile
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(Atualiza(t, ind.Canal()), 0);
    EXPECT_TRUE(ind.Fresco(t0));
  }
  // LePesoConsecutivo: its updates' readings differ (each frame has its
  // own number), so it runs out of time; its last reading is still fresh.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(LePesoConsecutivo(ind.Canal(), 1, 2), 7);
  EXPECT_TRUE(ind.Fresco(t0));
}

// Old frames that arrive in one burst while the update runs, after it has
// settled: an adapter's buffer handed out late, a converter's backlog once
// its TCP window reopens.  Live frames go on meanwhile.
TEST_P(Frescor, BacklogBurstDuringTheUpdateIsNeverTheReading) {
  Indicador ind(F(), Rede(), Porta());
  for (int rodada = 0; rodada < 3; ++rodada) {
    SCOPED_TRACE(rodada);
    HostHook hook(OnceSettled([&] { ind.Rajada(Velhos(F(), 20)); }));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(Update_NoMotion(ind.Canal(), 3000), 0);
    EXPECT_TRUE(ind.Fresco(t0));
  }
}

// The same backlog behind a small live fragment: a few bytes that fit the
// wire come first, the burst right after them.
TEST_P(Frescor, BacklogBehindASmallLiveFragment) {
  Indicador ind(F(), Rede(), Porta());
  const std::string velhos = Velhos(F(), 20);
  for (int rodada = 0; rodada < 3; ++rodada) {
    SCOPED_TRACE(rodada);
    HostHook hook(OnceSettled([&] {
      ind.Rajada(velhos.substr(velhos.size() - 3));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ind.Rajada(velhos);
    }));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(Update_Canal(ind.Canal()), 0);
    EXPECT_TRUE(ind.Fresco(t0));
  }
}

// Whole frames at once, each when the wire has carried it (USB-CDC
// indicators, converters that forward frame by frame): still fresh, and
// still read within a few frame periods.
TEST_P(Frescor, WholeFrameDeliveryIsReadAndFresh) {
  Indicador ind(F(), Rede(), Porta());
  if (Rede()) ind.Conversor()->SetLineWholeFrames(1, true);
  else ind.Serial()->SetWholeFrames(true);
  const auto periodo = F().pace * static_cast<long>(F().quadro(kVivo).size());
  const auto espera = std::chrono::duration_cast<std::chrono::milliseconds>(periodo * 6).count() + 100;
  for (int rodada = 0; rodada < 5; ++rodada) {
    SCOPED_TRACE(rodada);
    std::this_thread::sleep_for(std::chrono::milliseconds(7 * rodada));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(Update_NoMotion(ind.Canal(), static_cast<int32_t>(espera)), 0)
        << "a live indicator is read within a few frame periods";
    EXPECT_TRUE(ind.Fresco(t0));
  }
}

INSTANTIATE_TEST_SUITE_P(Familias, Frescor, ::testing::ValuesIn(Casos()), NomeCaso);

// ---- What only a serial port's adapter does -----------------------------

class FrescorSerial : public LibraryTest, public ::testing::WithParamInterface<const Familia*> {};

// An adapter's leftovers after the port opens: in one burst, in 62-byte
// USB packets, 20 ms late behind live bytes, and with the first read held
// back by a host hook of 80 or 200 ms a pass.
TEST_P(FrescorSerial, AdapterLeftoversAfterTheOpen) {
  const Familia& f = *GetParam();
  struct Padrao {
    const char* nome;
    int atrasoMs;
    size_t pacote;
    int ganchoMs;
    int quadros;
  };
  const Padrao padroes[] = {
      {"one burst", 3, 0, 0, 20},
      {"62-byte packets", 3, 62, 0, 20},
      {"20 ms late", 20, 0, 0, 20},
      {"two frames, hook of 80 ms", 3, 0, 80, 2},
      {"hook of 200 ms", 3, 0, 200, 20},
  };
  for (const Padrao& p : padroes) {
    SCOPED_TRACE(p.nome);
    Indicador ind(f, false, 310);
    ind.Serial()->SetBurstOnOpen(Velhos(f, p.quadros), std::chrono::milliseconds(p.atrasoMs), p.pacote,
                                 std::chrono::microseconds(1000));
    for (int rodada = 0; rodada < 3; ++rodada) {
      SCOPED_TRACE(rodada);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      HostHook hook([&](int pass) {
        if (pass == 1 && p.ganchoMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(p.ganchoMs));
      });
      const auto t0 = std::chrono::steady_clock::now();
      ASSERT_EQ(Update_Canal(ind.Canal()), 0);
      EXPECT_TRUE(ind.Fresco(t0));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Familias, FrescorSerial, ::testing::Values(&kFamilias[0], &kFamilias[2], &kFamilias[3]),
                         [](const ::testing::TestParamInfo<const Familia*>& p) { return std::string(p.param->nome); });

// Update_Canais opening 16 ports, each adapter handing out its leftovers:
// every reading is fresh.
TEST_F(LibraryTest, UpdateCanaisOpeningSixteenPortsWithLeftovers) {
  std::vector<std::unique_ptr<Indicador>> inds;
  std::vector<int32_t> canais;
  for (uint32_t i = 0; i < 16; ++i) {
    inds.push_back(std::make_unique<Indicador>(kFamilias[0], false, 320 + i));
    inds.back()->Serial()->SetBurstOnOpen(Velhos(kFamilias[0], 20));
    canais.push_back(inds.back()->Canal());
  }
  for (int rodada = 0; rodada < 2; ++rodada) {
    SCOPED_TRACE(rodada);
    std::vector<int32_t> codigos(16, -1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Update_Canais(canais.data(), 16, -1, codigos.data()), 16);
    for (size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(codigos[i], 0) << "port " << i;
      EXPECT_TRUE(inds[i]->Fresco(t0)) << "port " << i;
    }
  }
}

// ---- Request families -----------------------------------------------------

double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Answers numbered by the request they answer; an update's reading must
// answer one of its own requests, also right after updates that gave up
// (1 and 2) and left their answers on the way.
class FrescorPedido : public LibraryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FrescorPedido, OhausReadsOnlyTheAnswerToItsOwnRequest) {
  const bool rede = GetParam();
  OhausRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Wire(rede, 330, std::chrono::microseconds(1146)));
  auto& bal = rig.bal;
  const int32_t ch = rig.ch;
  std::vector<std::string> linhas;
  for (int i = 1; i <= 12; ++i) linhas.push_back(pesmo6sim::OhausLinha("  " + std::to_string(i) + ".0"));
  bal->QueueAnswers(linhas);
  bal->SetDelay(std::chrono::milliseconds(250));
  // The answer comes 250 ms after each request: a no-motion update of
  // 350 ms gives up before it (2), a normal one reads it.
  for (int rodada = 0; rodada < 3; ++rodada) {
    SCOPED_TRACE(rodada);
    EXPECT_EQ(Update_NoMotion(ch, 350), 2);
    const int antes = bal->Requests();
    ASSERT_EQ(Update_Canal(ch), 0);
    const long n = std::lround(Net_Canal_Float(ch));
    EXPECT_GT(n, antes) << "answer " << n << " is to a request made before this update (" << antes << " made)";
  }
}

// Bytes the balance sends while the request goes out are dropped as they
// come: the wait blocks meanwhile instead of spinning a core.
TEST_P(FrescorPedido, OhausRequestPhaseWaitsWithoutSpinning) {
  const bool rede = GetParam();
  OhausRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Wire(rede, 331));
  auto& bal = rig.bal;
  const int32_t ch = rig.ch;
  bal->SetAnswer(pesmo6sim::OhausLinha("    5.0"));
  HostHook hook(OnceSettled([&] { bal->Inject("noise noise noise\r\n"); }));
  const double cpu0 = ThreadCpuSeconds();
  ASSERT_EQ(Update_Canal(ch), 0);
  EXPECT_LT(ThreadCpuSeconds() - cpu0, 0.1) << "the 300 ms request phase spun";
  EXPECT_EQ(std::lround(Net_Canal_Float(ch)), 5);
}

INSTANTIATE_TEST_SUITE_P(Transportes, FrescorPedido, ::testing::Bool(), TransportName);

}  // namespace
