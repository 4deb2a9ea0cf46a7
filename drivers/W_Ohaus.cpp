#include "W_Ohaus.h"

namespace pesmo6 {

namespace {
bool CaractereNumerico(char c) { return c == ' ' || c == '-' || c == '.' || (c >= '0' && c <= '9'); }
}  // namespace

TOhausBal::~TOhausBal() { *vivo_ = false; }

void TOhausBal::ConfiguraLinha(TSerCom& porta) {
  // DTR and RTS stay raised: the balance wants both.
  FixaLinha(porta, 9600, 7, Parity::Even, 2, false);
}

bool TOhausBal::Ligado() const { return Dono != nullptr && Dono->Bal.get() == this && Dono->TemTransporte(); }

int32_t TOhausBal::Atualiza(const ChannelRef& canal, int32_t parametro) {
  const Atualizacao a{canal, this};
  // IniciaLeitura: this indicator reports one weight only.
  canal->Gross = kPadraoErro;
  canal->Net = "0";
  canal->Tare = kPadraoErro;
  Recebido = false;
  TrataByte = &TOhausBal::PedePeso;

  const int64_t espera = Comeca(a, parametro);
  if (espera < 0) return 1;

  const Inicio inicio = FaseInicio(a);
  if (inicio != Inicio::Aberta) return TerminaSemLeitura(a, inicio);
  InstalaRecepcaoSerial(*canal);

  // The line socket is read by this loop, not by a notification: let a
  // waiting byte end the pump's wait at once, for this update only, so that
  // bytes left unread stay in the socket for the next update.
  TDMDLL* const modulo = canal->DMDLL.get();
  struct Despertar {
    const ChannelRef& canal;
    TDMDLL* modulo;
    explicit Despertar(const ChannelRef& c, TDMDLL* m) : canal(c), modulo(m) {
      if (modulo) modulo->SocLeitura.SetWakeOnData(true);
    }
    ~Despertar() {
      // A close from inside the pump destroys the module: leave it alone then.
      if (modulo && canal->DMDLL.get() == modulo) modulo->SocLeitura.SetWakeOnData(false);
    }
  } despertar(canal, modulo);

  // The request; it runs the pump once.
  if (Handler h = TrataByte) (this->*h)(' ');
  if (!a.Vivo()) return TerminaSemLeitura(a, Inicio::Interrompida);
  TickAtual = platform::Tick();  // the request's 300 ms count against the wait
  if (!Recebido && TrataByte == nullptr) {
    // The port was closed under the request (by the host): nothing was
    // sent, so there is nothing to wait for.
    if (canal->Situacao == Ocupado) canal->Situacao = Pronto;
    return 1;
  }

  while (!Recebido && a.Ocupada() && Decorrido() < espera && !PortaPerdida(*canal)) {
    ProcessaEventos(static_cast<uint32_t>(espera - Decorrido()));
    if (!a.Vivo()) break;
    if (canal->DMDLL) LeRede(canal->DMDLL->SocLeitura);
    TickAtual = platform::Tick();
  }
  if (!a.Vivo()) return TerminaSemLeitura(a, Inicio::Interrompida);

  int32_t resultado = 0;
  if (!Recebido) {
    TrataByte = nullptr;
    resultado = SemMovimento ? 2 : 1;
  }
  canal->Situacao = Pronto;
  return resultado;
}

void TOhausBal::PedePeso(uint8_t) {
  // Whatever is pending is delivered first.  That pass may close or delete
  // the channel (host code runs in it), complete a line that was already on
  // its way (on a serial port, where every byte reaches the collector), or
  // send a request of its own from that line: in each case this request is
  // not needed any more.
  const std::shared_ptr<bool> vivo = vivo_;
  ProcessaEventos(0);
  if (!*vivo || !Ligado()) return;
  if (TrataByte != &TOhausBal::PedePeso) return;
  platform::SleepMs(1);

  Buffer.clear();
  TrataByte = &TOhausBal::RecebeLinha;
  // "P" CR LF, 150 ms apart; no events are handled meanwhile.
  if (Dono->DMSerialDll && !Dono->DMSerialDll->SerCom.IsOpen()) {
    TrataByte = nullptr;  // nothing goes to a closed port
    return;
  }
  static constexpr uint8_t kPedido[] = {'P', 13, 10};
  for (size_t i = 0; i < sizeof kPedido; ++i) {
    if (i > 0) platform::SleepMs(kIntervaloPedidoMs);
    // Looked up for each byte: the byte tap's host code may close the
    // channel between them.
    if (TDMSerialDll* serial = Dono->DMSerialDll.get()) {
      serial->SerCom.EnviaByte(kPedido[i]);
    } else if (TDMDLL* rede = Dono->DMDLL.get()) {
      rede->SocLeitura.Send(std::string(1, static_cast<char>(kPedido[i])));
    } else {
      return;
    }
    if (TrafegoLigado()) {
      Trafego(Canal, kEnviado, &kPedido[i], 1);
      if (!*vivo || !Ligado()) return;
    }
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
    // A completed line closes the port; a new request runs the pump, which
    // may take the remaining bytes itself or close or delete the channel.
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
