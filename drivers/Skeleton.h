// The shape the listening and request drivers share: registration on a
// serial port, the update cycle (start phase, wait phase) and the serial
// byte reception.  A family brings its profile, its byte handlers and what
// it stores; everything else lives here once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Definir.h"
#include "Operacao.h"
#include "transport/EventPump.h"
#include "transport/platform/Platform.h"

namespace pesmo6 {

// What differs between families in the shared cycle.
struct PerfilFamilia {
  uint32_t limiteInicioMs;  // start limit for opening the port (0: one attempt,
                            // whose failure the request shows)
  uint32_t esperaPadraoMs;  // wait of a normal update
  bool protecaoPorByte;     // an error while one byte is handled is dropped
  int32_t codigoSemLeitura = PESMO6_SEM_PARADA;  // a no-motion update that read nothing
  int32_t codigoPedidoFalhou = PESMO6_NADA;        // the request could not be sent
  bool usaEspera = true;  // false: every update is a normal one (the wait is not used)
};

// A family's request: its parts, sent this far apart (on pump timers, so
// that other channels' updates go on meanwhile).  A reply is taken only once
// the last part is out; what arrives before is no answer to it.
struct Pedido {
  std::vector<std::string> partes;
  uint32_t intervaloMs = 0;
};

// The line settings a serial registration fixes: speed, data bits, parity,
// stop bits; DTR and RTS low unless `linhasAltas` (then both stay raised, as
// a new port has them); no flow control.
constexpr platform::SerialSettings Linha(int32_t baud, uint16_t dataBits, Parity paridade, uint16_t stopBits,
                                         bool linhasAltas = false) {
  return platform::SerialSettings{baud, dataBits, paridade, stopBits, linhasAltas, linhasAltas, SoftwareFlow::None};
}

// Where the start phase ended.
enum class Inicio { Aberta, Interrompida, NaoAbriu };

// The update cycle every family runs.  One update is a resumable operation
// (see Operacao.h) in four phases:
//
//   start    the link is made ready (a serial port opens), tried on every
//            pass until it is, the update is interrupted, or the family's
//            start limit has passed (4);
//   settle   the link drops what it held and what comes in its settle time
//            (transport/Enlace.h): no byte older than the update is read;
//   request  families that ask (D::kPede) send their request; the link
//            drops everything until its last part is out;
//   wait     until a reading was accepted (0, or what D::AjustaResultado
//            makes of it), the update was interrupted, the link was lost, or
//            the wait has passed since the update started (1, or the
//            family's code for a no-motion update).
//
// A family brings its line settings (kLinha), its profile (kPerfil), what it
// resets at the start (IniciaTextos), its first byte handler (IniciaLeitura),
// its request (kPede, MontaPedido) and its byte handlers and decoder.
template <class D>
class TBalSkeleton : public TBal, public TReceptor {
 public:
  using Handler = void (D::*)(uint8_t);

  TBalSkeleton() = default;
  ~TBalSkeleton() override {
    *vivo_ = false;
    if (timer_ != 0) CancelaTimer(timer_);
  }
  TBalSkeleton(const TBalSkeleton&) = delete;
  TBalSkeleton& operator=(const TBalSkeleton&) = delete;

  // The channel this driver belongs to; set at registration.  Valid while
  // the driver is the channel's Bal (see TClVorel).
  TClVorel* Dono = nullptr;

  // ---- TReceptor: the link's fresh bytes ---------------------------------

  void Recebe(uint8_t b) override {
    const Entrega entrega(*this);
    if (!entrega.Mostra(*this, kRecebido, &b, 1)) return;
    EntregaByte(b);
  }
  void Reinicia(bool noMeio) override { Self().ReiniciaColeta(noMeio); }
  bool ProtegePorByte() const override { return D::kPerfil.protecaoPorByte; }

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

  // ---- The update ---------------------------------------------------------

  std::unique_ptr<TOperacao> CriaOperacao(std::shared_ptr<TBal> self, ChannelRef canal, int32_t parametro) override {
    return std::make_unique<TOperacaoDe<D>>(std::move(self), std::move(canal), parametro);
  }
  void Liga(TClVorel& canal, int32_t numero) override {
    Dono = &canal;
    Canal = numero;
  }
  const platform::SerialSettings& LinhaDaFamilia() const override { return D::kLinha; }

  // The code of the update that ended last.
  int32_t Codigo = PESMO6_NADA;

  bool Inicia(const ChannelRef& canal, int32_t parametro) {
    const Atualizacao a{canal, this};
    Recebido = false;
    falhaPedido_ = false;
    pedindo_ = false;
    pedidosFeitos_ = 0;
    reaberta_ = false;
    if (TEnlace* e = canal->Enlace()) e->LimpaFalha();
    Self().IniciaTextos(*canal);
    Self().IniciaLeitura();
    TickInicio = platform::Tick();
    TickAtual = TickInicio;
    canal->Situacao = Ocupado;
    if (!D::kPerfil.usaEspera) parametro = -1;
    if (parametro < -1) return Termina(a, PESMO6_NADA);
    SemMovimento = parametro != -1;
    EsperaMs = parametro == -1 ? D::kPerfil.esperaPadraoMs : static_cast<uint32_t>(parametro);
    FaseAtual = Fase::Inicio;
    return TentaAbrir(a);
  }

