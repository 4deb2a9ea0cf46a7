// MSI3360 frames (STX, 8-character gross, net and tare, 2-character unit,
// ETX) on a serial port and on a converter line.  Mode byte: bit 0 the
// converter line, bit 1 no-motion updates.
#include "Comum.h"
#include "engine/Definir.h"

using namespace pesmo6fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bancada& b = Bancada::Instancia();
  const Entrada e = Corta(data, size);
  const bool rede = (e.modo & 1) != 0;
  const int32_t canal = rede ? b.NaLinha(WMSI3360) : b.NoSerial(WMSI3360Serial);
  FUZZ_CHECK(canal >= 0);
  // 9600 baud, 8N1.
  const Ritmo ritmo{1042, 0, (e.modo & 2) != 0 ? 5000 : -1};
  b.Alimenta(canal, e, ritmo, [&](int32_t codigo) {
    // Neither motion nor overload is reported: a reading or nothing.
    FUZZ_CHECK(codigo == 0 || codigo == 1);
    const std::string estado = Texto(Estado_Canal(canal));
    const std::string movimento = Texto(Estado_EmMovimento(canal));
    // The fields as sent: eight characters each (a NUL among them ends the
    // host's text early, nothing more).
    const pesmo6::ChannelRef ch = pesmo6::CanalVivo(canal);
    FUZZ_CHECK(ch != nullptr);
    for (const std::string* campo : {&ch->Gross, &ch->Net, &ch->Tare}) {
      FUZZ_CHECK(codigo == 0 ? campo->size() == 8 : *campo == "0");
    }
    for (const char* p : {Gross_Canal(canal), Net_Canal(canal), Tare_Canal(canal)}) {
      FUZZ_CHECK(Texto(p).size() <= 8);
    }
    // The unit comes as sent, so the host's status text may end early at a
    // NUL in it; the stored one always has its eight characters.
    const std::string& guardado = ch->Estado;
    FUZZ_CHECK(estado.size() <= guardado.size());
    FUZZ_CHECK(guardado.empty() || (guardado.size() == 8 && guardado.substr(0, 5) == "EEEEE" && guardado[7] == 'E'));
    FUZZ_CHECK(movimento.empty() || movimento == "E");
    if (codigo == 0) FUZZ_CHECK(guardado.size() == 8 && movimento == "E");
    FUZZ_CHECK(Texto(Tag_Canal(canal)).empty() && Texto(Total_Canal(canal)).empty());
    ConfereNumeros(canal);
  });
  b.Encerra(canal);
  return 0;
}
