// Ohaus answer lines on a serial port (the reception detached while the
// request goes out) and on a converter line (the socket polled by the
// update), in normal and no-motion updates.  Mode byte: bit 0 the
// converter line, bit 1 no-motion updates.
#include "Comum.h"

using namespace pesmo6fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bancada& b = Bancada::Instancia();
  const Entrada e = Corta(data, size);
  const bool rede = (e.modo & 1) != 0;
  const bool semMovimento = (e.modo & 2) != 0;
  const int32_t canal = rede ? b.NaLinha(WOhaus) : b.NoSerial(WOhausSerial);
  FUZZ_CHECK(canal >= 0);
  // 9600 baud, 7E2; the request's bytes go out 150 ms apart, so at least
  // that much passes per piece (time is moved on, never slept).
  const Ritmo ritmo{1146, 150, semMovimento ? 5000 : -1};
  b.Alimenta(canal, e, ritmo, [&](int32_t codigo) {
    FUZZ_CHECK(codigo == 0 || codigo == 1 || (semMovimento && codigo == 2));
    const std::string net = Texto(Net_Canal(canal));
    const std::string estado = Texto(Estado_Canal(canal));
    const std::string movimento = Texto(Estado_EmMovimento(canal));
    // One weight only: gross and tare are never reported.
    FUZZ_CHECK(Texto(Gross_Canal(canal)) == "EEEEEEEEEE" && Texto(Tare_Canal(canal)) == "EEEEEEEEEE");
    FUZZ_CHECK(net == "0" || PesoDezCaracteres(net));
    FUZZ_CHECK(estado.empty() || (estado.size() == 8 && estado.substr(0, 2) == "EE" && estado.substr(5) == "EEE"));
    FUZZ_CHECK(movimento.empty() || Flag(movimento));
    if (codigo == 0) {
      FUZZ_CHECK(PesoDezCaracteres(net) && estado.size() == 8 && Flag(movimento));
      FUZZ_CHECK(estado[4] == movimento[0]);
      if (semMovimento) FUZZ_CHECK(movimento == "N");
    }
    ConfereNumeros(canal);
  });
  b.Encerra(canal);
  return 0;
}
