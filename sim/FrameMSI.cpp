#include "FrameMSI.h"

#include <cstdlib>
#include <memory>

namespace pesmo6sim {

std::string Campo(long value, int decimals, size_t width, char mark) {
  std::string digits = std::to_string(std::labs(value));
  if (decimals > 0) {
    while (digits.size() <= static_cast<size_t>(decimals)) digits.insert(digits.begin(), '0');
    digits.insert(digits.end() - decimals, mark);
  }
  if (value < 0) digits.insert(digits.begin(), '-');
  if (digits.size() < width) digits.insert(digits.begin(), width - digits.size(), ' ');
  return digits;
}

std::string CorpoMSI3360(const LeituraMSI3360& r) { return r.gross + r.net + r.tare + r.unit; }

std::string QuadroMSI3360(const std::string& body) { return "\x02" + body + "\x03"; }

std::string QuadroMSI3360(const LeituraMSI3360& r) { return QuadroMSI3360(CorpoMSI3360(r)); }

LeituraMSI3360 LeituraMSI3360De(long gross, long tare, int decimals, char mark) {
  LeituraMSI3360 r;
  r.gross = Campo(gross, decimals, 8, mark);
  const long net = gross - tare;
  r.net = net == 0 ? std::string("       0") : Campo(net, decimals, 8, mark);
  r.tare = Campo(tare, decimals, 8, mark);
  return r;
}

std::function<std::string()> RampaMSI3360(long final, long tare, int steps, int decimals) {
  auto n = std::make_shared<int>(0);
  return [=] {
    const int k = *n < steps ? ++*n : steps;
    const long gross = steps > 0 ? final * k / steps : final;
    return QuadroMSI3360(LeituraMSI3360De(gross, tare, decimals));
  };
}

std::string LinhaMSI6260(const std::string& label, const std::string& value, const std::string& unit) {
  std::string line = label + " " + value;
  if (!unit.empty()) line += " " + unit;
  return line + "\r\n";
}

std::string TicketMSI6260(long gross, long tare, long total, int decimals, const std::string& unit) {
  std::string t = LinhaMSI6260(kRotuloGross, Campo(gross, decimals), unit);
  t += LinhaMSI6260(kRotuloTare, Campo(tare, decimals), unit);
  t += LinhaMSI6260(kRotuloNet, Campo(gross - tare, decimals), unit);
  if (total >= 0) t += LinhaMSI6260(kRotuloTotal, Campo(total, decimals), unit);
  return t;
}

std::function<std::string()> CicloLinhas(std::vector<std::string> lines) {
  auto next = std::make_shared<size_t>(0);
  auto all = std::make_shared<std::vector<std::string>>(std::move(lines));
  return [next, all] {
    if (all->empty()) return std::string();
    const std::string& line = (*all)[*next % all->size()];
    ++*next;
    return line;
  };
}

std::string Lixo(size_t n, unsigned seed) {
  static const char kChars[] = "abcdefhijmnopqrstuvwxyz0123456789";
  std::string out;
  out.reserve(n);
  unsigned x = seed != 0 ? seed : 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out.push_back(kChars[(x >> 16) % (sizeof kChars - 1)]);
  }
  return out;
}

}  // namespace pesmo6sim
