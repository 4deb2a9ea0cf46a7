// The network module of a channel reached through a converter, and the
// converter's command exchange.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace pesmo6 {

// The converter's command port, and the reply terminator " OK" LF CR.
constexpr uint16_t kPortaComando = 8880;
inline constexpr char kFimResposta[] = " OK\n\r";

// One network channel's link to its converter line: the line socket
// SocLeitura.  Its errors are discarded (SocLeituraError): a failed attempt
// leaves it inactive, a broken link becomes inactive, nothing is raised.
class TDMDLL {
 public:
  TDMDLL();
  ~TDMDLL();  // deactivates the line socket
  platform::LineSocket SocLeitura;
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
