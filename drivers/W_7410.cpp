#include "W_7410.h"


namespace pesmo6 {

void T7410Bal::RecebeQuadro(uint8_t b) {
  if (Acumula(b) && b == 0x0D) TrataByte = &T7410Bal::ConfereSoma;
}

uint8_t T7410Bal::CalculaSoma(std::string_view quadro) {
  uint32_t soma = 2;  // the STX
  for (char c : quadro) soma += static_cast<uint8_t>(c) & 0x7Fu;
  return static_cast<uint8_t>((((~soma) & 0x7Fu) + 1u) & 0x7Fu);
}

void T7410Bal::ConfereSoma(uint8_t b) {
  // Too short to hold the status bytes: not a frame, whatever its checksum.
  if (b != CalculaSoma(Buffer) || Buffer.size() < 3) {
    TrataByte = &T7410Bal::EsperaInicio;
    return;
  }
  if (Dono->Dispositivo == Disp7410) {
    AceitaQuadro();
  } else {
    Dono->Contadora = Buffer;
    Buffer.clear();
    TrataByte = nullptr;
    Recebido = true;
  }
}

}  // namespace pesmo6
