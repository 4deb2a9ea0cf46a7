// KVT indicators: the 7410 frame without a checksum; a frame is accepted
// when STX is followed by exactly 16 characters, the last one the CR.
#pragma once

#include "Quadro.h"

namespace pesmo6 {

class TKVTBal : public TQuadroBal<TKVTBal> {
 private:
  friend class TQuadroBal<TKVTBal>;
  friend class TBalSkeleton<TKVTBal>;

  static constexpr size_t kTamanhoQuadro = 16;

  void RecebeQuadro(uint8_t b);
};

}  // namespace pesmo6
