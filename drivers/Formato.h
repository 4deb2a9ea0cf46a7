// Weight texts and number fields shared by the drivers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pesmo6 {

// Ten characters, right-aligned: the digits with a separator `separador`
// before the last `decimais` of them, "-" in front when `negativo`, blanks to
// the left.  Digits that do not fit are lost on the left.
std::string FormataPeso(std::string digitos, int32_t decimais, bool negativo, char separador);

// Leading blanks, an optional sign and at least one decimal digit, nothing
// after.  False for anything else (a CR, a letter, an empty field).
bool InteiroDecimal(std::string_view campo, int64_t& valor);
// The same, 0 when the field is not such a number.
int64_t InteiroOuZero(std::string_view campo);

}  // namespace pesmo6