  bool Avanca(const ChannelRef& canal) {
    const Atualizacao a{canal, this};
    TickAtual = platform::Tick();
    switch (FaseAtual) {
      case Fase::Inicio:
        if (!a.Ocupada()) return Termina(a, PESMO6_NADA);
        return TentaAbrir(a);
      case Fase::Assenta:
        return Assentou(a);
      case Fase::Pedido:
        return ConferePedido(a);
      case Fase::Espera:
        return Self().ConfereEspera(a);
    }
    return false;
  }

  uint32_t Prazo() const {
    switch (FaseAtual) {
      case Fase::Inicio:
        return kPassMs;  // the next attempt to open
      case Fase::Assenta: {
        // The settle's end, or the wait's if that comes first.
        const TEnlace* e = Enlace();
        const uint32_t assentar = e != nullptr ? e->FaltaAssentarMs() : 0;
        const uint32_t falta = Decorrido() >= EsperaMs ? 0 : EsperaMs - Decorrido();
        return D::kPede || assentar < falta ? assentar : falta;
      }
      case Fase::Pedido:
        return 1000;  // the request's timers end the wait; a backstop
      case Fase::Espera:
        break;
    }
    return Decorrido() >= EsperaMs ? 0 : EsperaMs - Decorrido();
  }

 protected:
  enum class Fase : uint8_t { Inicio, Assenta, Pedido, Espera };

  Handler TrataByte = nullptr;
  uint32_t TickInicio = 0;
  uint32_t TickAtual = 0;
  bool SemMovimento = false;
  bool Recebido = false;
  std::string Buffer;
  Fase FaseAtual = Fase::Inicio;
  uint32_t EsperaMs = 0;

  D& Self() { return static_cast<D&>(*this); }
  uint32_t Decorrido() const { return TickAtual - TickInicio; }
  TEnlace* Enlace() const { return Dono != nullptr ? Dono->Enlace() : nullptr; }

  // The running update's hold on its channel.  Close_Canal or Deleta_Canal
  // from inside the pump release the driver; the update then stops.
  struct Atualizacao {
    ChannelRef canal;
    const TBal* driver;
    bool Vivo() const { return canal->Bal.get() == driver && canal->Enlace() != nullptr; }
    bool Ocupada() const { return Vivo() && canal->Situacao == Ocupado; }
  };

  // Defaults a family may hide.
  void IniciaTextos(TClVorel& ch) {
    ch.Gross = "0";
    ch.Net = "0";
    ch.Tare = "0";
  }
  void ReiniciaColeta(bool /*noMeio*/) { Self().IniciaLeitura(); }
  void MontaPedido(Pedido&) {}
  void AoPedidoEnviado() {}
  // The update is over (the channel still has this driver and its link).
  void AoTerminar(TClVorel&) {}
  int32_t AjustaResultado(int32_t resultado) const { return resultado; }

  // FechaPorta: the family's reading is over; a serial port closes.
  void FechaPorta(TClVorel& ch) {
    if (TEnlace* e = ch.Enlace()) e->Fecha();
    ch.Situacao = Pronto;
  }

  // Every end of an update: the link stops delivering, a request still
  // going out is abandoned, the channel (if it is still this driver's) is
  // ready again.
  bool Termina(const Atualizacao& a, int32_t codigo) {
    if (timer_ != 0) CancelaTimer(timer_);
    timer_ = 0;
    pedindo_ = false;
    if (!a.Vivo()) {
      if (a.canal->Situacao == Ocupado) a.canal->Situacao = Pronto;
      Codigo = PESMO6_NADA;
      return true;
    }
    a.canal->Enlace()->Escuta(nullptr);
    if (!Recebido) TrataByte = nullptr;
    Self().AoTerminar(*a.canal);
    if (a.canal->Situacao == Ocupado) a.canal->Situacao = Pronto;
    Codigo = codigo;
    return true;
  }

  // One attempt of the start phase.
  bool TentaAbrir(const Atualizacao& a) {
    if (!a.Vivo()) return Termina(a, PESMO6_NADA);
    if (a.canal->Enlace()->Abre()) return Aberta(a);
    if (!a.Ocupada()) return Termina(a, PESMO6_NADA);
    // One attempt only: the request's failure tells the host.
    if (D::kPerfil.limiteInicioMs == 0) return Aberta(a);
    if (Decorrido() >= D::kPerfil.limiteInicioMs) return Termina(a, PESMO6_NAO_ABRIU);
    return false;
  }

  // The link is ready: it listens, after its settle.
  bool Aberta(const Atualizacao& a) {
    TEnlace& e = *a.canal->Enlace();
    e.Escuta(this);
    e.Descarta(true);
    // A port left open by an earlier update that the discard found dead (the
    // device was pulled and is back) is opened afresh, once.
    if (e.Perdido() && !reaberta_ && D::kPerfil.limiteInicioMs > 0) {
      reaberta_ = true;
      FaseAtual = Fase::Inicio;
      return TentaAbrir(a);
    }
    FaseAtual = Fase::Assenta;
    return Assentou(a);
  }

