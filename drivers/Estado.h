// The eight-character status text every family writes into Estado: the
// increment, the net, negative, overload and motion flags, the two-character
// unit and the auxiliary flag, in that order.  "S" and "N" are the flags;
// "E" marks an item the indicator does not report.
#pragma once

#include <string>

namespace pesmo6 {

struct TEstado {
  std::string Incremento = "E";
  std::string Liquido = "E";
  std::string Negativo = "E";
  std::string Sobrecarga = "E";
  std::string Movimento = "E";
  std::string Unidade = "EE";
  std::string Auxiliar = "E";

  std::string Texto() const { return Incremento + Liquido + Negativo + Sobrecarga + Movimento + Unidade + Auxiliar; }

  // The status a text of eight characters holds; items of a shorter text
  // read "E".
  static TEstado Le(const std::string& texto) {
    TEstado e;
    if (texto.size() < 8) return e;
    e.Incremento = texto.substr(0, 1);
    e.Liquido = texto.substr(1, 1);
    e.Negativo = texto.substr(2, 1);
    e.Sobrecarga = texto.substr(3, 1);
    e.Movimento = texto.substr(4, 1);
    e.Unidade = texto.substr(5, 2);
    e.Auxiliar = texto.substr(7, 1);
    return e;
  }
};

}  // namespace pesmo6
