#include "W_TRILOGRAF.h"

#include <string>

namespace pesmo6 {

namespace {
// The three requests: 0x0A, 0xFF, length, command, parameters, and a
// checksum that brings the sum of the frame to 0 modulo 256.
constexpr uint8_t kPedido0[] = {0x0A, 0xFF, 0x02, 0x44, 0xB1};
constexpr uint8_t kPedido1[] = {0x0A, 0xFF, 0x02, 0x80, 0x75};
constexpr uint8_t kPedido2[] = {0x0A, 0xFF, 0x03, 0x40, 0x01, 0xB3};

constexpr int32_t kPosicaoStatus = 4;  // first data byte
constexpr int32_t kPrimeiroByteTag = 7;
constexpr int32_t kBytesTag = 12;
}  // namespace

void TTrilograf::ConfiguraLinha(TSerCom& porta) {
  FixaLinha(porta, 9600, 8, Parity::None, 1);
}

bool TTrilograf::Inicia(const ChannelRef& canal, int32_t /*parametro*/) {
  const Atualizacao a{canal, this};
  falhaInicio_ = false;
  try {
    canal->Situacao = Ocupado;
    canal->Tag.clear();
    DescartaPendentes(*canal);
    // Not looked at: on a port that did not open the first request fails.
    AbrePorta(*canal);
    Recebido = false;
    if (canal->DMSerialDll) {
      EnviaPedido(0);
    } else {
      TrataByte = &TTrilograf::EsperaInicio;
    }
    TickInicio = platform::Tick();
    TickAtual = TickInicio;
  } catch (...) {
    falhaInicio_ = true;
  }
  EsperaMs = kPerfil.esperaPadraoMs;
  FaseAtual = Fase::Espera;
  return ConfereEspera(a);
}

bool TTrilograf::Avanca(const ChannelRef& canal) {
  const Atualizacao a{canal, this};
  TickAtual = platform::Tick();
  return ConfereEspera(a);
}

bool TTrilograf::ConfereEspera(const Atualizacao& a) {
  if (!falhaInicio_ && !Recebido && a.Ocupada() && Decorrido() < EsperaMs && !PortaPerdida(*a.canal)) return false;
  const int32_t resultado = falhaInicio_ ? 2 : Recebido ? 0 : 1;
  if (!a.Vivo()) {
    // Closed or deleted from inside the pump: port and module are gone.
    if (a.canal->Situacao == Ocupado) a.canal->Situacao = Pronto;
    return Fim(1);
  }
  // The exchange ends with the update: nothing received later touches Tag.
  TrataByte = nullptr;
  FechaPorta(*a.canal);
  a.canal->Situacao = Pronto;
  return Fim(resultado);
}

void TTrilograf::EnviaPedido(int32_t etapa) {
  TrataByte = &TTrilograf::EsperaCabecalho;
  Etapa = etapa;
  TSerCom& porta = Dono->DMSerialDll->SerCom;
  const uint8_t* pedido = kPedido2;
  uint16_t tamanho = sizeof kPedido2;
  if (etapa == 0) {
    pedido = kPedido0;
    tamanho = sizeof kPedido0;
  } else if (etapa == 1) {
    pedido = kPedido1;
    tamanho = sizeof kPedido1;
  }
  porta.EnviaBloco(pedido, tamanho);
  // Last: the tap's host code may close the channel; whoever called this
  // looks at the channel before going on.
  Trafego(Canal, kEnviado, pedido, tamanho);
}

void TTrilograf::Guarda(uint8_t b) {
  if (Contagem < static_cast<int32_t>(Quadro.size())) Quadro[static_cast<size_t>(Contagem++)] = b;
}

void TTrilograf::EsperaCabecalho(uint8_t b) {
  Contagem = 0;
  if (b != 0x0B) return;  // whatever precedes the start of a reply
  Guarda(b);
  TrataByte = &TTrilograf::RecebeByte1;
}

void TTrilograf::RecebeByte1(uint8_t b) {
  Guarda(b);
  TrataByte = &TTrilograf::RecebeTamanho;
}

void TTrilograf::RecebeTamanho(uint8_t b) {
  Restante = b;
  Guarda(b);
  TrataByte = &TTrilograf::RecebeCodigo;
}

void TTrilograf::RecebeCodigo(uint8_t b) {
  Guarda(b);
  --Restante;
  TrataByte = Restante == 1 ? &TTrilograf::ConfereSoma : &TTrilograf::RecebeDados;
}

void TTrilograf::RecebeDados(uint8_t b) {
  if (Contagem - 4 >= kMaxDados) return;  // a longer reply never completes
  Guarda(b);
  --Restante;
  if (Restante == 1) TrataByte = &TTrilograf::ConfereSoma;
}

void TTrilograf::ConfereSoma(uint8_t) {
  // The reply is taken whatever its checksum byte says.  TrataByte stays
  // here unless a new request goes out: a further byte is one more checksum.
  ProcessaResposta();
}

void TTrilograf::ProcessaResposta() {
  switch (Etapa) {
    case 0:
      EnviaPedido(1);
      break;
    case 1:
      if (ConfereProntidao()) EnviaPedido(2);
      break;
    case 2:
      ExtraiTag();
      break;
    default:
      break;
  }
}

bool TTrilograf::ConfereProntidao() const {
  // Byte 1 tells where the reader put its status; a reply too short to hold
  // that byte is not ready.
  const uint8_t v = Quadro[1];
  if (v < 3) return false;
  const int32_t posicao = v == 3 ? 4 : 5;
  return Contagem > posicao && Quadro[static_cast<size_t>(posicao)] == 1;
}

void TTrilograf::ExtraiTag() {
  // Status 1 and all twelve tag bytes in this reply; a shorter reply holds
  // no tag (the rest of Quadro belongs to earlier replies).
  if (Contagem < kPrimeiroByteTag + kBytesTag || Quadro[kPosicaoStatus] != 1) return;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string tag;
  tag.reserve(2 * kBytesTag);
  for (int32_t i = kPrimeiroByteTag; i < kPrimeiroByteTag + kBytesTag; ++i) {
    const uint8_t v = Quadro[static_cast<size_t>(i)];
    tag.push_back(kHex[v >> 4]);
    tag.push_back(kHex[v & 0x0F]);
  }
  Dono->Tag = std::move(tag);
  Recebido = true;
}

void TTrilograf::EsperaInicio(uint8_t b) {
  if (b != 0x02) return;
  TrataByte = &TTrilograf::RecebeTexto;
  Dono->Tag.clear();
}

void TTrilograf::RecebeTexto(uint8_t b) {
  if (b == 0x0D) {
    // The line is complete; what follows it is not part of this tag.
    Recebido = true;
    TrataByte = nullptr;
    return;
  }
  if (b == 0x02) {
    // A new line begins: what came since the last STX was a line cut
    // short, not the start of this tag.
    Dono->Tag.clear();
    return;
  }
  if (Dono->Tag.size() >= kMaxTag) {
    // 64 KiB without CR is not a tag: drop it and wait for the next STX.
    Dono->Tag.clear();
    TrataByte = &TTrilograf::EsperaInicio;
    EsperaInicio(b);
    return;
  }
  Dono->Tag.push_back(static_cast<char>(b));
}

}  // namespace pesmo6
