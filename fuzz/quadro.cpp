// 7410 frames (decoded and raw) and KVT frames, on a serial port and on a
// converter line, in normal and no-motion updates.  Mode byte: bits 0-1 the
// family (0 7410, 1 7410 raw, 2 and 3 KVT), bit 2 the converter line, bit 3
// no-motion updates.
#include "Comum.h"
#include "engine/Definir.h"

using namespace pesmo6fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bancada& b = Bancada::Instancia();
  const Entrada e = Corta(data, size);
  const int familia = e.modo & 3;
  const bool rede = (e.modo & 4) != 0;
  const bool semMovimento = (e.modo & 8) != 0;
  int32_t canal = -1;
  if (familia == 0) canal = rede ? b.NaLinha(W7410) : b.NoSerial(W7410Serial);
  else if (familia == 1) canal = rede ? b.NaLinha(W7410C) : b.NoSerial(W7410SerialC);
  else canal = rede ? b.NaLinha(WKVT) : b.NoSerial(WKVTSerial);
  FUZZ_CHECK(canal >= 0);

  // 4800 baud, 7E1: ten bits a character.
  const Ritmo ritmo{2084, 0, semMovimento ? 10000 : -1};
  b.Alimenta(canal, e, ritmo, [&](int32_t codigo) {
    FUZZ_CHECK(codigo >= 0 && codigo <= 3);
    FUZZ_CHECK(semMovimento || codigo != 2);
    const std::string gross = Texto(Gross_Canal(canal));
    const std::string net = Texto(Net_Canal(canal));
    const std::string tare = Texto(Tare_Canal(canal));
    const std::string estado = Texto(Estado_Canal(canal));
    const std::string movimento = Texto(Estado_EmMovimento(canal));
    const std::string contadora = Texto(Contadora_Canal(canal));
    FUZZ_CHECK(Texto(Tag_Canal(canal)).empty() && Texto(Total_Canal(canal)).empty());
    ConfereNumeros(canal);
    if (familia == 1) {
      // Raw frames: nothing decoded, the frame kept as it came.
      FUZZ_CHECK(gross == "0" && net == "0" && tare == "0");
      // The frame as it came, CR included (a NUL in it ends the host's text
      // early, nothing more).
      const pesmo6::ChannelRef ch = pesmo6::CanalVivo(canal);
      FUZZ_CHECK(ch != nullptr && ch->Contadora.size() <= 64 * 1024 && contadora.size() <= ch->Contadora.size());
      if (codigo == 0) FUZZ_CHECK(ch->Contadora.size() >= 3 && ch->Contadora.back() == '\r');
      FUZZ_CHECK(codigo != 3);  // no frame is decoded, so no overload is known
      return;
    }
    FUZZ_CHECK(contadora.empty());
    for (const std::string* t : {&gross, &net, &tare}) FUZZ_CHECK(*t == "0" || PesoDezCaracteres(*t));
    FUZZ_CHECK(estado.empty() || estado.size() == 8);
    FUZZ_CHECK(movimento.empty() || Flag(movimento));
    // The last decoded frame's overload outranks the update's own result.
    if (codigo == 3) FUZZ_CHECK(estado.size() == 8 && estado[3] == 'S');
    if (codigo == 0) {
      FUZZ_CHECK(PesoDezCaracteres(gross) && PesoDezCaracteres(net) && PesoDezCaracteres(tare));
      FUZZ_CHECK(estado.size() == 8 && Flag(movimento));
      FUZZ_CHECK(estado.substr(5, 2) == "kg" || estado.substr(5, 2) == "lb");
      for (size_t i : {1u, 2u, 3u, 4u, 7u}) FUZZ_CHECK(estado[i] == 'S' || estado[i] == 'N');
      FUZZ_CHECK(estado[4] == movimento[0]);
      FUZZ_CHECK(estado[3] == 'N');
      if (semMovimento) FUZZ_CHECK(movimento == "N");
    }
  });
  b.Encerra(canal);
  return 0;
}
