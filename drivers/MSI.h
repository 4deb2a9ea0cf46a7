// The MSI indicators (MSI3360 frames, MSI6260 labelled lines): listening
// drivers on the shared skeleton with one update cycle of their own.  What
// sets them apart from the frame drivers is all in kPerfil: 600 ms to open
// the port, a 5000 ms normal wait, and no per-byte error protection in the
// serial reception.  What each family resets and arms at the start of an
// update is its IniciaLeitura.
//
// These indicators report neither motion, sign nor overload: an update
// returns 0 (reading stored), 1 (nothing within the wait, for a normal and
// a no-motion update alike) or 4 (the port did not open).
#pragma once

#include <string>
#include <string_view>

#include "Skeleton.h"

namespace pesmo6 {

// What an MSI reading says about the indicator: only the unit is known,
// every other status item reads "E".
struct StatusMSI {
  std::string Movimento;
  std::string Liquido;
  std::string Negativo;
  std::string Sobrecarga;
  std::string Unidade;
  std::string Auxiliar;
  std::string Incremento;

  void SoUnidade(std::string unidade) {
    Movimento = Liquido = Negativo = Sobrecarga = Auxiliar = Incremento = "E";
    Unidade = std::move(unidade);
  }
  // The shared eight-character layout: increment, net, negative, overload,
  // motion, unit, auxiliary.
  std::string Estado() const {
    return Incremento + Liquido + Negativo + Sobrecarga + Movimento + Unidade + Auxiliar;
  }
};

// Both decimal marks an MSI indicator may send become the separator of the
// system's default locale.
inline void TrocaMarcasDecimais(std::string& texto) {
  const char sep = platform::SystemDecimalSeparator();
  for (char& c : texto) {
    if (c == '.' || c == ',') c = sep;
  }
}

template <class D>
class TMSIBal : public TBalSkeleton<D> {
 public:
  // 600 ms to open, 5000 ms normal wait, no per-byte protection, and a
  // no-motion update that read nothing gives 1 like a normal one.
  static constexpr PerfilFamilia kPerfil{600, 5000, false, PESMO6_NADA};
  // The indicator talks unasked: the driver only listens.
  static constexpr bool kPede = false;
  // A frame or line that grows past this without its terminator is noise:
  // it is dropped and collection starts again.
  static constexpr size_t kMaxAcumulado = 64 * 1024;


 protected:
  using Base = TBalSkeleton<D>;
  using Base::Buffer;
  using Base::Recebido;
  using Base::TrataByte;

  // A reading was decoded: the channel shows the unit-only status, the
  // serial port is closed and the wait ends.
  void Conclui() {
    TClVorel& ch = *this->Dono;
    ch.EmMovimento = Status.Movimento;
    ch.Estado = Status.Estado();
    this->FechaPorta(ch);
    TrataByte = nullptr;
    Recebido = true;
  }

  // What the last decoded reading said; kept across updates.
  StatusMSI Status;
};

}  // namespace pesmo6
