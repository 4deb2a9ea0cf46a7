// The shape the listening and request drivers share: registration on a
// serial port, the update cycle (start phase, wait phase) and the serial
// byte reception.  A family brings its profile, its byte handlers and what
// it stores; everything else lives here once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/Definir.h"
#include "Operacao.h"
#include "transport/EventPump.h"
#include "transport/platform/Platform.h"

namespace pesmo6 {

// What differs between families in the shared cycle.
struct PerfilFamilia {
  uint32_t limiteInicioMs;  // start limit for opening the port
  uint32_t esperaPadraoMs;  // wait of a normal update
  bool protecaoPorByte;     // an error while one byte is handled is dropped
  int32_t codigoSemLeitura = 2;  // a no-motion update that read nothing (normal: 1)
};

// The line settings a serial registration fixes, in its order: speed, data
// bits, parity, stop bits, DTR and RTS low (unless `baixaLinhas` is false:
// then both stay raised, as a new port has them), no flow control, no
// automatic opening.
inline void FixaLinha(TSerCom& porta, int32_t baud, uint16_t dataBits, Parity paridade, uint16_t stopBits,
                      bool baixaLinhas = true) {
  porta.Settings.baud = baud;
  porta.Settings.dataBits = dataBits;
  porta.Settings.parity = paridade;
  porta.Settings.stopBits = stopBits;
  if (baixaLinhas) {
    porta.Settings.dtr = false;
    porta.Settings.rts = false;
  }
  porta.Settings.swFlow = SoftwareFlow::None;
  porta.AutoOpen = false;
}

// Where the start phase ended.
enum class Inicio { Aberta, Interrompida, NaoAbriu };

template <class D>
class TBalSkeleton : public TBal {
 public:
  using Handler = void (D::*)(uint8_t);

  // The channel this driver belongs to; set at registration.  Valid while
  // the driver is the channel's Bal (see TClVorel).
  TClVorel* Dono = nullptr;

  // RecebeRede: one read notification of the line socket, one byte.  An
  // error while the byte is handled is dropped here: it would otherwise
  // leave the event pump and end whatever wait ran it, the host's included.
  void RecebeRede(platform::LineSocket& socket) {
    uint8_t b = 0;
    if (socket.ReadByte(b) != 1) return;
    const Entrega entrega(*this);
    if (!entrega.Mostra(*this, kRecebido, &b, 1)) return;
    try {
      EntregaByte(b);
    } catch (...) {
    }
  }

  // One delivery of bytes while the host's byte tap is on.  Its callback
  // may call back in and close or delete this very channel: the delivery
  // holds the channel and the driver, so that the check after each tapped
  // or handled byte reads live memory, and stops once they were released.
  // With the tap off it holds nothing and every check passes.
  class Entrega {
   public:
    explicit Entrega(const TBalSkeleton& driver) {
      if (!TrafegoLigado()) return;
      canal_ = CanalVivo(driver.Canal);
      if (canal_ && canal_->Bal.get() == &driver) driver_ = canal_->Bal;
      else canal_.reset();
    }
    // False once the channel lost this driver or its transport.
    bool Segue() const { return !driver_ || (canal_->Bal == driver_ && canal_->TemTransporte()); }
    // Taps the bytes; false when the channel went away meanwhile.
    bool Mostra(const TBalSkeleton& driver, int32_t sentido, const uint8_t* bytes, size_t n) const {
      if (!TrafegoLigado()) return true;
      Trafego(driver.Canal, sentido, bytes, n);
      return Segue();
    }

   private:
    ChannelRef canal_;
    std::shared_ptr<TBal> driver_;
  };

 protected:
  Handler TrataByte = nullptr;
  uint32_t TickInicio = 0;
  uint32_t TickAtual = 0;
  bool SemMovimento = false;
  bool Recebido = false;
  std::string Buffer;

  D& Self() { return static_cast<D&>(*this); }
  uint32_t Decorrido() const { return TickAtual - TickInicio; }

  // The running update's hold on its channel.  Close_Canal or Deleta_Canal
  // from inside the pump release the driver; the update then stops.
  struct Atualizacao {
    ChannelRef canal;
    const TBal* driver;
    bool Vivo() const { return canal->Bal.get() == driver; }
    bool Ocupada() const { return Vivo() && canal->Situacao == Ocupado; }
  };

  // AbrePorta: on a serial channel attach the byte reception and open the
  // port; false when it would not open.  A network channel has nothing to open.
  bool AbrePorta(TClVorel& ch) {
    if (!ch.DMSerialDll) return true;
    TSerCom& porta = ch.DMSerialDll->SerCom;
    porta.SetOnTriggerAvail([this, &porta](uint16_t n) { RecebeSerial(porta, n); });
    try {
      porta.Open();
      return true;
    } catch (const platform::SerialError&) {
      return false;
    }
  }

