#include "W_Ohaus.h"

namespace pesmo6 {

namespace {
bool CaractereNumerico(char c) { return c == ' ' || c == '-' || c == '.' || (c >= '0' && c <= '9'); }
}  // namespace

void TOhausBal::IniciaTextos(TClVorel& ch) {
  // This indicator reports one weight only.
  ch.Gross = kPadraoErro;
  ch.Net = "0";
  ch.Tare = kPadraoErro;
}

void TOhausBal::MontaPedido(Pedido& pedido) const {
  pedido.partes = {"P", "\r", "\n"};
  pedido.intervaloMs = kIntervaloPedidoMs;
}

void TOhausBal::AoPedidoEnviado() {
  Buffer.clear();
  TrataByte = &TOhausBal::RecebeLinha;
}

void TOhausBal::ReiniciaColeta(bool noMeio) {
  if (TrataByte == nullptr) return;  // no request out: nothing is collected
  Buffer.clear();
  TrataByte = noMeio ? &TOhausBal::PulaLinha : &TOhausBal::RecebeLinha;
}

void TOhausBal::PulaLinha(uint8_t b) {
  if (b == 10) TrataByte = &TOhausBal::RecebeLinha;
}

void TOhausBal::RecebeLinha(uint8_t b) {
  if (b == 10) {
    if (Buffer.empty()) return;  // an LF alone is no line
    DecodificaLinha(Buffer);
    Buffer.clear();
    if (!SemMovimento || Movimento == "N") {
      FechaPorta(*Dono);
      TrataByte = nullptr;
      Recebido = true;
    } else {
      // Waiting for a stable weight and the balance moves: ask again.
      ComecaPedido();
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

}  // namespace pesmo6
