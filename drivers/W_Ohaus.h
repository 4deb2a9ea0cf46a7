// Ohaus indicators and balances: the driver sends the print request "P" CR
// LF and decodes the one line the balance prints in answer.  The balance
// reports a single weight (stored in Net), motion as a "?" and a negative
// weight as a "-" anywhere in the line.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "Skeleton.h"

namespace pesmo6 {

class TOhausBal : public TBalSkeleton<TOhausBal> {
 public:
  // Port phase 600 ms, normal wait 5000 ms; a failing byte handler is not
  // caught per byte (the serial handler below stops at it instead).
  static constexpr PerfilFamilia kPerfil{600, 5000, false};
  // The line socket is polled from the update's wait loop, one byte per turn;
  // no read notification is bound.
  static constexpr bool kLeituraPorEvento = false;
  // A line without LF is abandoned past this size.
  static constexpr size_t kMaxLinha = 64 * 1024;
  // Spacing of the three request bytes: timers on the pump, so that other
  // channels' updates go on meanwhile.
  static constexpr uint32_t kIntervaloPedidoMs = 150;

  TOhausBal() = default;
  ~TOhausBal() override;
  TOhausBal(const TOhausBal&) = delete;
  TOhausBal& operator=(const TOhausBal&) = delete;

  // 9600 baud, 7 data bits, even parity, 2 stop bits; DTR and RTS are left
  // as a new port has them (raised).
  static void ConfiguraLinha(TSerCom& porta);

  // The update (see Operacao.h): start phase, the request (which must have
  // gone out whole before the wait is looked at: it takes 300 ms), then the
  // wait, where the line socket is read one byte per pass.
  bool Inicia(const ChannelRef& canal, int32_t parametro);
  bool Avanca(const ChannelRef& canal);
  uint32_t Prazo() const;

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

  // Byte handlers (TrataByte).  PedePeso marks a request as wanted; it goes
  // out at the next pump pass, after whatever is pending has been delivered,
  // unless a line completed meanwhile made it unnecessary.
  void PedePeso(uint8_t);
  void RecebeLinha(uint8_t b);

  // The request on its way: the step its next timer takes.
  enum class Etapa : uint8_t { Nenhuma, P, CR, LF };
  void AgendaEtapa(Etapa etapa, uint32_t atrasoMs);
  void PassoPedido();
  // While the request goes out the serial reception is detached and the
  // line socket unread: an answer is taken once the LF is out.
  bool PedidoEmCurso() const { return etapa_ != Etapa::Nenhuma; }

  bool Aberta(const Atualizacao& a);
  bool ConfereEspera(const Atualizacao& a);
  // Every end of an update once the port is open.
  bool Termina(const Atualizacao& a, int32_t codigo);

  void DecodificaLinha(const std::string& linha);
  void LeRede(platform::LineSocket& socket);
  // The serial bytes-available handler: every byte goes to RecebeLinha,
  // whatever TrataByte holds.
  void RecebeSerialLinha(TSerCom& porta, uint16_t n);
  void InstalaRecepcaoSerial(TClVorel& ch);
  // The driver still is its channel's, and the channel still has its
  // transport.  Only meaningful while the driver object exists.
  bool Ligado() const;

  std::string Movimento;
  std::string Negativo;

  Etapa etapa_ = Etapa::Nenhuma;
  TimerId timer_ = 0;
  // A request byte could not be written.
  bool falhaPedido_ = false;
  // The module whose socket wakes the pump for this update.
  TDMDLL* despertado_ = nullptr;

  // False once this driver is destroyed.  Handlers that run the event pump
  // copy it first: a close or delete from inside the pump may free the
  // driver, and they must then not touch it again.
  std::shared_ptr<bool> vivo_ = std::make_shared<bool>(true);
};

}  // namespace pesmo6
