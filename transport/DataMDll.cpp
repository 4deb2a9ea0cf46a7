#include "DataMDll.h"

#include <cstring>

#include "Trace.h"

namespace pesmo6 {

TDMDLL::TDMDLL() {
  // SocLeituraError: every error is dropped, silently.
  SocLeitura.SetEvents({nullptr, nullptr, [](int) {}});
}

TDMDLL::~TDMDLL() {
  SocLeitura.SetOnRead(nullptr);
  SocLeitura.Close();
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
