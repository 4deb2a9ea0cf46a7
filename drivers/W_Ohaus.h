// Ohaus indicators and balances: the driver sends the print request "P" CR
// LF and decodes the one line the balance prints in answer.  The balance
// reports a single weight (stored in Net), motion as a "?" and a negative
// weight as a "-" anywhere in the line.
#pragma once

#include <cstddef>
#include <string>

#include "Skeleton.h"

namespace pesmo6 {

class TOhausBal : public TBalSkeleton<TOhausBal> {
 public:
  // Port phase 600 ms, normal wait 5000 ms; a failing byte handler is not
  // caught per byte (the rest of that delivery is dropped instead).
  static constexpr PerfilFamilia kPerfil{600, 5000, false};
  // 9600 baud, 7 data bits, even parity, 2 stop bits; DTR and RTS are left
  // as a new port has them (raised): the balance wants both.
  static constexpr platform::SerialSettings kLinha = Linha(9600, 7, Parity::Even, 2, true);
  // The balance answers a request.
  static constexpr bool kPede = true;
  // A line without LF is abandoned past this size.
  static constexpr size_t kMaxLinha = 64 * 1024;
  // Spacing of the three request bytes.
  static constexpr uint32_t kIntervaloPedidoMs = 150;

  // What one received line (without CR and LF) says: the ten-character
  // weight field written with `separador`, the motion and negative flags.
  struct Decodificado {
    std::string Net;        // ten characters
    std::string Movimento;  // "S" or "N"
    std::string Negativo;   // "S" or "N"
  };
  static Decodificado DecodificaTexto(const std::string& linha, char separador);

 private:
  friend class TBalSkeleton<TOhausBal>;

  // The shared cycle's hooks.
  void IniciaTextos(TClVorel& ch);
  void IniciaLeitura() { TrataByte = nullptr; }
  void ReiniciaColeta(bool noMeio);
  void MontaPedido(Pedido& pedido) const;
  void AoPedidoEnviado();

  // Byte handlers (TrataByte).
  void RecebeLinha(uint8_t b);
  // Bytes were dropped mid-line: the rest of that line is skipped.
  void PulaLinha(uint8_t b);

  void DecodificaLinha(const std::string& linha);

  std::string Movimento;
  std::string Negativo;
};

}  // namespace pesmo6