  bool Assentou(const Atualizacao& a) {
    if (!a.Vivo()) return Termina(a, PESMO6_NADA);
    TEnlace& e = *a.canal->Enlace();
    if (e.Assenta() != UINT32_MAX) {
      // A request goes out whole, even past the wait; a listening family's
      // wait may end while the link settles.
      if constexpr (!D::kPede) {
        if (!a.Ocupada() || Decorrido() >= EsperaMs || e.Perdido()) return Self().ConfereEspera(a);
      } else {
        if (!a.Ocupada()) return Termina(a, PESMO6_NADA);
      }
      return false;
    }
    if constexpr (D::kPede) {
      ComecaPedido();
      return ConferePedido(a);
    }
    FaseAtual = Fase::Espera;
    return Self().ConfereEspera(a);
  }

  // ---- The request phase --------------------------------------------------

  // Sends the family's request: the link drops everything meanwhile; the
  // first part goes now, the others on timers.  Also from a byte handler
  // (the family asks again).
  void ComecaPedido() {
    FaseAtual = Fase::Pedido;
    pedido_ = Pedido{};
    Self().MontaPedido(pedido_);
    parte_ = 0;
    pedindo_ = true;
    if (TEnlace* e = Enlace()) e->Pausa();
    if (timer_ != 0) CancelaTimer(timer_);
    timer_ = 0;
    EnviaParte();
  }

  void EnviaParte() {
    timer_ = 0;
    TEnlace* e = Enlace();
    if (e == nullptr || Dono->Bal.get() != this) return;
    // A copy: a tap that runs the pump may see the answer come and the
    // family ask again, which replaces the request.
    const std::string parte = pedido_.partes[parte_];
    const bool ultima = parte_ + 1 == pedido_.partes.size();
    if (ultima) {
      // What came while the request went out is dropped before its last
      // part, not after: the answer may begin as soon as that part is
      // written, and a thread held up after the write (a slow tap, a loaded
      // machine) must find it still there.
      e->Descarta(false);
      Self().AoPedidoEnviado();
    }
    if (!e->Envia(reinterpret_cast<const uint8_t*>(parte.data()), parte.size())) {
      // The update's first request tells the family's code; a later one
      // that fails (the port went away mid-exchange) ends it with nothing.
      pedindo_ = false;
      falhaPedido_ = true;
      codigoFalha_ = pedidosFeitos_ == 0 ? D::kPerfil.codigoPedidoFalhou : PESMO6_NADA;
      return;
    }
    if (ultima) {
      // The request is out; the link listens for its answer already.
      pedindo_ = false;
      ++pedidosFeitos_;
    }
    if (TrafegoLigado()) {
      // The tap's host code may close or delete the channel.
      const std::shared_ptr<bool> vivo = vivo_;
      const Entrega entrega(*this);
      if (!entrega.Mostra(*this, kEnviado, reinterpret_cast<const uint8_t*>(parte.data()), parte.size())) return;
      if (!*vivo) return;
    }
    if (ultima) return;
    ++parte_;
    const std::shared_ptr<bool> vivo = vivo_;
    timer_ = AgendaTimer(pedido_.intervaloMs, [this, vivo] {
      if (*vivo) EnviaParte();
    });
  }

  bool ConferePedido(const Atualizacao& a) {
    if (!a.Vivo()) return Termina(a, PESMO6_NADA);
    if (falhaPedido_) return Termina(a, codigoFalha_);
    if (pedindo_) return false;
    FaseAtual = Fase::Espera;
    return Self().ConfereEspera(a);
  }

  // ---- The wait phase -----------------------------------------------------

  bool ConfereEspera(const Atualizacao& a) {
    if (FaseAtual == Fase::Pedido) return ConferePedido(a);  // asked again meanwhile
    TEnlace* e = a.Vivo() ? a.canal->Enlace() : nullptr;
    if (!Recebido && a.Ocupada() && Decorrido() < EsperaMs && !e->Perdido()) return false;
    if (!a.Vivo()) return Termina(a, PESMO6_NADA);
    int32_t resultado = PESMO6_LIDO;
    if (!Recebido) resultado = SemMovimento ? D::kPerfil.codigoSemLeitura : PESMO6_NADA;
    return Termina(a, Self().AjustaResultado(resultado));
  }

  void EntregaByte(uint8_t b) {
    if (Handler h = TrataByte) (Self().*h)(b);
  }

  // False once this driver is destroyed.  Timers and handlers that may
  // outlive it copy it first.
  std::shared_ptr<bool> vivo_ = std::make_shared<bool>(true);

 private:
  Pedido pedido_;
  size_t parte_ = 0;
  bool pedindo_ = false;
  bool falhaPedido_ = false;
  bool reaberta_ = false;  // this update opened its port a second time
  int32_t codigoFalha_ = PESMO6_NADA;
  uint32_t pedidosFeitos_ = 0;  // requests of this update that went out whole
  TimerId timer_ = 0;
};

}  // namespace pesmo6
