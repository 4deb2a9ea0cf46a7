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

void TTrilografSerial::MontaPedido(Pedido& pedido) const {
  const uint8_t* bytes = kPedido2;
  size_t tamanho = sizeof kPedido2;
  if (Etapa == 0) {
    bytes = kPedido0;
    tamanho = sizeof kPedido0;
  } else if (Etapa == 1) {
    bytes = kPedido1;
    tamanho = sizeof kPedido1;
  }
  pedido.partes = {std::string(reinterpret_cast<const char*>(bytes), tamanho)};
  pedido.intervaloMs = 0;
}

void TTrilografSerial::Pede(int32_t etapa) {
  Etapa = etapa;
  ComecaPedido();
}

void TTrilografSerial::Guarda(uint8_t b) {
  if (Contagem < static_cast<int32_t>(Quadro.size())) Quadro[static_cast<size_t>(Contagem++)] = b;
}

void TTrilografSerial::EsperaCabecalho(uint8_t b) {
  Contagem = 0;
  if (b != 0x0B) return;  // whatever precedes the start of a reply
  Guarda(b);
  TrataByte = &TTrilografSerial::RecebeByte1;
}

void TTrilografSerial::RecebeByte1(uint8_t b) {
  Guarda(b);
  TrataByte = &TTrilografSerial::RecebeTamanho;
}

void TTrilografSerial::RecebeTamanho(uint8_t b) {
  Restante = b;
  Guarda(b);
  TrataByte = &TTrilografSerial::RecebeCodigo;
}

void TTrilografSerial::RecebeCodigo(uint8_t b) {
  Guarda(b);
  --Restante;
  TrataByte = Restante == 1 ? &TTrilografSerial::ConfereSoma : &TTrilografSerial::RecebeDados;
}

void TTrilografSerial::RecebeDados(uint8_t b) {
  if (Contagem - 4 >= kMaxDados) return;  // a longer reply never completes
  Guarda(b);
  --Restante;
  if (Restante == 1) TrataByte = &TTrilografSerial::ConfereSoma;
}

void TTrilografSerial::ConfereSoma(uint8_t) {
  // The reply is taken whatever its checksum byte says.  TrataByte stays
  // here unless a new request goes out: a further byte is one more checksum.
  ProcessaResposta();
}

void TTrilografSerial::ProcessaResposta() {
  switch (Etapa) {
    case 0:
      Pede(1);
      break;
    case 1:
      if (ConfereProntidao()) Pede(2);
      break;
    case 2:
      ExtraiTag();
      break;
    default:
      break;
  }
}

bool TTrilografSerial::ConfereProntidao() const {
  // Byte 1 tells where the reader put its status; a reply too short to hold
  // that byte is not ready.
  const uint8_t v = Quadro[1];
  if (v < 3) return false;
  const int32_t posicao = v == 3 ? 4 : 5;
  return Contagem > posicao && Quadro[static_cast<size_t>(posicao)] == 1;
}

void TTrilografSerial::ExtraiTag() {
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

void TTrilografLinha::EsperaInicio(uint8_t b) {
  if (b != 0x02) return;
  TrataByte = &TTrilografLinha::RecebeTexto;
  Dono->Tag.clear();
}

void TTrilografLinha::RecebeTexto(uint8_t b) {
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
    TrataByte = &TTrilografLinha::EsperaInicio;
    EsperaInicio(b);
    return;
  }
  Dono->Tag.push_back(static_cast<char>(b));
}

}  // namespace pesmo6
