// The text arguments of the exports: converter addresses (Seta_Ip), line
// letters (the network registrations, ClrBufRx), output patterns and state
// texts (DIO_OutPortStr, DIO_OutBitStr) and device paths (Seta_Porta, which
// only maps: nothing is opened).  Mode byte: bits 0-2 the export, bits 3-7 a
// number (port, bit); the text ends at its first NUL, as a host's would.
#include <cstring>

#include "Comum.h"
#include "transport/DataMSerial.h"

using namespace pesmo6fuzz;

namespace {

// What a converter address is once stored: the text up to its first NUL.
std::string ComoTexto(const std::string& bytes) { return std::string(bytes.c_str()); }

bool LinhaValida(const std::string& t) {
  return t.size() == 1 && ((t[0] >= 'A' && t[0] <= 'D') || (t[0] >= 'a' && t[0] <= 'd'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bancada& b = Bancada::Instancia();
  const Entrada e = Corta(data, size);
  const std::string texto = ComoTexto(e.bytes);
  const char* arg = (e.modo & 0x80) != 0 && texto.empty() ? nullptr : texto.c_str();
  const int32_t numero = (e.modo >> 3) & 0x0F;
  // No converter listens on the bench's command port: commands are refused
  // at once, and the output exports still report "sent".
  const int32_t conv = b.Conversor();
  switch (e.modo & 7) {
    case 0: {
      const int32_t n = Seta_Ip(arg);
      FUZZ_CHECK((n == -1) == (texto.size() > 16));
      if (n >= 0) FUZZ_CHECK(Seta_Ip(arg) == n);  // the same text, the same converter
      break;
    }
    case 1: {
      const int32_t canal = W7410(conv, arg);
      FUZZ_CHECK((canal >= 0) == LinhaValida(texto));
      if (canal >= 0) {
        FUZZ_CHECK(Texto(Net_Canal(canal)) == "");
        Deleta_Canal(canal);
      }
      break;
    }
    case 2:
      FUZZ_CHECK(DIO_OutPortStr(conv, arg) == 0);
      break;
    case 3: {
      const uint32_t porta = static_cast<uint32_t>(numero) * 4099u;  // 0 up to 61485
      const int32_t r = Seta_Porta(porta, arg);
      FUZZ_CHECK((r == 0) == (porta != 0 && !texto.empty()));
      if (r == 0) FUZZ_CHECK(pesmo6::DeviceForPort(static_cast<uint16_t>(porta)) == texto);
      break;
    }
    case 4:
      FUZZ_CHECK(ClrBufRx(conv, arg) == (LinhaValida(texto) ? 0 : -1));
      break;
    case 5:
      FUZZ_CHECK(DIO_OutBitStr(conv, numero, arg) == 0);
      break;
    default: {
      const int32_t canal = WOhaus(conv, arg);
      FUZZ_CHECK((canal >= 0) == LinhaValida(texto));
      if (canal >= 0) Deleta_Canal(canal);
      break;
    }
  }
  return 0;
}
