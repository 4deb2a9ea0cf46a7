// 7410 indicators: frames closed by a 7-bit checksum after the CR.  Device
// code 1 decodes every accepted frame; code 4 stores it raw in Contadora.
#pragma once

#include <string_view>

#include "Quadro.h"

namespace pesmo6 {

class T7410Bal : public TQuadroBal<T7410Bal> {
 public:
  // Checksum byte for the characters from status byte 1 through the CR.
  static uint8_t CalculaSoma(std::string_view quadro);

 private:
  friend class TQuadroBal<T7410Bal>;
  friend class TBalSkeleton<T7410Bal>;

  void RecebeQuadro(uint8_t b);
  void ConfereSoma(uint8_t b);
};

}  // namespace pesmo6
