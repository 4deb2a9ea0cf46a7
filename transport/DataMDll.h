// The network module of a channel reached through a converter, and the
// converter's command exchange.
#pragma once

#include <cstdint>
#include <string>

#include "Enlace.h"
#include "platform/Platform.h"

namespace pesmo6 {

// The converter's command port, and the reply terminator " OK" LF CR.
constexpr uint16_t kPortaComando = 8880;
inline constexpr char kFimResposta[] = " OK\n\r";

// One network channel's link to its converter line: the line socket
// SocLeitura.  Its errors are discarded (SocLeituraError): a failed attempt
// leaves it inactive, a broken link becomes inactive, nothing is raised.
// The socket is read whenever the pump runs, also between updates (bytes
// that come while no update listens are dropped), so that the converter's
// window stays open and its backlog stays small.
class TDMDLL final : public TEnlace {
 public:
  // `linha`: the line settings of the indicator's family, the speed the
  // converter's serial line runs at.
  explicit TDMDLL(const platform::SerialSettings& linha = {});
  ~TDMDLL() override;  // deactivates the line socket
  platform::LineSocket SocLeitura;

  // A converter line is connected by Select_Canal, never by an update: an
  // update on a line that is down waits its time and ends with 1.
  bool Abre() override;
  void Fecha() override { Escuta(nullptr); }
  bool Perdido() const override { return false; }
  bool Envia(const uint8_t* bytes, size_t n) override;
  uint32_t CaractereUs() const override { return platform::CharacterTimeUs(linha_); }
  bool FechamentoMarcaCanal() const override { return true; }
  // The speed the converter's serial line runs at: the family's unless set.
  void DefineLinha(const platform::SerialSettings& linha) { linha_ = linha; }
  int32_t Seleciona(const std::string& endereco, uint16_t porta, uint32_t limiteMs, bool atualizando) override;
  void Encerra() override;
#ifdef PESMO6_FUZZ
  void RecebeParaFuzz(const uint8_t* data, size_t n) override { SocLeitura.FuzzReceive(data, n); }
#endif

 protected:
  bool EsvaziaSistema() override;

 private:
  // One read notification: what became known is judged, one byte is taken.
  void AoLer();

  platform::SerialSettings linha_;
  uint64_t tomados_ = 0;  // bytes taken from the socket
  uint64_t vistos_ = 0;   // bytes known to have arrived (taken or waiting)
};

// Sends `comando` + CR on a fresh blocking connection to the converter's
// command port and returns the reply collected up to the terminator, the
// time limit or kMaxResposta bytes (empty when no connection was made).
// Runs no event pump.  An error while exchanging is raised after the
// connection is closed.  The bytes go to the byte tap as those of converter
// `conversor` (none when negative).
std::string EnviaComando(const std::string& endereco, const std::string& comando, int32_t conversor = -1);

// The longest reply collected: past it the exchange ends with what came.
constexpr size_t kMaxResposta = 64 * 1024;

// Limits of the exchange: connect 5000 ms, reply 10000 ms.
struct LimitesComando {
  uint32_t conexaoMs;
  uint32_t respostaMs;
};
LimitesComando& LimitesDoComando();  // tests shorten them

}  // namespace pesmo6
