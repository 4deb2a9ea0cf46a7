// MSI6260 labelled lines (GROSS, TARE, NET, TOTAL) with the total kept
// across updates, on a serial port and on a converter line.  Mode byte:
// bit 0 the converter line, bit 1 no-motion updates.
#include "Comum.h"

using namespace pesmo6fuzz;

namespace {
constexpr size_t kMaxLinha = 64 * 1024 + 1;  // a line up to its LF
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bancada& b = Bancada::Instancia();
  const Entrada e = Corta(data, size);
  const bool rede = (e.modo & 1) != 0;
  const int32_t canal = rede ? b.NaLinha(WMSI6260) : b.NoSerial(WMSI6260Serial);
  FUZZ_CHECK(canal >= 0);
  // 1200 baud, 7 data bits, mark parity, 1 stop bit.
  const Ritmo ritmo{8334, 0, (e.modo & 2) != 0 ? 5000 : -1};
  std::string totalAntes;
  b.Alimenta(canal, e, ritmo, [&](int32_t codigo) {
    FUZZ_CHECK(codigo == 0 || codigo == 1);
    const std::string estado = Texto(Estado_Canal(canal));
    const std::string total = Texto(Total_Canal(canal));
    for (const char* p : {Gross_Canal(canal), Net_Canal(canal), Tare_Canal(canal)}) {
      const std::string t = Texto(p);
      if (codigo != 0) FUZZ_CHECK(t == "0");
      FUZZ_CHECK(t.size() < kMaxLinha && t.find('\n') == std::string::npos);
    }
    FUZZ_CHECK(total.size() < kMaxLinha && total.find('\n') == std::string::npos);
    // Only a decoded line replaces the total.
    if (codigo != 0) FUZZ_CHECK(total == totalAntes);
    totalAntes = total;
    FUZZ_CHECK(estado.empty() || estado == "EEEEEKGE" || estado == "EEEEELBE");
    if (codigo == 0) FUZZ_CHECK(!estado.empty() && Texto(Estado_EmMovimento(canal)) == "E");
    FUZZ_CHECK(Texto(Tag_Canal(canal)).empty() && Texto(Contadora_Canal(canal)).empty());
    ConfereNumeros(canal);
  });
  b.Encerra(canal);
  return 0;
}
