#include "Enlace.h"

#include <algorithm>
#include <climits>

namespace pesmo6 {

TEnlace::TEnlace() = default;

TEnlace::~TEnlace() { *vivo_ = false; }

void TEnlace::Rearma(uint64_t agora) {
  base_ = agora;
  contados_ = 0;
}

void TEnlace::Descarta(bool assentar) {
  // The count starts when the discard begins: its system calls take time
  // (milliseconds under Wine) in which the wire goes on.
  const uint64_t agora = platform::Micros();
  EsvaziaSistema();
  Rearma(agora);
  descartar_ = 0;
  restoPerdido_ = false;
  ++geracao_;
  // Whatever the receptor collected belongs to what was just dropped.
  reiniciar_ = assentar ? Reinicio::NoMeio : Reinicio::Limpo;
  if (assentar) {
    estado_ = Estado::Assentando;
    inicioAssentamento_ = agora;
    fluxoNoAssentamento_ = false;
  } else {
    estado_ = Estado::Ouvindo;
  }
}

void TEnlace::Pausa() {
  estado_ = Estado::Pausado;
  ++geracao_;
  reiniciar_ = Reinicio::NoMeio;
}

uint32_t TEnlace::FaltaAssentarMs() const {
  if (estado_ != Estado::Assentando) return 0;
  const uint64_t passado = platform::Micros() - inicioAssentamento_;
  return passado >= kAssentamentoUs ? 0 : static_cast<uint32_t>((kAssentamentoUs - passado + 999) / 1000);
}

uint32_t TEnlace::Assenta() {
  if (estado_ != Estado::Assentando) return UINT32_MAX;
  const uint64_t agora = platform::Micros();
  const uint64_t passado = agora - inicioAssentamento_;
  if (passado < kAssentamentoUs) return static_cast<uint32_t>((kAssentamentoUs - passado + 999) / 1000);
  // What came during the settle, and what the OS took since the last pump
  // pass, may be leftovers: dropped, and the count starts now.  A line that
  // stayed quiet all the while starts clean; one that talked may be in the
  // middle of a frame.
  const uint64_t inicio = platform::Micros();
  if (EsvaziaSistema()) fluxoNoAssentamento_ = true;
  Rearma(inicio);
  estado_ = Estado::Ouvindo;
  ++geracao_;
  reiniciar_ = fluxoNoAssentamento_ ? Reinicio::NoMeio : Reinicio::Limpo;
  return UINT32_MAX;
}

void TEnlace::Chegaram(uint64_t novos, uint64_t pendentes) {
  if (estado_ != Estado::Ouvindo || receptor_ == nullptr) {
    // Settling, paused or not listening: everything waiting goes.
    if (estado_ == Estado::Assentando && novos > 0) fluxoNoAssentamento_ = true;
    descartar_ = pendentes;
    return;
  }
  contados_ += novos;
  const uint64_t agora = platform::Micros();
  const uint64_t caractere = CaractereUs() > 0 ? CaractereUs() : 1;
  // The credit stays a character short of the settle, so that a frame
  // accepted began after its update's discard even on a slow line (at 1200
  // baud two characters alone are 16.7 ms); never less than the character
  // under way when the count started.
  uint64_t credito = kToleranciaUs + kFolga * caractere;
  if (credito + caractere > kAssentamentoUs) {
    credito = std::max(caractere, kAssentamentoUs > caractere ? kAssentamentoUs - caractere : 0);
  }
  const uint64_t cabem = (agora - base_ + credito) / caractere;
  if (contados_ <= cabem) return;
  // More than the wire could have carried since the count started: a
  // backlog.  Everything waiting goes, the receptor starts afresh, and the
  // count starts again from now.
  descartar_ = pendentes;
  reiniciar_ = Reinicio::NoMeio;
  Rearma(agora);
}

bool TEnlace::Entrega(uint8_t b) {
  if (descartar_ > 0 || restoPerdido_ || estado_ != Estado::Ouvindo || receptor_ == nullptr) {
    if (descartar_ > 0) --descartar_;
    if (estado_ != Estado::Parado) ++descartados_;
    return true;
  }
  TReceptor* const receptor = receptor_;
  const std::shared_ptr<bool> vivo = vivo_;
  try {
    if (reiniciar_ != Reinicio::Nenhum) {
      const bool noMeio = reiniciar_ == Reinicio::NoMeio;
      reiniciar_ = Reinicio::Nenhum;
      receptor->Reinicia(noMeio);
      if (!*vivo) return false;
    }
    receptor->Recebe(b);
  } catch (...) {
    if (!*vivo) return false;
    if (!receptor->ProtegePorByte()) restoPerdido_ = true;
    return true;
  }
  return *vivo;
}

}  // namespace pesmo6
