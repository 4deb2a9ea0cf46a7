#include "W_MSI3360.h"

namespace pesmo6 {

namespace {
constexpr uint8_t kSTX = 0x02;
constexpr uint8_t kETX = 0x03;
constexpr const char* kZeroCampo = "       0";
}  // namespace

std::string TMSI3360Bal::TrocaTracos(std::string campo) {
  return campo == "--------" ? std::string(kZeroCampo) : campo;
}

void TMSI3360Bal::IniciaLeitura() { TrataByte = &TMSI3360Bal::EsperaInicio; }

void TMSI3360Bal::EsperaInicio(uint8_t b) {
  if (b != kSTX) return;
  Buffer.clear();
  TrataByte = &TMSI3360Bal::RecebeQuadro;
}

void TMSI3360Bal::RecebeQuadro(uint8_t b) {
  if (b != kETX) {
    if (Buffer.size() >= kMaxAcumulado) {
      // Noise without ETX: give up on this frame and look for the next STX.
      Buffer.clear();
      TrataByte = &TMSI3360Bal::EsperaInicio;
      return;
    }
    Buffer.push_back(static_cast<char>(b));  // an STX here is data
    return;
  }
  if (Buffer.size() != kTamanhoQuadro) {
    TrataByte = &TMSI3360Bal::EsperaInicio;  // wrong length: dropped
    return;
  }
  DecodificaQuadro(Buffer);
  Conclui();
}

void TMSI3360Bal::DecodificaQuadro(std::string q) {
  TrocaMarcasDecimais(q);
  Status.SoUnidade(q.substr(24, 2));
  TClVorel& ch = *Dono;
  ch.Gross = TrocaTracos(q.substr(0, 8));
  ch.Net = TrocaTracos(q.substr(8, 8));
  ch.Tare = TrocaTracos(q.substr(16, 8));
  // A net field without a value (zero, or dashes) shows the gross weight.
  if (ch.Net == kZeroCampo) ch.Net = ch.Gross;
}

}  // namespace pesmo6
