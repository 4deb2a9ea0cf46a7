#include "W_Ohaus.h"

namespace pesmo6 {

namespace {
bool CaractereNumerico(char c) { return c == ' ' || c == '-' || c == '.' || (c >= '0' && c <= '9'); }
}  // namespace

TOhausBal::~TOhausBal() {
  *vivo_ = false;
  if (timer_ != 0) CancelaTimer(timer_);
}

void TOhausBal::ConfiguraLinha(TSerCom& porta) {
  // DTR and RTS stay raised: the balance wants both.
  FixaLinha(porta, 9600, 7, Parity::Even, 2, false);
}

bool TOhausBal::Ligado() const { return Dono != nullptr && Dono->Bal.get() == this && Dono->TemTransporte(); }

bool TOhausBal::Inicia(const ChannelRef& canal, int32_t parametro) {
  const Atualizacao a{canal, this};
  // IniciaLeitura: this indicator reports one weight only.
  canal->Gross = kPadraoErro;
  canal->Net = "0";
  canal->Tare = kPadraoErro;
  Recebido = false;
  falhaPedido_ = false;
  despertado_ = nullptr;
  TrataByte = &TOhausBal::PedePeso;
  return ComecaFases(a, parametro);
}

bool TOhausBal::Aberta(const Atualizacao& a) {
  InstalaRecepcaoSerial(*a.canal);
  // The line socket is read by the update, not by a notification: let a
  // waiting byte end the pump's wait at once, for this update only, so that
  // bytes left unread stay in the socket for the next update.
  if (TDMDLL* modulo = a.canal->DMDLL.get()) {
    modulo->SocLeitura.SetWakeOnData(true);
    despertado_ = modulo;
  }
  FaseAtual = Fase::Pedido;
  PedePeso(' ');
  return false;
}

bool TOhausBal::Avanca(const ChannelRef& canal) {
  const Atualizacao a{canal, this};
  TickAtual = platform::Tick();
  switch (FaseAtual) {
    case Fase::Inicio:
      if (!a.Ocupada()) return Fim(TerminaSemLeitura(a, Inicio::Interrompida));
      return TentaAbrir(a);
    case Fase::Pedido:
      if (!a.Vivo()) return Termina(a, 1);
      if (falhaPedido_) {
        // The request could not be written: the update fails.
        if (canal->Situacao == Ocupado) canal->Situacao = Pronto;
        return Termina(a, 1);
      }
      if (PedidoEmCurso()) return false;
      if (!Recebido && TrataByte == nullptr) {
        // The port was closed under the request (by the host): nothing was
        // sent, so there is nothing to wait for.
        if (canal->Situacao == Ocupado) canal->Situacao = Pronto;
        return Termina(a, 1);
      }
      // The request's 300 ms count against the wait.
      FaseAtual = Fase::Espera;
      return ConfereEspera(a);
    case Fase::Espera:
      if (!a.Vivo()) return Termina(a, 1);
      if (canal->DMDLL && !PedidoEmCurso() && TrataByte != &TOhausBal::PedePeso) LeRede(canal->DMDLL->SocLeitura);
      TickAtual = platform::Tick();
      return ConfereEspera(a);
  }
  return false;
}

bool TOhausBal::ConfereEspera(const Atualizacao& a) {
  if (!Recebido && a.Ocupada() && Decorrido() < EsperaMs && !PortaPerdida(*a.canal)) return false;
  // A request asked again goes out whole, even past the wait.
  if (a.Vivo() && PedidoEmCurso() && TrataByte != &TOhausBal::PedePeso) return false;
  if (!a.Vivo()) return Termina(a, 1);
  int32_t resultado = 0;
  if (!Recebido) {
    TrataByte = nullptr;
    resultado = SemMovimento ? 2 : 1;
  }
  a.canal->Situacao = Pronto;
  return Termina(a, resultado);
}

bool TOhausBal::Termina(const Atualizacao& a, int32_t codigo) {
  // A close from inside the pump destroys the module: leave it alone then.
  if (despertado_ != nullptr && a.canal->DMDLL.get() == despertado_) despertado_->SocLeitura.SetWakeOnData(false);
  despertado_ = nullptr;
  if (!a.Vivo()) {
    if (a.canal->Situacao == Ocupado) a.canal->Situacao = Pronto;
    return Fim(1);
  }
  return Fim(codigo);
}

uint32_t TOhausBal::Prazo() const {
  switch (FaseAtual) {
    case Fase::Inicio:
      return kPassMs;
    case Fase::Pedido:
      // The request's timers end the wait; this is only a backstop.
      return 1000;
    case Fase::Espera:
      if (Decorrido() >= EsperaMs) return PedidoEmCurso() ? 1000 : 0;
      return EsperaMs - Decorrido();
  }
  return 0;
}

void TOhausBal::PedePeso(uint8_t) {
  TrataByte = &TOhausBal::PedePeso;
  if (!PedidoEmCurso()) AgendaEtapa(Etapa::P, 0);
}

void TOhausBal::AgendaEtapa(Etapa etapa, uint32_t atrasoMs) {
  etapa_ = etapa;
  const std::shared_ptr<bool> vivo = vivo_;
  timer_ = AgendaTimer(atrasoMs, [this, vivo] {
    if (*vivo) PassoPedido();
  });
}

void TOhausBal::PassoPedido() {
  timer_ = 0;
  const Etapa etapa = etapa_;
  etapa_ = Etapa::Nenhuma;
  // Closed or deleted meanwhile: nothing goes out.
  if (!Ligado()) return;
  TDMSerialDll* const serial = Dono->DMSerialDll.get();
  TDMDLL* const rede = Dono->DMDLL.get();
  const std::shared_ptr<bool> vivo = vivo_;
  // Sends one request byte; false when the byte tap's host code closed or
  // deleted the channel meanwhile (nothing of it may be touched then).
  auto envia = [&](char c) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (serial) serial->SerCom.EnviaByte(b);
    else if (rede) rede->SocLeitura.Send(std::string(1, c));
    if (TrafegoLigado()) {
      Trafego(Canal, kEnviado, &b, 1);
      if (!*vivo || !Ligado()) return false;
    }
    return true;
  };
  try {
    switch (etapa) {
      case Etapa::Nenhuma:
        return;
      case Etapa::P:
        // A line delivered since it was asked for made it unnecessary.
        if (TrataByte != &TOhausBal::PedePeso) return;
        Buffer.clear();
        TrataByte = &TOhausBal::RecebeLinha;
        if (serial) {
          if (!serial->SerCom.IsOpen()) {
            TrataByte = nullptr;  // nothing goes to a closed port
            return;
          }
          serial->SerCom.SetOnTriggerAvail(nullptr);
        }
        if (!envia('P')) return;
        AgendaEtapa(Etapa::CR, kIntervaloPedidoMs);
        return;
      case Etapa::CR:
        if (!envia('\r')) return;
        AgendaEtapa(Etapa::LF, kIntervaloPedidoMs);
        return;
      case Etapa::LF:
        if (!envia('\n')) return;
        InstalaRecepcaoSerial(*Dono);
        // Asked again while this one went out.
        if (TrataByte == &TOhausBal::PedePeso) AgendaEtapa(Etapa::P, 0);
        return;
    }
  } catch (...) {
    // A request byte that could not be written (the port failed): the
    // request is abandoned; an update waiting for it learns of it.
    if (timer_ != 0) CancelaTimer(timer_);
    timer_ = 0;
    etapa_ = Etapa::Nenhuma;
    falhaPedido_ = true;
    if (Ligado()) InstalaRecepcaoSerial(*Dono);
  }
}

