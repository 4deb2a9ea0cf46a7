#include "Bancada.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "engine/Definir.h"
#include "pesmo6.h"
#include "transport/EventPump.h"
#include "transport/platform/Platform.h"

namespace pesmo6fuzz {

namespace {

[[noreturn]] void Falha(const char* what) {
  std::fprintf(stderr, "fuzz bench: %s: %s\n", what, std::strerror(errno));
  std::abort();
}

// A loopback address of this process's own, so that parallel runs and the
// test suite's simulators never meet on a port.
std::string EnderecoProprio() {
  const unsigned pid = static_cast<unsigned>(getpid());
  return "127.91." + std::to_string((pid >> 8) % 250 + 1) + "." + std::to_string(pid % 250 + 1);
}

int Escuta(const std::string& endereco, uint16_t porta) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Falha("socket");
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(porta);
  inet_pton(AF_INET, endereco.c_str(), &a.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Falha("bind");
  if (listen(fd, 16) != 0) Falha("listen");
  return fd;
}

constexpr int kPassesQuietas = 6;

// xorshift32: piece sizes that depend on the input only.
uint32_t Proximo(uint32_t& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}

}  // namespace

Entrada Corta(const uint8_t* data, size_t size) {
  Entrada e;
  if (size == 0) return e;
  e.modo = data[0];
  const uint8_t maior = size > 1 ? data[1] : 0;
  if (size > 2) e.bytes.assign(reinterpret_cast<const char*>(data + 2), size - 2);
  if (e.bytes.empty()) return e;
  if (maior == 0) {
    e.pedacos.push_back(e.bytes.size());
    return e;
  }
  uint32_t s = 0x9E3779B9u ^ static_cast<uint32_t>(size) ^ (static_cast<uint32_t>(maior) << 16);
  size_t resta = e.bytes.size();
  while (resta > 0) {
    const size_t n = std::min<size_t>(resta, 1 + Proximo(s) % maior);
    e.pedacos.push_back(n);
    resta -= n;
  }
  return e;
}

std::string Texto(const char* p) {
  FUZZ_CHECK(p != nullptr);  // an empty text is a NUL, never a null pointer
  return std::string(p);
}

Bancada& Bancada::Instancia() {
  static Bancada* b = new Bancada();
  return *b;
}

Bancada::Bancada() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) Falha("pseudo-terminal");
  const char* escravo = ptsname(master_);
  if (escravo == nullptr) Falha("ptsname");
  if (Seta_Porta(kPortaBancada, escravo) != 0) Falha("Seta_Porta");

  endereco_ = EnderecoProprio();
  ouvinte_ = Escuta(endereco_, static_cast<uint16_t>(pesmo6::kPortaComando + 1));
  conversor_ = Seta_Ip(endereco_.c_str());
  if (conversor_ < 0) Falha("Seta_Ip");
}

int32_t Bancada::NoSerial(int32_t (*registra)(uint32_t)) {
  return registra(kPortaBancada);
}

int32_t Bancada::NaLinha(int32_t (*registra)(int32_t, const char*)) {
  const int32_t canal = registra(conversor_, "A");
  if (canal < 0) return -1;
  if (Select_Canal(canal) != 1) Falha("Select_Canal");
  if (par_ >= 0) close(par_);
  par_ = accept4(ouvinte_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (par_ < 0) Falha("accept");
  return canal;
}

void Bancada::Alimenta(int32_t canal, const Entrada& entrada, const Ritmo& ritmo,
                       const std::function<void(int32_t)>& confere) {
  struct Estado {
    size_t proximo = 0;
    size_t inicio = 0;
    bool fim = false;
    int quietas = 0;
    pesmo6::TimerId timer = 0;
  } st;
  std::function<void()> passo;
  passo = [&] {
    st.timer = 0;
    if (st.proximo == entrada.pedacos.size()) {
      // Everything was sent.  A few quiet passes first, so that what the
      // driver still does on its own (a request going out, bytes it took
      // in) runs; then the update that runs now ends at its limit.
      if (st.quietas++ < kPassesQuietas) {
        pesmo6::platform::ShiftTick(ritmo.passoMinimoMs);
        st.timer = pesmo6::AgendaTimer(0, passo);
        return;
      }
      // Each later pass moves time on again: a request the driver sends
      // after this still goes out on its timers, without real waiting.
      pesmo6::platform::ShiftTick(120000);
      st.fim = true;
      st.timer = pesmo6::AgendaTimer(0, passo);
      return;
    }
    const size_t n = entrada.pedacos[st.proximo];
    const uint64_t fioMs = (static_cast<uint64_t>(n) * ritmo.caractereUs + 999) / 1000;
    pesmo6::platform::ShiftTick(static_cast<uint32_t>(std::max<uint64_t>(fioMs, ritmo.passoMinimoMs)));
    const auto* p = reinterpret_cast<const uint8_t*>(entrada.bytes.data() + st.inicio);
    if (pesmo6::ChannelRef ch = pesmo6::CanalVivo(canal)) {
      if (pesmo6::TEnlace* enlace = ch->Enlace()) enlace->RecebeParaFuzz(p, n);
    }
    st.inicio += n;
    ++st.proximo;
    st.timer = pesmo6::AgendaTimer(0, passo);
  };
  st.timer = pesmo6::AgendaTimer(0, passo);
  // Each update takes at least one piece (the timer runs in its first
  // pass); the bound only guards against an update that runs no pass.
  for (size_t u = 0; !st.fim && u <= entrada.pedacos.size() + 1; ++u) {
    const int32_t codigo = ritmo.espera < 0 ? Update_Canal(canal) : Update_NoMotion(canal, ritmo.espera);
    // PESMO6_FUZZ_TRACE=1 shows what each update of a reproduced input stored.
    static const bool mostra = std::getenv("PESMO6_FUZZ_TRACE") != nullptr;
    if (mostra) {
      std::fprintf(stderr, "update %d: code %d gross [%s] net [%s] tare [%s] status [%s] tag [%s] total [%s]\n",
                   static_cast<int>(u), codigo, Gross_Canal(canal), Net_Canal(canal), Tare_Canal(canal),
                   Estado_Canal(canal), Tag_Canal(canal), Total_Canal(canal));
    }
    confere(codigo);
  }
  if (st.timer != 0) pesmo6::CancelaTimer(st.timer);
  Drena();
}

void Bancada::Encerra(int32_t canal) {
  Close_Canal(canal);
  Deleta_Canal(canal);
  Drena();
}

void Bancada::Drena() {
  char lixo[4096];
  while (read(master_, lixo, sizeof lixo) > 0) {
  }
  if (par_ >= 0) {
    while (recv(par_, lixo, sizeof lixo, MSG_DONTWAIT) > 0) {
    }
  }
}

}  // namespace pesmo6fuzz
