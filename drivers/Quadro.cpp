#include "Quadro.h"

#include <cstdlib>

#include "Estado.h"
#include "Formato.h"

namespace pesmo6 {

namespace {
const char* Flag(bool on) { return on ? "S" : "N"; }
}  // namespace

void DecodificaQuadro(const std::string& t, StatusQuadro& f, TClVorel& ch) {
  const uint8_t s1 = static_cast<uint8_t>(t[0]);
  const uint8_t s2 = static_cast<uint8_t>(t[1]);
  const uint8_t s3 = static_cast<uint8_t>(t[2]);

  const int codigo = s1 & 0x07;
  f.Decimais = codigo >= 3 ? codigo - 2 : 0;
  f.Incremento = (s1 & 0x18) == 0x18 ? "5" : (s1 & 0x10) != 0 ? "2" : "1";

  f.Liquido = Flag(s2 & 0x01);
  f.Negativo = Flag(s2 & 0x02);
  f.Sobrecarga = Flag(s2 & 0x04);
  f.Movimento = Flag(s2 & 0x08);
  f.Unidade = (s2 & 0x10) != 0 ? "kg" : "lb";
  f.Auxiliar = Flag(s3 & 0x08);

  auto campo = [&t](size_t inicio) {
    return inicio < t.size() ? std::string_view(t).substr(inicio, 6) : std::string_view();
  };
  const int64_t peso = InteiroOuZero(campo(3));
  const int64_t tara = InteiroOuZero(campo(9));
  const bool negativo = f.Negativo == "S";
  const char sep = platform::SystemDecimalSeparator();

  std::string liquido = FormataPeso(std::to_string(peso), f.Decimais, negativo, sep);
  std::string taraTexto = FormataPeso(std::to_string(tara), f.Decimais, false, sep);
  const int64_t bruto = negativo ? tara - peso : peso + tara;

  ch.Gross = FormataPeso(std::to_string(std::llabs(bruto)), f.Decimais, bruto < 0, sep);
  ch.Tare = std::move(taraTexto);
  ch.Net = std::move(liquido);
  ch.EmMovimento = f.Movimento;
  ch.Estado = TEstado{f.Incremento, f.Liquido, f.Negativo, f.Sobrecarga, f.Movimento, f.Unidade, f.Auxiliar}.Texto();
}

}  // namespace pesmo6
