#include "DataMDll.h"

#include <cstring>

#include "EventPump.h"
#include "Trace.h"

namespace pesmo6 {

TDMDLL::TDMDLL(const platform::SerialSettings& linha) : linha_(linha) {
  // SocLeituraError: every error is dropped, silently.
  SocLeitura.SetEvents({nullptr, [this] { Falhou(FalhaEnlace::LinhaCaiu); }, [](int) {}});
  SocLeitura.SetOnRead([this] { AoLer(); });
}

TDMDLL::~TDMDLL() { Encerra(); }

void TDMDLL::Encerra() {
  Escuta(nullptr);
  SocLeitura.SetOnRead(nullptr);
  SocLeitura.SetEvents({});
  SocLeitura.Close();
}

bool TDMDLL::Abre() {
  if (!SocLeitura.Active()) Falhou(FalhaEnlace::LinhaDesconectada);
  return true;
}

bool TDMDLL::Envia(const uint8_t* bytes, size_t n) {
  if (!SocLeitura.Active()) {
    // Nothing goes out on a line that is down, as on a socket that is not
    // connected; the update then runs out its wait.
    Falhou(FalhaEnlace::LinhaDesconectada);
    return true;
  }
  SocLeitura.Send(std::string(reinterpret_cast<const char*>(bytes), n));
  return true;
}

bool TDMDLL::EsvaziaSistema() {
  const size_t n = SocLeitura.DiscardInput();
  vistos_ = tomados_;
  return n > 0;
}

void TDMDLL::AoLer() {
  NovaEntrega();
  const uint64_t observados = tomados_ + SocLeitura.Waiting();
  if (observados > vistos_) {
    Chegaram(observados - vistos_, observados - tomados_);
    vistos_ = observados;
  }
  uint8_t b = 0;
  if (SocLeitura.ReadByte(b) != 1) return;
  ++tomados_;
  if (vistos_ < tomados_) vistos_ = tomados_;
  Entrega(b);
}

int32_t TDMDLL::Seleciona(const std::string& endereco, uint16_t porta, uint32_t limiteMs, bool atualizando) {
  if (SocLeitura.Active()) {
    // Bytes that came while no update listened are stale (the next update
    // drops them anyway); dropped here, they cannot keep a link the
    // converter closed or reset looking up.  An update of this channel
    // running (Select_Canal from the host hook) keeps what it has not read.
    if (!atualizando) EsvaziaSistema();
    // A converter that closed the line since the last pump pass is noticed
    // here, and connected again at once.
    if (SocLeitura.Active() && SocLeitura.CheckAlive()) {
      Log("J\xE1 aberto");
      return 1;
    }
  }
  // The bound counts from here: a host name's lookup takes its share of it.
  const uint32_t inicio = platform::Tick();
  SocLeitura.Open(endereco, porta, limiteMs);
  const std::shared_ptr<bool> vivo = vivo_;
  for (;;) {
    if (SocLeitura.Active()) return 1;
    // One reading of the clock for both the check and the wait: read twice,
    // the limit could pass between them and the wait wrap to 49 days.
    const uint32_t decorrido = platform::Tick() - inicio;
    // Never wait forever: an attempt that failed (refused, unreachable) or
    // is still pending after the limit ends here; the next call tries again.
    if (!SocLeitura.Connecting() || decorrido >= limiteMs) {
      Falhou(SocLeitura.Connecting() ? FalhaEnlace::ConversorMudo : FalhaEnlace::ConversorRecusou);
      SocLeitura.Close();
      return 0;
    }
    ProcessaEventos(limiteMs - decorrido);
    // Closed or deleted from inside the pump: that attempt is gone with it.
    if (!*vivo) return -1;
  }
}

LimitesComando& LimitesDoComando() {
  static LimitesComando limites{5000, 10000};
  return limites;
}

std::string EnviaComando(const std::string& endereco, const std::string& comando, int32_t conversor) {
  const int32_t canalTrafego = -1 - conversor;
  auto mostra = [&](int32_t sentido, const char* bytes, size_t n) {
    if (conversor >= 0 && TrafegoLigado()) Trafego(canalTrafego, sentido, reinterpret_cast<const uint8_t*>(bytes), n);
  };
  const LimitesComando limites = LimitesDoComando();
  platform::BlockingSocket conexao;
  Log("SocIO Conectando . . . . .");
  try {
    conexao.Connect(endereco, kPortaComando, limites.conexaoMs);
  } catch (const platform::SocketError& e) {
    Log("Erro " + std::to_string(e.Code()) + " no socket de IO");
    return std::string();
  }
  Log("SocIO Conectou !");

  std::string resposta;
  try {
    const std::string pedido = comando + "\r";
    conexao.Send(pedido);
    mostra(kEnviado, pedido.data(), pedido.size());
    char buffer[1024];
    const uint32_t t0 = platform::Tick();
    // Where the terminator may start: it is looked for only in what came
    // since the last look (and the four bytes before it).
    size_t desde = 0;
    for (;;) {
      const uint32_t decorrido = platform::Tick() - t0;
      if (resposta.find(kFimResposta, desde) != std::string::npos || decorrido >= limites.respostaMs) break;
      // A reply is a few characters: a peer that keeps sending without the
      // terminator is cut off here instead of filling the host's memory.
      if (resposta.size() >= kMaxResposta) break;
      // Each read waits at most what is left of the limit.
      const int n = conexao.Receive(buffer, sizeof buffer, limites.respostaMs - decorrido);
      if (n < 0) break;  // the converter closed: nothing more can come
      mostra(kRecebido, buffer, static_cast<size_t>(n));
      // A zero byte ends what the read contributes; the rest is lost.
      const size_t util = n > 0 ? strnlen(buffer, static_cast<size_t>(n)) : 0;
      constexpr size_t kCauda = sizeof kFimResposta - 2;  // the terminator less one byte
      desde = resposta.size() >= kCauda ? resposta.size() - kCauda : 0;
      resposta.append(buffer, util);
    }
  } catch (const platform::SocketError& e) {
    conexao.Close();
    Log("Erro " + std::to_string(e.Code()) + " no socket de IO");
    Log("SocIO Desconectou !");
    throw;
  }
  conexao.Close();
  Log("SocIO Desconectou !");
  return resposta;
}

}  // namespace pesmo6