  // FechaPorta: on a serial channel detach, close, and make the channel Pronto.
  void FechaPorta(TClVorel& ch) {
    if (!ch.DMSerialDll) return;
    ch.DMSerialDll->SerCom.SetOnTriggerAvail(nullptr);
    ch.DMSerialDll->SerCom.Close();
    ch.Situacao = Pronto;
  }

  // Bytes that came while no update listened are stale: a driver fed by
  // notifications reads and drops them between updates, so an update never
  // starts on a reading that sat in a buffer.
  static void DescartaPendentes(TClVorel& ch) {
    if (ch.DMSerialDll && ch.DMSerialDll->SerCom.IsOpen()) ch.DMSerialDll->SerCom.DescartaRecebidos();
    if (ch.DMDLL) ch.DMDLL->SocLeitura.DiscardInput();
  }

  // A serial port the platform closed under the update (the device hung
  // up): nothing more can come, so the wait ends instead of running out.
  static bool PortaPerdida(const TClVorel& ch) {
    return ch.DMSerialDll && !ch.DMSerialDll->SerCom.IsOpen();
  }

  // Starts the clock and the cycle.  Returns the wait to use, or -1 when the
  // parameter is below -1 (the update then ends with 1, channel Pronto).
  int64_t Comeca(const Atualizacao& a, int32_t parametro) {
    TickInicio = platform::Tick();
    TickAtual = TickInicio;
    a.canal->Situacao = Ocupado;
    if (parametro < -1) {
      TrataByte = nullptr;
      a.canal->Situacao = Pronto;
      return -1;
    }
    SemMovimento = parametro != -1;
    return parametro == -1 ? D::kPerfil.esperaPadraoMs : static_cast<uint32_t>(parametro);
  }

 public:
  // ---- The update as a resumable operation (see Operacao.h) ----------
  //
  // The listening families' cycle: texts reset, stale bytes dropped,
  // D::IniciaLeitura arms the family's first byte handler; then the start
  // phase (the port is tried on every pass until it opens, the update is
  // interrupted, or the start limit has passed) and the wait phase (until a
  // reading was accepted, the update was interrupted, or the wait has passed
  // since the update started).  At the end: 0 read, 1 nothing in a normal
  // update, kPerfil.codigoSemLeitura nothing in a no-motion update, as
  // D::AjustaResultado may change it; 1 for a wait below -1 or an update
  // interrupted by a close, 4 for a port that did not open.

  // The code of the update that ended last.
  int32_t Codigo = 1;

  bool Inicia(const ChannelRef& canal, int32_t parametro) {
    const Atualizacao a{canal, this};
    canal->Gross = "0";
    canal->Net = "0";
    canal->Tare = "0";
    Recebido = false;
    DescartaPendentes(*canal);
    Self().IniciaLeitura();
    return ComecaFases(a, parametro);
  }

  bool Avanca(const ChannelRef& canal) {
    const Atualizacao a{canal, this};
    TickAtual = platform::Tick();
    if (FaseAtual == Fase::Inicio) {
      if (!a.Ocupada()) return Fim(TerminaSemLeitura(a, Inicio::Interrompida));
      return TentaAbrir(a);
    }
    return Self().ConfereEspera(a);
  }

  uint32_t Prazo() const {
    if (FaseAtual == Fase::Inicio) return kPassMs;  // the next attempt to open
    return Decorrido() >= EsperaMs ? 0 : EsperaMs - Decorrido();
  }

 protected:
  // Where the running update stands.
  enum class Fase : uint8_t { Inicio, Pedido, Espera };
  Fase FaseAtual = Fase::Inicio;
  uint32_t EsperaMs = 0;

  bool Fim(int32_t codigo) {
    Codigo = codigo;
    return true;
  }

  // The clock, then the first attempt to open the port.
  bool ComecaFases(const Atualizacao& a, int32_t parametro) {
    const int64_t espera = Comeca(a, parametro);
    if (espera < 0) return Fim(1);
    EsperaMs = static_cast<uint32_t>(espera);
    FaseAtual = Fase::Inicio;
    return TentaAbrir(a);
  }

  // One attempt of the start phase.
  bool TentaAbrir(const Atualizacao& a) {
    if (AbrePorta(*a.canal)) return Self().Aberta(a);
    if (!a.Ocupada()) return Fim(TerminaSemLeitura(a, Inicio::Interrompida));
    if (Decorrido() >= D::kPerfil.limiteInicioMs) return Fim(TerminaSemLeitura(a, Inicio::NaoAbriu));
    return false;
  }

  // The port is open: the wait phase, looked at once before any pass.
  bool Aberta(const Atualizacao& a) {
    FaseAtual = Fase::Espera;
    return Self().ConfereEspera(a);
  }

  bool ConfereEspera(const Atualizacao& a) {
    if (!Recebido && a.Ocupada() && Decorrido() < EsperaMs && !PortaPerdida(*a.canal)) return false;
    if (!a.Vivo()) return Fim(TerminaSemLeitura(a, Inicio::Interrompida));
    int32_t resultado = 0;
    if (!Recebido) {
      TrataByte = nullptr;
      resultado = SemMovimento ? D::kPerfil.codigoSemLeitura : 1;
    }
    resultado = Self().AjustaResultado(resultado);
    a.canal->Situacao = Pronto;
    return Fim(resultado);
  }