void TOhausBal::RecebeLinha(uint8_t b) {
  if (b == 10) {
    if (Buffer.empty()) return;  // an LF alone is no line
    DecodificaLinha(Buffer);
    if (!SemMovimento || Movimento == "N") {
      FechaPorta(*Dono);
      TrataByte = nullptr;
      Recebido = true;
    } else {
      // Waiting for a stable weight and the balance moves: ask again.
      TrataByte = &TOhausBal::PedePeso;
      PedePeso(b);
    }
    return;
  }
  if (b == 13) return;
  // 64 KiB without LF is not a line: drop it and collect afresh.
  if (Buffer.size() >= kMaxLinha) Buffer.clear();
  Buffer.push_back(static_cast<char>(b));
}

TOhausBal::Decodificado TOhausBal::DecodificaTexto(const std::string& linha, char separador) {
  Decodificado d;
  d.Negativo = linha.find('-') != std::string::npos ? "S" : "N";
  d.Movimento = linha.find('?') != std::string::npos ? "S" : "N";
  const bool negativo = d.Negativo == "S";

  // The numeric prefix: blanks, sign, point and digits.
  size_t tamanho = 0;
  while (tamanho < linha.size() && CaractereNumerico(linha[tamanho])) ++tamanho;

  // Copied right to left into ten positions.  Left of a point, blanks of a
  // negative weight become zeros up to the sign; what does not fit is lost.
  d.Net.assign(10, ' ');
  size_t k = 10;
  int marca = 0;
  for (size_t j = tamanho; j >= 1 && k >= 1; --j, --k) {
    char c = linha[j - 1];
    if (c == '.') marca = 1;
    else if (c == '-') marca = 2;
    if (negativo && c == ' ' && marca == 1) c = '0';
    d.Net[k - 1] = c == '.' ? separador : c;
  }
  return d;
}

