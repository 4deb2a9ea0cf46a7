// Trilograf tag readers.  On a serial port the driver runs a three-request
// exchange (hello, readiness, read tag) and turns the 12 tag bytes of the
// last reply into 24 hexadecimal characters; on a converter line the reader
// sends STX, the tag text and CR unasked.  The tag goes to the channel's Tag;
// no weight is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Skeleton.h"

namespace pesmo6 {

class TTrilograf : public TBalSkeleton<TTrilograf> {
 public:
  // Every update waits 3000 ms at most; the port is opened once per update
  // (no start phase).  A failing byte is dropped on its own.
  static constexpr PerfilFamilia kPerfil{0, 3000, true};
  static constexpr bool kLeituraPorEvento = true;
  // A network line without CR is abandoned past this size.
  static constexpr size_t kMaxTag = 64 * 1024;
  // At most this many data bytes of a reply are kept.
  static constexpr int32_t kMaxDados = 20;

  // 9600 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS off.
  static void ConfiguraLinha(TSerCom& porta);
  // The update (see Operacao.h).  The wait parameter is not used: a
  // no-motion update is a normal one.  The serial exchange advances with the
  // replies, each delivery sending the next request.
  bool Inicia(const ChannelRef& canal, int32_t parametro);
  bool Avanca(const ChannelRef& canal);

 private:
  friend class TBalSkeleton<TTrilograf>;

  void EnviaPedido(int32_t etapa);
  bool ConfereEspera(const Atualizacao& a);

  // Serial reply reception (TrataByte): 0x0B, byte 1, length, command,
  // data, checksum.
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

  // Network line reception (TrataByte): STX, tag characters, CR.
  void EsperaInicio(uint8_t b);
  void RecebeTexto(uint8_t b);

  int32_t Contagem = 0;  // bytes stored in Quadro
  int32_t Restante = 0;  // bytes of the reply still expected, checksum included
  int32_t Etapa = 0;     // the request sent last
  bool falhaInicio_ = false;  // the exchange could not start (2)
  std::array<uint8_t, 1025> Quadro{};
};

}  // namespace pesmo6