  // A family's last word on the result of a cycle that ran to its end.
  int32_t AjustaResultado(int32_t resultado) const { return resultado; }

  // The end of an update that stopped because the start phase failed or the
  // channel was closed or deleted under it.
  int32_t TerminaSemLeitura(const Atualizacao& a, Inicio fim) {
    if (!a.Vivo()) {
      if (a.canal->Situacao == Ocupado) a.canal->Situacao = Pronto;
      return 1;
    }
    TrataByte = nullptr;
    if (a.canal->Situacao == Ocupado) a.canal->Situacao = Pronto;
    return fim == Inicio::NaoAbriu ? 4 : 1;
  }

  // RecebeSerial: the port announces n waiting bytes; take each one and hand
  // it to the current byte handler.
  void RecebeSerial(TSerCom& porta, uint16_t n) {
    const Entrega entrega(*this);
    if constexpr (D::kPerfil.protecaoPorByte) {
      for (uint16_t i = 0; i < n; ++i) {
        try {
          const uint8_t b = porta.LeByte();
          if (!entrega.Mostra(*this, kRecebido, &b, 1)) return;
          EntregaByte(b);
        } catch (...) {
          // Dropped: one bad byte must not cost the rest of the announcement.
        }
        if (!entrega.Segue()) return;
      }
    } else {
      // Families without per-byte protection stop handling at the first
      // error; the rest of the announced bytes are still taken (and dropped)
      // so that the port and the count agree, and the error reaches neither
      // the host nor the waiting update.
      uint16_t i = 0;
      try {
        for (; i < n; ++i) {
          const uint8_t b = porta.LeByte();
          if (!entrega.Mostra(*this, kRecebido, &b, 1)) return;
          EntregaByte(b);
          if (!entrega.Segue()) return;
        }
      } catch (...) {
        if (!entrega.Segue()) return;
        for (++i; i < n; ++i) {
          try {
            porta.LeByte();
          } catch (...) {
          }
        }
      }
    }
  }

  void EntregaByte(uint8_t b) {
    if (Handler h = TrataByte) (Self().*h)(b);
  }
};

// The common network registration: a new channel on line `letra` ("A" to
// "D", either case) of converter `conversor`, with a network module whose
// read notification feeds driver D.
template <class D>
int32_t RegistraRede(int32_t conversor, const char* letra, int32_t dispositivo) {
  if (!ValidaIp(conversor)) return -1;
  const std::string linha = MaiusculasAscii(letra != nullptr ? letra : "");
  if (!ValidaSerial(linha)) return -1;
  auto& tabela = Canais();
  const int32_t n = NovoSlot();
  try {
    auto ch = std::make_shared<TClVorel>();
    tabela[static_cast<size_t>(n)] = ch;
    ch->DMDLL = std::make_unique<TDMDLL>();
    auto bal = std::make_shared<D>();
    ch->Bal = bal;
    bal->Dono = ch.get();
    bal->Canal = n;
    ch->IndiceIp = conversor;
    ch->CanalSerial = linha[0] - 'A' + 1;
    ch->Dispositivo = dispositivo;
    ch->Porta = kPortaComando + ch->CanalSerial;
    if constexpr (D::kLeituraPorEvento) {
      platform::LineSocket& socket = ch->DMDLL->SocLeitura;
      D* driver = bal.get();
      socket.SetOnRead([driver, &socket] { driver->RecebeRede(socket); });
    }
    ch->Situacao = Pronto;
    return n;
  } catch (...) {
    // Whatever was built goes with the slot.
    if (tabela.size() == static_cast<size_t>(n) + 1) {
      ChannelRef ch = std::move(tabela.back());
      tabela.pop_back();
    }
    return -1;
  }
}

// The common serial registration: a new channel with a serial module and a
// driver D whose line settings D::ConfiguraLinha fixes.
template <class D>
int32_t RegistraSerial(uint32_t porta, int32_t dispositivo) {
  if (porta > 65535) return -1;
  auto& tabela = Canais();
  const int32_t n = NovoSlot();
  try {
    auto ch = std::make_shared<TClVorel>();
    tabela[static_cast<size_t>(n)] = ch;
    ch->DMSerialDll = std::make_unique<TDMSerialDll>();
    auto bal = std::make_shared<D>();
    ch->Bal = bal;
    bal->Dono = ch.get();
    bal->Canal = n;
    D::ConfiguraLinha(ch->DMSerialDll->SerCom);
    ch->DMSerialDll->SerCom.ComNumber = static_cast<uint16_t>(porta);
    ch->Dispositivo = dispositivo;
    ch->Situacao = Pronto;
    return n;
  } catch (...) {
    if (tabela.size() == static_cast<size_t>(n) + 1) tabela.pop_back();
    return -1;
  }
}

}  // namespace pesmo6
