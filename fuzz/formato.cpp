// Weight texts and their conversion: FormataPeso with any digits, decimals
// and sign, and TextoParaNumero, which the floating readouts use, with both
// separators.  Byte 0 is the decimals count (as a signed byte; 0x7F and
// 0x80 stand for INT32_MAX and INT32_MIN), byte 1 bit 0 the sign and bit 1
// the separator (',' or '.'); the rest is the text.
#include <climits>
#include <cmath>
#include <cstdlib>

#include "Comum.h"
#include "drivers/Formato.h"
#include "engine/Canal.h"

using namespace pesmo6fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  int32_t decimais = static_cast<int8_t>(data[0]);
  if (data[0] == 0x7F) decimais = INT32_MAX;
  if (data[0] == 0x80) decimais = INT32_MIN;
  const bool negativo = (data[1] & 1) != 0;
  const char sep = (data[1] & 2) != 0 ? '.' : ',';
  const std::string texto(reinterpret_cast<const char*>(data + 2), size - 2);

  const std::string peso = pesmo6::FormataPeso(texto, decimais, negativo, sep);
  FUZZ_CHECK(peso.size() == 10);
  // The separator sits where the decimals put it, and nowhere else when the
  // digits bring none.
  if (decimais > 0 && decimais <= 9) FUZZ_CHECK(peso[static_cast<size_t>(9 - decimais)] == sep);
  if (texto.find_first_not_of("0123456789") == std::string::npos) {
    size_t seps = 0;
    for (char c : peso) seps += c == sep;
    FUZZ_CHECK(seps == (decimais > 0 && decimais <= 9 ? 1u : 0u));
    // A digit text that fits converts back to its value.
    if (decimais >= 0 && decimais <= 5 && !texto.empty() && texto.size() <= 6) {
      double v = -1;
      FUZZ_CHECK(pesmo6::TextoParaNumero(peso, sep, v));
      const double esperado = std::strtod(texto.c_str(), nullptr) / std::pow(10.0, decimais);
      FUZZ_CHECK(std::fabs((negativo ? -esperado : esperado) - v) <= 1e-9 * (1 + std::fabs(esperado)));
    }
  }

  for (char s : {',', '.'}) {
    double v = 12345.0;
    if (pesmo6::TextoParaNumero(texto, s, v)) {
      FUZZ_CHECK(std::isfinite(v));
    } else {
      FUZZ_CHECK(v == 12345.0);  // untouched when not a number
    }
  }
  return 0;
}
