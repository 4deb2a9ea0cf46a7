// What MSI indicators send.  MSI3360: STX, gross, net and tare in eight
// characters each, a two-character unit, ETX.  MSI6260: text lines, each a
// six-character label, a blank, a value, a blank and a unit, CR LF.
// Play them with StreamingIndicator (a serial port) or Converter (a line).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pesmo6sim {

// A value in display units (hundredths with 2 decimals...) right-aligned in
// `width` characters, with `mark` as decimal mark: Campo(1250, 2) gives
// "   12.50".  Negative values carry a "-".  Longer texts are not cut.
std::string Campo(long value, int decimals, size_t width = 8, char mark = '.');

// ---- MSI3360 ------------------------------------------------------------

struct LeituraMSI3360 {
  std::string gross = "    0.00";  // eight characters, sent as they are
  std::string net = "    0.00";
  std::string tare = "    0.00";
  std::string unit = "kg";  // two characters
};

// The characters between STX and ETX (26 for a well-formed reading).
std::string CorpoMSI3360(const LeituraMSI3360& r);
// STX + body + ETX, whatever the body's length (wrong frames too).
std::string QuadroMSI3360(const std::string& body);
std::string QuadroMSI3360(const LeituraMSI3360& r);
// A reading in display units with `decimals` decimals; net 0 is sent as
// "       0" (the indicator shows no net).
LeituraMSI3360 LeituraMSI3360De(long gross, long tare, int decimals = 2, char mark = '.');

// A weight settling on `final` (display units): it climbs in `steps`
// frames, then stays; tare fixed.
std::function<std::string()> RampaMSI3360(long final, long tare, int steps, int decimals = 2);

// ---- MSI6260 ------------------------------------------------------------

inline const std::string kRotuloGross = "GROSS ";
inline const std::string kRotuloTare = " TARE ";
inline const std::string kRotuloNet = "  NET ";
inline const std::string kRotuloTotal = "TOTAL ";

// label + " " + value + " " + unit + CR LF; an empty unit gives
// label + " " + value + CR LF.
std::string LinhaMSI6260(const std::string& label, const std::string& value, const std::string& unit = "KG");

// The lines a weighing ticket prints, in order: gross, tare, net, and total
// when `total` is not negative (display units, `decimals` decimals).
std::string TicketMSI6260(long gross, long tare, long total = -1, int decimals = 1, const std::string& unit = "KG");

// One line per call, going round `lines` (each a whole line with its LF).
std::function<std::string()> CicloLinhas(std::vector<std::string> lines);

// ---- Noise --------------------------------------------------------------

// `n` printable bytes that hold no STX, ETX, CR or LF and spell no label or
// unit (lower-case letters and digits).
std::string Lixo(size_t n, unsigned seed = 1);

}  // namespace pesmo6sim
