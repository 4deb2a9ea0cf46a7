#include "W_KVT.h"

namespace pesmo6 {

void TKVTBal::RecebeQuadro(uint8_t b) {
  if (!Acumula(b) || b != 0x0D) return;
  if (Buffer.size() == kTamanhoQuadro) {
    AceitaQuadro();
  } else {
    TrataByte = &TKVTBal::EsperaInicio;  // cut short or too long: dropped
  }
}

}  // namespace pesmo6
