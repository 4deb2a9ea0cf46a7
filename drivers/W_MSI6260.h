// MSI6260 indicators: text lines, each a label ("GROSS ", " TARE ",
// "  NET ", "TOTAL "), a value and a unit (KG or LB), ended by LF.  The
// first labelled line of an update is the reading; the total is the one
// reading that an update does not reset.
#pragma once

#include <string>
#include <string_view>

#include "MSI.h"

namespace pesmo6 {

class TMSI6260Bal : public TMSIBal<TMSI6260Bal> {
 public:
  // 1200 baud, 7 data bits, mark parity, 1 stop bit, DTR and RTS off.
  static constexpr platform::SerialSettings kLinha = Linha(1200, 7, Parity::Mark, 1);
  // The value that follows `rotulo` in `linha`: from the second character
  // after the label to the second character before the first `unidade`;
  // "EEEEEEE" when the line has no such label or no such unit.
  static std::string ExtraiValor(std::string_view linha, std::string_view rotulo, std::string_view unidade);

 private:
  friend class TMSIBal<TMSI6260Bal>;
  friend class TBalSkeleton<TMSI6260Bal>;

  void IniciaLeitura();
  // After bytes were dropped mid-stream the line under way began before
  // them: it is skipped up to its LF.
  void ReiniciaColeta(bool noMeio);
  void PulaLinha(uint8_t b);
  // RecebeLinha: collects a line up to LF; a labelled line is the reading,
  // any other line is dropped.
  void RecebeLinha(uint8_t b);
  void DecodificaLinha(std::string linha);
};

}  // namespace pesmo6
