#include "Formato.h"

namespace pesmo6 {

std::string FormataPeso(std::string digitos, int32_t decimais, bool negativo, char separador) {
  while (static_cast<int64_t>(digitos.size()) <= decimais) digitos.insert(digitos.begin(), '0');
  std::string out(10, ' ');
  size_t restantes = digitos.size();
  bool sinalPosto = !negativo;
  for (int pos = 9; pos >= 0; --pos) {
    const int aDireita = 9 - pos;
    if (decimais > 0 && aDireita == decimais) {
      out[static_cast<size_t>(pos)] = separador;
    } else if (restantes > 0) {
      out[static_cast<size_t>(pos)] = digitos[--restantes];
    } else if (!sinalPosto) {
      out[static_cast<size_t>(pos)] = '-';
      sinalPosto = true;
    }
  }
  return out;
}

int64_t InteiroOuZero(std::string_view campo) {
  size_t i = 0;
  while (i < campo.size() && campo[i] == ' ') ++i;
  bool negativo = false;
  if (i < campo.size() && (campo[i] == '+' || campo[i] == '-')) negativo = campo[i++] == '-';
  if (i == campo.size()) return 0;
  int64_t valor = 0;
  for (; i < campo.size(); ++i) {
    const char c = campo[i];
    if (c < '0' || c > '9') return 0;
    if (valor > 100000000000000LL) return 0;  // not a field this short can hold
    valor = valor * 10 + (c - '0');
  }
  return negativo ? -valor : valor;
}

}  // namespace pesmo6
