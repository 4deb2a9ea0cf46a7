// 7410 indicators: continuous STX ... CR frames with a 7-bit checksum.
// Device code 1 decodes every accepted frame; code 4 stores it raw.
#pragma once

#include "Skeleton.h"

namespace pesmo6 {

class T7410Bal : public TBalSkeleton<T7410Bal> {
 public:
  static constexpr PerfilFamilia kPerfil{1000, 10000, true};
  // Network bytes arrive through the line socket's read notification.
  static constexpr bool kLeituraPorEvento = true;
  // A frame without CR is abandoned past this size.
  static constexpr size_t kMaxQuadro = 64 * 1024;

  static void ConfiguraLinha(TSerCom& porta);
  int32_t Atualiza(const ChannelRef& canal, int32_t espera);

  // Checksum byte for the characters from status byte 1 through the CR.
  static uint8_t CalculaSoma(std::string_view quadro);

 private:
  friend class TBalSkeleton<T7410Bal>;

  void EsperaInicio(uint8_t b);
  void RecebeQuadro(uint8_t b);
  void ConfereSoma(uint8_t b);
  void DecodificaQuadro(const std::string& t);

  std::string Movimento;
  int32_t Decimais = 0;
  std::string Liquido;
  std::string Negativo;
  std::string Sobrecarga;
  std::string Unidade;
  std::string Auxiliar;
  std::string Incremento;
};

}  // namespace pesmo6
