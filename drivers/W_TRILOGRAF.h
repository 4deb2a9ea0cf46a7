// Trilograf tag readers.  On a serial port the driver runs a three-request
// exchange (hello, readiness, read tag) and turns the 12 tag bytes of the
// last reply into 24 hexadecimal characters; on a converter line the reader
// sends STX, the tag text and CR unasked.  The tag goes to the channel's Tag;
// no weight is read.  One driver per transport, one device code (7).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Skeleton.h"

namespace pesmo6 {

// What both Trilograf drivers share: the line, the wait, the Tag.
struct TrilografComum {
  // Every update waits 3000 ms at most, whatever wait the host gave (a
  // no-motion update is a normal one); the port is tried once (its failure
  // shows as the request's, 2).  A failing byte is dropped on its own.
  static constexpr PerfilFamilia kPerfil{0, 3000, true, PESMO6_NADA, PESMO6_SEM_PARADA, false};
  // 9600 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS off.
  static constexpr platform::SerialSettings kLinha = Linha(9600, 8, Parity::None, 1);
};

// On a serial port: request, reply, next request, until the tag.
class TTrilografSerial : public TBalSkeleton<TTrilografSerial>, public TrilografComum {
 public:
  using TrilografComum::kLinha;
  using TrilografComum::kPerfil;
  static constexpr bool kPede = true;
  // At most this many data bytes of a reply are kept.
  static constexpr int32_t kMaxDados = 20;

 private:
  friend class TBalSkeleton<TTrilografSerial>;

  void IniciaTextos(TClVorel& ch) { ch.Tag.clear(); }
  void IniciaLeitura() {
    Etapa = 0;
    TrataByte = nullptr;
  }
  void ReiniciaColeta(bool) {
    if (TrataByte != nullptr) TrataByte = &TTrilografSerial::EsperaCabecalho;
  }
  void MontaPedido(Pedido& pedido) const;
  void AoPedidoEnviado() { TrataByte = &TTrilografSerial::EsperaCabecalho; }
  // The exchange ends with the update: the port closes, and nothing
  // received later touches Tag.
  void AoTerminar(TClVorel& ch) { FechaPorta(ch); }
  // Asks request `etapa` next.
  void Pede(int32_t etapa);

  // Reply reception (TrataByte): 0x0B, byte 1, length, command, data,
  // checksum.
  void EsperaCabecalho(uint8_t b);
  void RecebeByte1(uint8_t b);
  void RecebeTamanho(uint8_t b);
  void RecebeCodigo(uint8_t b);
  void RecebeDados(uint8_t b);
  void ConfereSoma(uint8_t b);
  void Guarda(uint8_t b);
  void ProcessaResposta();
  bool ConfereProntidao() const;
  void ExtraiTag();

  int32_t Contagem = 0;  // bytes stored in Quadro
  int32_t Restante = 0;  // bytes of the reply still expected, checksum included
  int32_t Etapa = 0;     // the request sent last
  std::array<uint8_t, 1025> Quadro{};
};

// On a converter line: the reader talks unasked, STX tag CR.
class TTrilografLinha : public TBalSkeleton<TTrilografLinha>, public TrilografComum {
 public:
  using TrilografComum::kLinha;
  using TrilografComum::kPerfil;
  static constexpr bool kPede = false;
  // A line without CR is abandoned past this size.
  static constexpr size_t kMaxTag = 64 * 1024;

 private:
  friend class TBalSkeleton<TTrilografLinha>;

  void IniciaTextos(TClVorel& ch) { ch.Tag.clear(); }
  void IniciaLeitura() { TrataByte = &TTrilografLinha::EsperaInicio; }
  void AoTerminar(TClVorel& ch) { FechaPorta(ch); }

  void EsperaInicio(uint8_t b);
  void RecebeTexto(uint8_t b);
};

}  // namespace pesmo6
