// MSI3360 indicators: continuous STX ... ETX frames of 26 characters, the
// gross, net and tare fields of 8 characters each and a 2-character unit.
#pragma once

#include <string>

#include "MSI.h"

namespace pesmo6 {

class TMSI3360Bal : public TMSIBal<TMSI3360Bal> {
 public:
  // 9600 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS off.
  static constexpr platform::SerialSettings kLinha = Linha(9600, 8, Parity::None, 1);
  // A field of eight dashes (the indicator has no value for it) reads as
  // seven blanks and "0"; any other field is kept as it is.
  static std::string TrocaTracos(std::string campo);

 private:
  friend class TMSIBal<TMSI3360Bal>;
  friend class TBalSkeleton<TMSI3360Bal>;

  static constexpr size_t kTamanhoQuadro = 26;

  void IniciaLeitura();
  // EsperaInicio: everything up to an STX is ignored.
  void EsperaInicio(uint8_t b);
  // RecebeQuadro: collects the frame characters up to the ETX.
  void RecebeQuadro(uint8_t b);
  void DecodificaQuadro(std::string quadro);
};

}  // namespace pesmo6
