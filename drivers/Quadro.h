// The frame drivers (7410 and KVT): continuous STX ... CR frames with three
// status bytes, a six-digit weight and a six-digit tare.  One update cycle,
// one frame start, one decoder; each family brings only its end-of-frame
// rule (RecebeQuadro and what follows it).
#pragma once

#include <string>

#include "Skeleton.h"

namespace pesmo6 {

struct StatusQuadro {
  std::string Movimento;
  int32_t Decimais = 0;
  std::string Liquido;
  std::string Negativo;
  std::string Sobrecarga;
  std::string Unidade;
  std::string Auxiliar;
  std::string Incremento;
};

// Decodes frame text t (status byte 1 through the CR) into `status` and the
// channel's Gross, Net, Tare, EmMovimento and Estado.
void DecodificaQuadro(const std::string& t, StatusQuadro& status, TClVorel& ch);

template <class D>
class TQuadroBal : public TBalSkeleton<D> {
 public:
  static constexpr PerfilFamilia kPerfil{1000, 10000, true};
  // 4800 baud, 7 data bits, even parity, 1 stop bit, DTR and RTS off.
  static constexpr platform::SerialSettings kLinha = Linha(4800, 7, Parity::Even, 1);
  // The indicator talks unasked: the driver only listens.
  static constexpr bool kPede = false;
  // A frame without CR is abandoned past this size.
  static constexpr size_t kMaxQuadro = 64 * 1024;

  // An overload reported by the last decoded frame outranks 0, 1 and 2.
  int32_t AjustaResultado(int32_t resultado) const { return Status.Sobrecarga == "S" ? 3 : resultado; }

 protected:
  using Base = TBalSkeleton<D>;
  using Base::Buffer;
  using Base::Recebido;
  using Base::SemMovimento;
  using Base::TrataByte;

  // IniciaLeitura: each update starts by looking for an STX.
  void IniciaLeitura() { TrataByte = &D::EsperaInicio; }
  // EsperaInicio: everything up to an STX is ignored.
  void EsperaInicio(uint8_t b);
  // Appends one frame byte; false when the frame grew past kMaxQuadro and
  // was abandoned.
  bool Acumula(uint8_t b);
  // A frame passed its family's check: decode it and end the wait, unless
  // a no-motion update sees motion.
  void AceitaQuadro();

  // What the last decoded frame said; kept across updates.
  StatusQuadro Status;
};

template <class D>
void TQuadroBal<D>::EsperaInicio(uint8_t b) {
  if (b != 0x02) return;
  Buffer.clear();
  TrataByte = &D::RecebeQuadro;
}

template <class D>
bool TQuadroBal<D>::Acumula(uint8_t b) {
  if (Buffer.size() >= kMaxQuadro) {
    // Noise without CR: give up on this frame and look for the next STX.
    Buffer.clear();
    TrataByte = &D::EsperaInicio;
    return false;
  }
  Buffer.push_back(static_cast<char>(b));
  return true;
}

template <class D>
void TQuadroBal<D>::AceitaQuadro() {
  DecodificaQuadro(Buffer, Status, *this->Dono);
  if (SemMovimento && Status.Movimento != "N") {
    TrataByte = &D::EsperaInicio;  // the channel already shows the moving frame
    return;
  }
  this->FechaPorta(*this->Dono);
  TrataByte = nullptr;
  Recebido = true;
}

}  // namespace pesmo6
