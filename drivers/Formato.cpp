#include "Formato.h"

#include <algorithm>

namespace pesmo6 {

std::string FormataPeso(std::string digitos, int32_t decimais, bool negativo, char separador) {
  // Zeros in front until a digit stands left of the separator; only ten
  // positions show, so a decimals count past them pads no further.
  const int64_t largura = std::min<int64_t>(decimais, 10) + 1;
  if (static_cast<int64_t>(digitos.size()) < largura) {
    digitos.insert(0, static_cast<size_t>(largura) - digitos.size(), '0');
  }
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

bool InteiroDecimal(std::string_view campo, int64_t& valor) {
  size_t i = 0;
  while (i < campo.size() && campo[i] == ' ') ++i;
  bool negativo = false;
  if (i < campo.size() && (campo[i] == '+' || campo[i] == '-')) negativo = campo[i++] == '-';
  if (i == campo.size()) return false;
  int64_t v = 0;
  for (; i < campo.size(); ++i) {
    const char c = campo[i];
    if (c < '0' || c > '9') return false;
    if (v > 100000000000000LL) return false;  // not a field this short can hold
    v = v * 10 + (c - '0');
  }
  valor = negativo ? -v : v;
  return true;
}

int64_t InteiroOuZero(std::string_view campo) {
  int64_t v = 0;
  return InteiroDecimal(campo, v) ? v : 0;
}

}  // namespace pesmo6