void TOhausBal::DecodificaLinha(const std::string& linha) {
  Decodificado d = DecodificaTexto(linha, platform::SystemDecimalSeparator());
  Negativo = std::move(d.Negativo);
  Movimento = std::move(d.Movimento);
  Dono->Net = std::move(d.Net);
  Dono->EmMovimento = Movimento;
  // Increment, net flag, overload, unit and auxiliary flag: not reported.
  Dono->Estado = "EE" + Negativo + "E" + Movimento + "EE" + "E";
}

void TOhausBal::LeRede(platform::LineSocket& socket) {
  uint8_t b = 0;
  if (socket.ReadByte(b) != 1) return;
  if (TrafegoLigado()) {
    // Called from the update, which holds the channel and this driver.
    Trafego(Canal, kRecebido, &b, 1);
    if (!Ligado()) return;
  }
  EntregaByte(b);
}

void TOhausBal::InstalaRecepcaoSerial(TClVorel& ch) {
  if (!ch.DMSerialDll) return;
  TSerCom& porta = ch.DMSerialDll->SerCom;
  porta.SetOnTriggerAvail([this, &porta](uint16_t n) { RecebeSerialLinha(porta, n); });
}

void TOhausBal::RecebeSerialLinha(TSerCom& porta, uint16_t n) {
  const std::shared_ptr<bool> vivo = vivo_;
  for (uint16_t i = 0; i < n; ++i) {
    // A completed line closes the port.
    if (!*vivo || !Ligado() || !porta.IsOpen()) return;
    uint8_t b = 0;
    try {
      b = porta.LeByte();
    } catch (...) {
      return;  // already taken by a nested pass
    }
    if (TrafegoLigado()) {
      Trafego(Canal, kRecebido, &b, 1);
      if (!*vivo || !Ligado()) return;
    }
    try {
      RecebeLinha(b);
    } catch (...) {
      // A failing byte (a request that could not be written) ends this
      // announcement: the rest is taken and dropped, and the error goes no
      // further.
      if (!*vivo || !Ligado() || !porta.IsOpen()) return;
      for (++i; i < n; ++i) {
        try {
          porta.LeByte();
        } catch (...) {
          return;
        }
      }
      return;
    }
  }
}

}  // namespace pesmo6
