// Trilograf replies on a serial port (hello, readiness and tag exchange,
// each reply sending the next request) and tag lines on a converter line.
// Mode byte: bit 0 the converter line.
#include "Comum.h"

using namespace pesmo6fuzz;

namespace {
bool Hexadecimal(const std::string& t) {
  for (char c : t) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bancada& b = Bancada::Instancia();
  const Entrada e = Corta(data, size);
  const bool rede = (e.modo & 1) != 0;
  const int32_t canal = rede ? b.NaLinha(WTrilograf) : b.NoSerial(WTrilografSerial);
  FUZZ_CHECK(canal >= 0);
  // 9600 baud, 8N1.
  const Ritmo ritmo{1042, 0, (e.modo & 2) != 0 ? 3000 : -1};
  b.Alimenta(canal, e, ritmo, [&](int32_t codigo) {
    FUZZ_CHECK(codigo == 0 || codigo == 1);
    const std::string tag = Texto(Tag_Canal(canal));
    if (rede) {
      // The text between STX and CR, bounded; no CR inside.
      FUZZ_CHECK(tag.size() <= 64 * 1024 && tag.find('\r') == std::string::npos);
    } else {
      // Twelve tag bytes as 24 hexadecimal characters, or nothing.
      FUZZ_CHECK(codigo == 0 ? tag.size() == 24 && Hexadecimal(tag) : tag.empty());
    }
    FUZZ_CHECK(Texto(Total_Canal(canal)).empty() && Texto(Contadora_Canal(canal)).empty());
  });
  b.Encerra(canal);
  return 0;
}
